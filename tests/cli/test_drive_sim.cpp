// The drive-module and module-listing commands of the tool against the virtual controller,
// in-process and in virtual time: each run is one tool invocation on the same rack.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/controller.h"
#include "sim/model.h"
#include "sim/sim_link.h"
#include "tests/support/run_tool.h"
#include "tests/support/sim_rig.h"

namespace vm::test {
namespace {

// The default rack: drive modules in slots 1 and 3, each followed by its encoder module, a
// sensor module in slot 5, slot 6 empty.
struct SimRig : SimToolRig {
    std::string run(std::vector<std::string> words) {
        controller.clearTranscript();
        return tool.run(std::move(words));
    }
    std::vector<std::string> lines() const { return controller.lines(); }
    // Runs f on the drive module in the slot, under the controller's lock.
    template <typename F>
    auto drive(int slot, F f) {
        return controller.inspect([&](sim::Model& m) { return f(m.slots[slot - 1].drive); });
    }
    std::int64_t counter(int slot, int channel) {
        return controller.inspect(
            [=](sim::Model& m) { return m.slots[slot - 1].encoder.channel[channel - 1].counter; });
    }
};

const std::string kStop = "STATUS : STOP\nFAILSAFE STATE: 0x0\n";

TEST(DriveOnSim, MoveRunsItsStepsWhileTheEncoderCountsThenStops) {
    SimRig rig;
    EXPECT_EQ(rig.run({"MOV", "1", "ASPEN1", "4", "1", "300", "100", "600"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.lines(), (std::vector<std::string>{"STS 1\r", "CSH 11 1 lowlevel\r", "CCU 11 1 lowlevel\r",
                                                     "MOV 1 0 300 100 600 12 1 S\r"}));
    rig.tool.clock.advanceMs(1000);
    EXPECT_EQ(rig.run({"STS", "1"}), "STATUS : MOVE\n");
    rig.tool.clock.advanceMs(1500);
    EXPECT_EQ(rig.run({"STS", "1"}), kStop);
    EXPECT_EQ(rig.counter(2, 1), 600);
}

TEST(DriveOnSim, MoveStopsARunningModuleFirstAndStopHoldsTheCounter) {
    SimRig rig;
    EXPECT_EQ(rig.run({"MOV", "3", "ASPEN1B", "4", "0", "100", "100", "0"}), "STATUS : MOVE\n");
    rig.tool.clock.advanceMs(500);
    EXPECT_EQ(rig.run({"MOV", "3", "ASPEN1B", "4", "0", "100", "100", "0"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.lines()[0], "STS 3\r");
    EXPECT_EQ(rig.lines()[1], "STP 3\r");
    EXPECT_EQ(rig.lines()[2], "CSH 13 1 lowlevel\r");
    rig.tool.clock.advanceMs(1000);
    EXPECT_EQ(rig.run({"STP", "3"}), "STATUS : STOP\n");
    EXPECT_EQ(rig.lines(), (std::vector<std::string>{"STP 3\r", "CSH 13 1 lowlevel\r"}));
    const std::int64_t held = rig.counter(4, 1);
    EXPECT_LT(held, 0);  // DIR 0 counts down
    rig.tool.clock.advanceMs(1000);
    EXPECT_EQ(rig.counter(4, 1), held);
}

TEST(DriveOnSim, BusyRepliesWithoutCarriageReturnStillStopTheModule) {
    SimRig rig;
    rig.run({"MOV", "1", "ASPEN1", "4", "1", "300", "100", "0"});
    sim::FaultRule noCarriageReturn;
    noCarriageReturn.fault = sim::Fault::NoCarriageReturn;
    rig.controller.addFault(noCarriageReturn);
    EXPECT_EQ(rig.run({"MOV", "1", "ASPEN1", "4", "1", "300", "100", "0"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.lines()[1], "STP 1\r");
}

TEST(DriveOnSim, FailsafeBitsAreReportedAndReset) {
    SimRig rig;
    rig.drive(1, [](sim::DriveModule& d) { return d.failsafe = 0x41; });
    const std::string report = rig.run({"STS", "1"});
    EXPECT_TRUE(report.starts_with("STATUS : STOP\nFAILSAFE STATE: 0x41\n\n FAILURE: *UPPER* VOLTAGE RAIL"))
        << report;
    EXPECT_NE(report.find("I>10A t>100us"), std::string::npos);
    EXPECT_EQ(rig.run({"RFS", "1"}), "Failsafe has been reset\n");
    EXPECT_EQ(rig.run({"STS", "1"}), kStop);
    EXPECT_EQ(rig.run({"RFS", "2"}), "Unable to comply\n");  // an encoder module
    EXPECT_EQ(rig.run({"STS", "6"}), "STATUS : NOT FOUND\n");
}

TEST(DriveOnSim, CapacitanceMeasurementTakesTimeAndReportsTheLoad) {
    SimRig rig;
    EXPECT_EQ(rig.run({"SCM", "1"}), "Measuring Capacitance ...\rMeasured Capacitance: 1000 [nF]\n");
    const auto lines = rig.lines();
    const auto polls = std::count(lines.begin(), lines.end(), "STS 1\r");
    EXPECT_EQ(polls, 21);  // busy for 2 s, polled every 100 ms from the start
    rig.drive(1, [](sim::DriveModule& d) { return d.measurement.loadNf[0] = 20; });
    EXPECT_EQ(rig.run({"SCM", "1"}), "Measuring Capacitance ...\rUnable to determine load\n");
    EXPECT_EQ(rig.run({"SCM", "5"}), "Measuring Capacitance ...\rUnable to determine load\n");
}

TEST(DriveOnSim, AmplifierMeasurementPrintsTheTable) {
    SimRig rig;
    const std::string table = rig.run({"SAM", "3"});
    EXPECT_TRUE(table.starts_with("Measuring Amplifier ...\rAmplifier Measurement\n0:0\t1:0\t2:1\t3:2\t"))
        << table;
    EXPECT_TRUE(table.ends_with("1FE:0\t1FF:0\t\n\n"));
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2 + 64);
    EXPECT_EQ(rig.run({"SAM", "2"}), "No Amplifier found at specified adress...\n");
}

TEST(DriveOnSim, ExternalInputDcLevelAndExtendedMode) {
    SimRig rig;
    EXPECT_EQ(rig.run({"EXT", "1", "ASPEN1", "4", "1", "300", "100"}), "STATUS : USING EXTERNAL INPUT\n");
    EXPECT_EQ(rig.run({"EXT", "1", "ASPEN1", "4", "0", "300", "100", "2"}),
              "STATUS : USING EXTERNAL INPUT\n");
    EXPECT_EQ(rig.lines(), (std::vector<std::string>{"STS 1\r", "STP 1\r", "EXT 1 0 300 100 0 8 1 S\r"}));
    EXPECT_EQ(rig.run({"SDC", "1", "512"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.drive(1, [](sim::DriveModule& d) { return d.channel[0].dcLevel; }), 512);
    EXPECT_EQ(rig.run({"STS", "1"}), "STATUS : SCAN\n");
    EXPECT_EQ(rig.run({"STP", "1"}), "STATUS : STOP\n");

    EXPECT_EQ(rig.run({"FBM", "1", "1", "300"}), "CNR\r\n");  // not in extended mode yet
    EXPECT_EQ(rig.run({"FBP", "1", "ASPEN1", "4"}), "_FBP\r\n");
    EXPECT_EQ(rig.run({"FBM", "1", "1", "300"}), "_FBM\r\n");
    EXPECT_EQ(rig.run({"STS", "1"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.run({"FBS", "1"}), "_FBS\r\n");
    EXPECT_EQ(rig.run({"STS", "1"}), kStop);
    EXPECT_EQ(rig.run({"FBX", "1"}), "_FBX\r\n");
    EXPECT_EQ(rig.run({"FBM", "1", "1", "300"}), "CNR\r\n");
}

TEST(DriveOnSim, DescriptorsChannelRecordsAndTheModuleList) {
    SimRig rig;
    EXPECT_EQ(rig.run({"DESC", "1"}), "Version           : 3.05\nAvailable Channels: 3\n");
    EXPECT_EQ(rig.run({"DESC", "2"}), "Information not available\n");
    EXPECT_EQ(rig.run({"INFO", "1", "1"}), "STAGE\t:PROFILE1\nTAG\t:-\n");
    EXPECT_EQ(rig.run({"modlist"}),
              "STATUS : INQUIRY OF INSTALLED MODULES \nConfiguration:A\n"
              "SLOT 1 : Vellumotor Driver Module (VMDM)\tADR:1\n"
              "SLOT 2 : Optical Encoder Module      (OEM )\tADR:2\n"
              "SLOT 3 : Vellumotor Driver Module (VMDM)\tADR:3\n"
              "SLOT 4 : Optical Encoder Module      (OEM )\tADR:4\n"
              "SLOT 5 : Resistive Sensor Module     (RSM )\tADR:5\n"
              "SLOT 6 :  \n");
    EXPECT_EQ(rig.run({"SUD", "RACK7"}), "_SUD \n");
    EXPECT_EQ(rig.controller.inspect([](sim::Model& m) { return m.front.descriptor; }), "RACK7");
    EXPECT_EQ(rig.run({"FIV", "1"}), "Firmware Version: 3.05 \n");
    EXPECT_EQ(rig.run({"FIV", "6"}), "Firmware Version:  \n");
    EXPECT_EQ(rig.run({"IPR"}), " -- _IPR 255 192 168 1 100 255 255 255 0 192 168 1 1\r ");
}

// Lines the tool never sends malformed, answered as the controller answers bad input.
TEST(DriveOnSim, ControllerRefusesMeasurementsOfABusyModuleAndBadRows) {
    VirtualClock clock;
    sim::Controller controller{clock, sim::RackConfig::Default()};
    const std::pair<std::string, std::string> cases[] = {
        {"RAV 1 0\r", "_RAV 0 0 0 0 0 0 0 0\r"},  // nothing measured yet
        {"RCV 1\r", "_RCV 0\r"},
        {"RAV 1 64\r", "CNR\r"},
        {"SCM 1 4\r", "CNR\r"},
        {"SCM 2 1\r", "MNF\r"},
        {"MOV 1 0 300 100 0 12 1 S\r", "_MOV\r"},
        {"SCM 1 1\r", "CNR\r"},  // moving
        {"STP 1\r", "_STP\r"},
        {"SAM 1 1\r", "_SAM\r"},
        {"SCM 1 1\r", "CNR\r"},  // already measuring
        {"STS 1\r", "_SAM\r"},
        {"FBS 1\r", "CNR\r"},
        {"EXT 1 0 300 100 0 12 1\r", "CNR\r"},
    };
    for (const auto& [line, reply] : cases) EXPECT_EQ(controller.Process(line), reply) << line;
}

}  // namespace
}  // namespace vm::test
