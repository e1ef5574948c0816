// The closed-loop commands of the tool against the virtual controller, in-process and in virtual
// time, and the controller's closed-loop lines on their own.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "sim/controller.h"
#include "sim/model.h"
#include "sim/sim_link.h"
#include "tests/support/run_tool.h"
#include "tests/support/sim_rig.h"

namespace vm::test {
namespace {

struct SimRig : SimToolRig {
    void advanceMs(std::int64_t ms) { tool.clock.advanceMs(ms); }
    template <typename F>
    auto loop(F f) {
        return controller.inspect([&](sim::Model& m) { return f(m.closedLoop); });
    }
    std::array<double, 3> readings() {
        return loop([](sim::ClosedLoop& l) {
            return std::array<double, 3>{l.axis[0].reading(), l.axis[1].reading(), l.axis[2].reading()};
        });
    }
};

// The tool's FBST output for the eleven values in reply order.
std::string State(const std::array<int, 11>& v) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "STATUS : POSITION CONTROL INQUIRY\nENABLED:%d\nFINISHED:%d\nTIME-OUT1:%d\nTIME-OUT2:%d\n"
                  "TIME-OUT3:%d\nINVALID_SETPOINT1:%d\nINVALID_SETPOINT2:%d\nINVALID_SETPOINT3:%d\n"
                  "POSITION_ERROR1:%d\nPOSITION_ERROR2:%d\nPOSITION_ERROR3:%d\n",
                  v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10]);
    return text;
}

const std::string kEnabled = "STATUS : POSITION CONTROL ENABLED\n";
const std::string kSet = "STATUS : POSITION CONTROL SET\n";
const std::string kError = "STATUS : ERROR\n";
const std::vector<std::string> kEnableLinear{"FBEN", "HAZEL1-ENC", "0", "CEDAR1-POT",
                                             "0",    "ASPEN1-ENC", "0", "293"};
const std::vector<std::string> kEnableWithRotary{"FBEN", "HAZEL1-ENC", "0", "MAPLE1-ENC",
                                                 "0",    "HAZEL1-ENC", "0", "4"};

TEST(ClosedLoopOnSim, EnabledAxesReachTheirSetPointsInVirtualTime) {
    SimRig rig;
    EXPECT_EQ(rig.run({"FBST"}), State({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.run(kEnableLinear), kEnabled);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // 0.5 at 0.25 per second takes 2 s, the others less.
    EXPECT_EQ(rig.run({"FBCS", "0.5", "1", "-0.25", "1", "0.125", "1"}), kSet);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    rig.advanceMs(1999);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    rig.advanceMs(1);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.readings(), (std::array<double, 3>{0.5, -0.25, 0.125}));
    // A relative set-point (ABS 0) adds to the current one.
    EXPECT_EQ(rig.run({"FBCS", "-0.25", "0", "0", "0", "0.5", "1"}), kSet);
    rig.advanceMs(2000);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.readings(), (std::array<double, 3>{0.25, -0.25, 0.5}));
    EXPECT_EQ(rig.controller.lines().back(), "FBST\r");
}

TEST(ClosedLoopOnSim, BlockedAxisTimesOutWhileTheOthersFinish) {
    SimRig rig;
    EXPECT_EQ(rig.run(kEnableLinear), kEnabled);
    rig.loop([](sim::ClosedLoop& l) { l.axis[1].stalled = true; });
    EXPECT_EQ(rig.run({"FBCS", "0.5", "1", "0.5", "1", "0.5", "1"}), kSet);
    rig.advanceMs(19'999);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    rig.advanceMs(1);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.readings(), (std::array<double, 3>{0.5, 0, 0.5}));
    // A new set-point clears the time-out; the freed axis gets there.
    rig.loop([](sim::ClosedLoop& l) { l.axis[1].stalled = false; });
    EXPECT_EQ(rig.run({"FBCS", "0.5", "1", "0.5", "1", "0.5", "1"}), kSet);
    rig.advanceMs(2000);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ClosedLoopOnSim, SetPointOutsideTheRangeIsInvalidForItsAxisOnly) {
    SimRig rig;
    EXPECT_EQ(rig.run(kEnableLinear), kEnabled);
    EXPECT_EQ(rig.run({"FBCS", "0.75", "1", "0", "1", "-0.75", "1"}), kSet);
    rig.advanceMs(3000);
    // Relative steps that would leave -1 to 1 on axes 1 and 3.
    EXPECT_EQ(rig.run({"FBCS", "0.5", "0", "0.25", "0", "-0.5", "0"}), kSet);
    rig.advanceMs(1000);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0}));
    EXPECT_EQ(rig.readings(), (std::array<double, 3>{0.75, 0.25, -0.75}));
}

