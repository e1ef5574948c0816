#include <gtest/gtest.h>

#include "sim/controller.h"
#include "sim/model.h"
#include "sim/sim_link.h"
#include "tests/support/scripted_link.h"

namespace vm::sim {
namespace {

struct Exchange {
    std::string line;
    std::string reply;
};

// A default rack (C,O,C,O,R,-) in virtual time.
struct Rig {
    VirtualClock clock;
    Controller controller{clock, RackConfig::Default()};
    std::string send(const std::string& line) { return controller.Process(line); }
};

TEST(Controller, AnswersFrontEndAndModuleLines) {
    const Exchange cases[] = {
        {"SCN\r", "_SCN A0COCOR-\r"},
        {"GCM \r", "_GCM 1 0 3 0 0 0\r"},
        {"GOM \r", "_GOM 11 0 13 0 0 0\r"},
        {"STS 1\r", "_STP\r"},
        {"STS 2\r", "MNF\r"},
        {"STS 6\r", "MNF\r"},
        {"STS 7\r", "MNF\r"},
        {"STS x\r", "CNR\r"},
        {"GFS 1\r", "_GFS 0\r"},
        {"DESC 3\r", "_DESC 3 3.05\r"},
        {"CGV 11 1\r", "_CGV 131072 512\r"},
        {"CGV 10 1\r", "MNF\r"},
        {"CGV 11 4\r", "CNR\r"},
        {"CCU 11 1 \r", "_CCU\r"},
        {"CSH 11 1 lowlevel\r", "_CSH\r"},
        {"CGVA 13\r", "_CGVA 131072 131072 131072\r"},
        {"IPR\r", "_IPR 255 192 168 1 100 255 255 255 0 192 168 1 1\r"},
        {"FOO 1\r", "CNR\r"},
        {"\r", "CNR\r"},
    };
    Rig rig;
    for (const auto& c : cases) EXPECT_EQ(rig.send(c.line), c.reply) << c.line;
}

TEST(Controller, MoveEndsAfterItsStepsAndTheCounterFollows) {
    Rig rig;
    EXPECT_EQ(rig.send("CSH 11 1 lowlevel\r"), "_CSH\r");
    EXPECT_EQ(rig.send("CCU 11 1 lowlevel\r"), "_CCU\r");
    EXPECT_EQ(rig.send("MOV 1 0 300 100 600 12 1 S\r"), "_MOV\r");
    rig.clock.advanceMs(1000);
    EXPECT_EQ(rig.send("STS 1\r"), "_MOV\r");
    EXPECT_EQ(rig.send("CGV 11 1\r"), "_CGV 131372 512\r");
    rig.clock.advanceMs(1000);
    EXPECT_EQ(rig.send("STS 1\r"), "_STP\r");
    EXPECT_EQ(rig.send("CGV 11 1\r"), "_CGV 131672 512\r");
}

TEST(SimLink, KeepsTheCarriageReturn) {
    Rig rig;
    SimLink link(test::TestLinkContext(), rig.controller);
    ASSERT_TRUE(link.Open("x"));
    link.command().assign("STS 1\r");
    EXPECT_EQ(link.Exchange(), 0);
    EXPECT_EQ(link.reply().view(), "_STP\r");
}

}  // namespace
}  // namespace vm::sim