TEST(ClosedLoopOnSim, PushedAxisReportsAPositionErrorAndIsDrivenBack) {
    SimRig rig;
    EXPECT_EQ(rig.run(kEnableLinear), kEnabled);
    EXPECT_EQ(rig.run({"FBCS", "0", "1", "0.25", "1", "0", "1"}), kSet);
    rig.advanceMs(1000);
    rig.loop([](sim::ClosedLoop& l) {
        l.push(0, 0.01);  // within the error limit: corrected silently
        l.push(2, -0.2);
    });
    EXPECT_EQ(rig.run({"FBST"}), State({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    rig.advanceMs(800);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(rig.readings(), (std::array<double, 3>{0, 0.25, 0}));
}

TEST(ClosedLoopOnSim, EndStopSearchSetsZeroAndLimitsTravel) {
    SimRig rig;
    EXPECT_EQ(rig.run(kEnableWithRotary), kEnabled);
    EXPECT_EQ(rig.run({"FBFE", "1", "5", "1"}), "STATUS : POSITION CONTROL FIND ENDSTOP\n");
    rig.advanceMs(4000);
    // The linear axes are at their upper end stop, which now reads 0; the rotary one has none.
    EXPECT_EQ(rig.run({"FBST"}), State({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.loop([](sim::ClosedLoop& l) { return l.axis[0].position; }), 1.0);
    rig.advanceMs(16'000);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.readings()[0], 0.0);
    // Beyond the end stop the axis cannot get there and times out; below it, it arrives. The
    // rotary axis, 5 units round after its search, cannot take a set-point relative to that: it
    // would lie outside -1 to 1.
    EXPECT_EQ(rig.run({"FBCS", "0.5", "1", "0", "0", "-0.5", "1"}), kSet);
    rig.advanceMs(20'000);
    EXPECT_EQ(rig.run({"FBST"}), State({1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(rig.readings()[0], 0.0);
    EXPECT_EQ(rig.readings()[2], -0.5);
}

TEST(ClosedLoopOnSim, LeavingTheLoopDisablesItAndStopHoldsWhereTheAxisIs) {
    SimRig rig;
    EXPECT_EQ(rig.run(kEnableLinear), kEnabled);
    EXPECT_EQ(rig.run({"FBCS", "1", "1", "0", "1", "0", "1"}), kSet);
    rig.advanceMs(2000);
    EXPECT_EQ(rig.run({"FBES"}), "STATUS : POSITION CONTROL STOPPED\n");
    rig.advanceMs(4000);
    EXPECT_EQ(rig.readings()[0], 0.5);
    EXPECT_EQ(rig.run({"FBST"}), State({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // A disabled loop takes no set-points or searches.
    EXPECT_EQ(rig.run({"FBCS", "0", "1", "0", "1", "0", "1"}), kError);
    EXPECT_EQ(rig.run({"FBFE", "0", "1", "0"}), kError);
    // Enabled again, the axis holds where it stopped.
    EXPECT_EQ(rig.run(kEnableLinear), kEnabled);
    EXPECT_EQ(rig.readings()[0], 0.5);
    EXPECT_EQ(rig.run({"FBXT"}), "STATUS : POSITION CONTROL DISABLED\n");
    EXPECT_EQ(rig.run({"FBST"}), State({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ClosedLoopOnSim, AxislessStageSendsNothingToTheController) {
    SimRig rig;
    rig.run({"FBEN", "HAZEL1-ENC", "0", "ASPEN1", "0", "HAZEL1-ENC", "0", "293"});
    EXPECT_TRUE(rig.controller.lines().empty());
}

struct LineCase {
    std::string line;
    std::string reply;
};

TEST(ClosedLoopController, AnswersWellFormedLinesAndRefusesOthers) {
    const LineCase cases[] = {
        {"FBST\r", "_FBST 0 0 0 0 0 0 0 0 0 0 0\r"},
        {"FBCS 0.000000000 1 0.000000000 1 0.000000000 1\r", "CNR\r"},  // not enabled
        {"FBFE 1 1 0\r", "CNR\r"},
        {"FBEN 0 1.000000E+02 L 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1\r", "_FBEN\r"},
        {"FBST\r", "_FBST 1 1 0 0 0 0 0 0 0 0 0\r"},
        // A zero kind character cuts the line short.
        {std::string("FBEN 1 1.000000E+02 ") + '\0' + " 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1\r",
         "CNR\r"},
        {"FBEN 1 1.000000E+02 \r", "CNR\r"},
        {"FBEN 3 1.000000E+02 L 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1\r", "CNR\r"},
        {"FBEN 1 1.000000E+02 X 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1\r", "CNR\r"},
        {"FBEN 1 nan L 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1\r", "CNR\r"},
        {"FBEN 1 1.000000E+02 L 0.000000E+00 -1.000000E+00 31 1 0.000000E+00 1\r", "CNR\r"},
        {"FBEN 1 1.000000E+02 L 0.000000E+00 0.000000E+00 0 1 0.000000E+00 1\r", "CNR\r"},
        {"FBEN 1 1.000000E+02 L 0.000000E+00 0.000000E+00 31 2 0.000000E+00 1\r", "CNR\r"},
        {"FBEN 1 1.000000E+02 L 0.000000E+00 0.000000E+00 31 1 2.000000E+00 1\r", "CNR\r"},
        {"FBEN 1 1.000000E+02 L 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1 9\r", "CNR\r"},
        // Axis 1 and 2 are not enabled: their set-points are invalid; axis 0 moves.
        {"FBCS 0.100000000 1 0.000000000 1 0.000000000 1\r", "_FBCS\r"},
        {"FBST\r", "_FBST 1 0 0 0 0 0 1 1 0 0 0\r"},
        // Refused set-points leave axis 0 on its way to the previous one (no time passes here).
        {"FBCS 1.500000000 1 0.000000000 1 0.000000000 1\r", "_FBCS\r"},
        {"FBST\r", "_FBST 1 0 0 0 0 1 1 1 0 0 0\r"},
        {"FBCS abc 1 0 1 0 1\r", "_FBCS\r"},
        {"FBST\r", "_FBST 1 0 0 0 0 1 1 1 0 0 0\r"},
        {"FBCS 0.1 2 0 1 0 1\r", "CNR\r"},
        {"FBCS 0.1 1 0 1 0\r", "CNR\r"},
        {"FBFE 2 1 0\r", "CNR\r"},
        {"FBFE 1 0 0\r", "CNR\r"},
        {"FBFE 1 21 0\r", "CNR\r"},
        {"FBFE 1 20 2\r", "CNR\r"},
        {"FBST 1\r", "CNR\r"},
        {"FBXT 1\r", "CNR\r"},
        {"FBES\r", "_FBES\r"},
        {"FBXT\r", "_FBXT\r"},
    };
    VirtualClock clock;
    sim::Controller controller{clock, sim::RackConfig::Default()};
    for (const auto& c : cases)
        EXPECT_EQ(controller.Process(c.line), c.reply) << ::testing::PrintToString(c.line);
}

}  // namespace
}  // namespace vm::test
