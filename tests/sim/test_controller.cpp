#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/controller.h"
#include "sim/model.h"
#include "sim/options.h"
#include "sim/sim_link.h"
#include "tests/support/scripted_link.h"

namespace vm::sim {
namespace {

struct Exchange {
    std::string line;
    std::string reply;
};

// A rack in virtual time (default C,O,C,O,R,-).
struct Rig {
    VirtualClock clock;
    Controller controller;
    explicit Rig(RackConfig rack = RackConfig::Default()) : controller(clock, rack) {}
    std::string send(const std::string& line) { return controller.Process(line); }
    void expect(const std::vector<Exchange>& exchanges) {
        for (const auto& e : exchanges)
            EXPECT_EQ(send(e.line), e.reply) << "at " << clock.elapsedMs() << " ms: " << e.line;
    }
};

// A file name in the temporary directory, removed at the end of the test.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& name)
        : path(::testing::TempDir() + "/vmsim_" + std::to_string(::getpid()) + "_" + name) {
        std::remove(path.c_str());
    }
    ~TempFile() { std::remove(path.c_str()); }
    void write(const std::string& text) const { std::ofstream(path) << text; }
};

TEST(Controller, AnswersFrontEndAndModuleLines) {
    Rig rig;
    rig.expect({
        {"SCN\r", "_SCN A0COCOR-\r"},
        {"GCM \r", "_GCM 1 0 3 0 0 0\r"},
        {"GOM \r", "_GOM 11 0 13 0 0 0\r"},
        {"STS 1\r", "_STP\r"},
        {"STS 2\r", "MNF\r"},
        {"STS 6\r", "MNF\r"},
        {"STS 7\r", "MNF\r"},
        {"STS x\r", "CNR\r"},
        {"STS\r", "CNR\r"},
        {"GFS 1\r", "_GFS 0\r"},
        {"RFS 3\r", "_RFS\r"},
        {"DESC 3\r", "_DESC 3 3.05\r"},
        {"DESC 4\r", "MNF\r"},
        {"CGV 11 1\r", "_CGV 131072 512\r"},
        {"CGV 10 1\r", "MNF\r"},
        {"CGV 11 4\r", "CNR\r"},
        {"CCU 11 1 \r", "_CCU\r"},
        {"CCD 13 3\r", "_CCD\r"},
        {"CSH 11 1 lowlevel\r", "_CSH\r"},
        {"CGV 11 1 lowlevel\r", "CNR\r"},
        {"CSZ 11 2\r", "_CSZ\r"},
        {"CGVA 13\r", "_CGVA 131072 131072 131072\r"},
        {"IPR\r", "_IPR 255 192 168 1 100 255 255 255 0 192 168 1 1\r"},
        {"FIV 1\r", "_FIV 3.05\r"},
        {"FIV 11\r", "_FIV 1.12\r"},
        {"FIV 2\r", "MNF\r"},
        {"SUD ABC\r", "_SUD\r"},
        {"FOO 1\r", "CNR\r"},
        {"mov 1 0 300 100 10 12 1 S\r", "CNR\r"},
        {"\r", "CNR\r"},
        {"", "CNR\r"},
    });
}

TEST(Controller, RefusesMoveLinesItCannotRead) {
    RackConfig rack = *ParseRack("C1,O,C,-,-,-");
    Rig rig(rack);
    rig.expect({
        {"MOV 1 0 300 100 10 12 1 S\r", "_MOV\r"},
        {"MOV 1 0 300 100 10 12 2 S\r", "CNR\r"},  // one-channel module
        {"MOV 3 0 300 100 10 12 3 S\r", "_MOV\r"},
        {"MOV 3 0 300 100 10 12 4 S\r", "CNR\r"},
        {"MOV 3 2 300 100 10 12 1 S\r", "CNR\r"},
        {"MOV 3 0 -1 100 10 12 1 S\r", "CNR\r"},
        {"MOV 3 0 300 100 -10 12 1 S\r", "CNR\r"},
        {"MOV 3 0 300 100 10 12 1\r", "CNR\r"},
        {"MOV 3 0 300 100 10 12 1 S X\r", "CNR\r"},
        {"MOV 3 0 3x0 100 10 12 1 S\r", "CNR\r"},
        {"MOV 3 1 100 1024 0 10 1 DC\r", "CNR\r"},
        {"MOV 2 0 300 100 10 12 1 S\r", "MNF\r"},
        {"MOV 2 0 300 100 10 12 1 S OEMC\r", "_MOV\r"},  // encoder slot 2 serves drive slot 1
        {"MOV 1 0 300 100 10 12 1 S OEMC\r", "MNF\r"},
        {"DESC 1\r", "_DESC 1 3.05\r"},
    });
}

TEST(Controller, MoveEndsAfterItsStepsAndTheCounterFollows) {
    Rig rig;
    rig.expect({{"CSH 11 1 lowlevel\r", "_CSH\r"},
                {"CCU 11 1 lowlevel\r", "_CCU\r"},
                {"MOV 1 0 300 100 600 12 1 S\r", "_MOV\r"}});
    rig.clock.advanceMs(1000);
    rig.expect({{"STS 1\r", "_MOV\r"}, {"CGV 11 1\r", "_CGV 131372 512\r"}});
    rig.clock.advanceMs(999);
    rig.expect({{"STS 1\r", "_MOV\r"}, {"CGV 11 1\r", "_CGV 131671 512\r"}});
    rig.clock.advanceMs(1);
    rig.expect({{"STS 1\r", "_STP\r"}, {"CGV 11 1\r", "_CGV 131672 512\r"}});
    rig.clock.advanceMs(5000);
    rig.expect({{"CGV 11 1\r", "_CGV 131672 512\r"}});
    EXPECT_EQ(rig.controller.inspect([](Model& m) { return m.slots[0].drive.channel[0].totalSteps; }), -600);
}

TEST(Controller, CounterCountsDownHoldsAndZeroes) {
    Rig rig;
    rig.expect({{"CCD 11 2\r", "_CCD\r"}, {"MOV 1 1 100 50 0 12 2 S\r", "_MOV\r"}});
    rig.clock.advanceMs(2000);
    rig.expect({{"CGV 11 2\r", "_CGV 130872 512\r"}, {"CSH 11 2\r", "_CSH\r"}});
    rig.clock.advanceMs(2000);
    rig.expect({
        {"STS 1\r", "_MOV\r"},  // steps 0: runs until stopped
        {"STS 2 2 OEMC\r", "_MOV\r"},
        {"STS 2 1 OEMC\r", "_STP\r"},
        {"CGV 11 2\r", "_CGV 130872 512\r"},
        {"CGVA 11\r", "_CGVA 131072 130872 131072\r"},
        {"STP 2 2 OEMC\r", "_STP\r"},
        {"STS 1\r", "_STP\r"},
        {"CSZ 11 2\r", "_CSZ\r"},
        {"CGV 11 2\r", "_CGV 131072 512\r"},
    });
    // The drive module in slot 5 has no encoder module after it; slot 3's counts into slot 4.
    rig.expect({{"CCU 13 1\r", "_CCU\r"}, {"MOV 3 1 1000 100 10 12 1 S\r", "_MOV\r"}});
    rig.clock.advanceMs(100);
    rig.expect({{"CGV 13 1\r", "_CGV 131082 512\r"}, {"CGV 11 1\r", "_CGV 131072 512\r"}});
}

TEST(Controller, LongRunsKeepCounting) {
    Rig rig;
    rig.expect({{"CCU 11 1\r", "_CCU\r"}, {"MOV 1 1 100000 100 0 10 1 S\r", "_MOV\r"}});
    rig.clock.advanceMs(std::int64_t{100} * 365 * 86400 * 1000);  // a hundred years
    rig.expect({{"STS 1\r", "_MOV\r"}, {"CGV 11 1\r", "_CGV 315360000131072 512\r"}});
}

TEST(Controller, DcLevelHoldsUntilStopped) {
    Rig rig;
    rig.expect({{"MOV 1 1 100 512 0 10 1 DC\r", "_MOV\r"}, {"MOV 1 1 100 512 0 10 1 DC\r", "_MOV\r"}});
    rig.clock.advanceMs(60000);
    rig.expect({{"STS 1\r", "_MDC\r"}, {"STP 1 1\r", "_STP\r"}, {"STS 1\r", "_STP\r"}});
    // A stepping channel outranks a DC channel in the module's status.
    rig.expect({{"MOV 1 1 100 512 0 10 2 DC\r", "_MOV\r"}, {"MOV 1 1 100 100 5 10 1 S\r", "_MOV\r"}});
    rig.expect(
        {{"STS 1\r", "_MOV\r"}, {"STS 2 2 OEMC\r", "_MDC\r"}, {"STP 1\r", "_STP\r"}, {"STS 1\r", "_STP\r"}});
}

TEST(Controller, UserMemoryRoundTripsThroughTheStateFile) {
    TempFile state("state");
    {
        Rig rig;
        ASSERT_TRUE(rig.controller.useStateFile(state.path, nullptr));
        rig.expect({
            {"CLS 6\r", "_CLS 6 200 100 293 3 6000 PROFILE1 - 0\r"},
            {"CSS 6 300 80 4 3 6000 PROFILE2 xyStage1 1\r", "_CSS\r"},
            {"CLS 6\r", "_CLS 6 300 80 4 3 6000 PROFILE2 xyStage1 1\r"},
            {"CSS 2 300 80 4 3 6000 TOOLONGTYPE tag 1\r", "_CSS\r"},
            {"CLS 2\r", "_CLS 2 300 80 4 3 6000 TOOLONGT tag 1\r"},
            {"CSS 19 300 80 4 3 6000 A B 1\r", "CNR\r"},
            {"CSS 0 300 80 4 3 6000 A B 1\r", "CNR\r"},
            {"CSS 3 70000 80 4 3 6000 A B 1\r", "CNR\r"},
            {"CSS 3 300 80 4 3 6000 A\r", "CNR\r"},
            {"CLS 19\r", "CNR\r"},
            {"IPS 0 10 0 0 7 255 255 0 0 10 0 0 1\r", "_IPS\r"},
            {"IPS 0 10 0 0 256 255 255 0 0 10 0 0 1\r", "CNR\r"},
        });
        // Records only reach the file with "STF"; network settings at once.
        Rig other;
        ASSERT_TRUE(other.controller.useStateFile(state.path, nullptr));
        other.expect({{"CLS 6\r", "_CLS 6 200 100 293 3 6000 PROFILE1 - 0\r"},
                      {"IPR\r", "_IPR 0 10 0 0 7 255 255 0 0 10 0 0 1\r"}});
        rig.expect({{"STF\r", "_STF\r"}});
    }
    Rig restarted;
    ASSERT_TRUE(restarted.controller.useStateFile(state.path, nullptr));
    restarted.expect({
        {"CLS 6\r", "_CLS 6 300 80 4 3 6000 PROFILE2 xyStage1 1\r"},
        {"CLS 2\r", "_CLS 2 300 80 4 3 6000 TOOLONGT tag 1\r"},
        {"IPR\r", "_IPR 0 10 0 0 7 255 255 0 0 10 0 0 1\r"},
        // The clear-all store: type and tag each the single byte 0xFF.
        {"CSS 1 0 0 0 3 6000 \xff \xff 0\r", "_CSS\r"},
        {"CLS 6\r", "_CLS 6 200 100 293 3 6000 PROFILE1 - 0\r"},
    });
}

TEST(Controller, AStateFileThatCannotBeWrittenTurnsTheAcknowledgementIntoAnError) {
    Rig rig;
    ASSERT_TRUE(rig.controller.useStateFile("/nonexistent-vmsim-dir/state", nullptr));
    rig.expect({{"STF\r", "CNR\r"}, {"IPS 0 10 0 0 7 255 255 0 0 10 0 0 1\r", "CNR\r"}});
}

TEST(Controller, BadStateFilesAreRefused) {
    const std::string lines[] = {
        "network 1 2 3\n",
        "network 1 2 3 4 5 6 7 8 9 10 11 12 300\n",
        "channel 19 1 1 1 1 1 A B 0\n",
        "channel 1 1 1 1 1 1 A B\n",
        "channel 1 1 1 1 1 1 A B 0 extra\n",
        "rack C,O\n",
    };
    for (const auto& line : lines) {
        TempFile state("bad");
        state.write(line);
        Rig rig;
        std::string error;
        EXPECT_FALSE(rig.controller.useStateFile(state.path, &error)) << line;
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
        EXPECT_EQ(rig.send("IPR\r"), "_IPR 255 192 168 1 100 255 255 255 0 192 168 1 1\r")
            << "model unchanged";
    }
}

TEST(Controller, FaultRulesChangeReplies) {
    Rig rig;
    rig.controller.addFault(*ParseFaultRule("nocr@STS*1"));
    rig.controller.addFault(*ParseFaultRule("noreply@GFS"));
    rig.controller.addFault(*ParseFaultRule("delay:250@DESC"));
    rig.expect({{"STS 1\r", "_STP"}, {"STS 1\r", "_STP\r"}, {"GFS 1\r", ""}, {"GFS 1\r", ""}});
    const auto before = rig.clock.elapsedMs();
    rig.expect({{"DESC 1\r", "_DESC 3 3.05\r"}});
    EXPECT_EQ(rig.clock.elapsedMs() - before, 250);
    rig.controller.clearFaults();
    rig.controller.addFault(*ParseFaultRule("corrupt"));
    const std::string corrupt = rig.send("STS 1\r");
    EXPECT_NE(corrupt, "_STP\r");
    EXPECT_EQ(corrupt.size(), 5u);
    EXPECT_EQ(corrupt.back(), '\r');
    EXPECT_NE(corrupt[0], '_');
}

TEST(Controller, GarbageAndEjectFaults) {
    Rig rig;
    rig.controller.addFault(*ParseFaultRule("garbage:600@DESC*1"));
    rig.controller.addFault(*ParseFaultRule("endless@CGV*1"));
    rig.controller.addFault(*ParseFaultRule("eject:1@GFS"));
    rig.controller.addFault(*ParseFaultRule("answer:_MOV@STP*1"));
    rig.expect({{"STP 3\r", "_MOV\r"}, {"STP 3\r", "_STP\r"}});
    const std::string junk = rig.send("DESC 1\r");
    ASSERT_EQ(junk.size(), 601u);
    EXPECT_EQ(junk.back(), '\r');
    EXPECT_EQ(junk.find('\r'), 600u) << "only the last byte ends the line";
    EXPECT_NE(junk.find('\0'), std::string::npos);
    // The endless reply's bytes come from the transport; the text itself has no carriage return.
    rig.expect({{"CGV 11 1\r", "_CGV 131072 512"}});
    // The module is gone from the line that pulls it on, for every command and the module map.
    rig.expect({{"STS 1\r", "_STP\r"},
                {"GFS 1\r", "MNF\r"},
                {"STS 1\r", "MNF\r"},
                {"DESC 1\r", "MNF\r"},
                {"SCN\r", "_SCN A0-OCOR-\r"},
                {"FIV 1\r", "MNF\r"}});
}

TEST(Controller, TranscriptKeepsEveryLineWithItsTime) {
    Rig rig;
    rig.send("STS 1\r");
    rig.clock.advanceMs(1500);
    rig.send("XYZ\r");
    const auto transcript = rig.controller.transcript();
    ASSERT_EQ(transcript.size(), 2u);
    EXPECT_EQ(transcript[0].line, "STS 1\r");
    EXPECT_EQ(transcript[0].timeUs, 0);
    EXPECT_EQ(transcript[1].line, "XYZ\r");
    EXPECT_EQ(transcript[1].timeUs, 1'500'000);
    for (std::size_t i = 0; i < Controller::kTranscriptLimit + 5; ++i) rig.send("SCN\r");
    EXPECT_EQ(rig.controller.transcript().size(), Controller::kTranscriptLimit);
}

TEST(SimLink, KeepsTheCarriageReturnAndReportsMissingReplies) {
    Rig rig;
    SimLink link(test::TestLinkContext(), rig.controller);
    link.command().assign("STS 1\r");
    EXPECT_EQ(link.Exchange(), 1) << "not open";
    ASSERT_TRUE(link.Open("x"));
    EXPECT_EQ(link.Exchange(), 0);
    EXPECT_EQ(link.reply().view(), "_STP\r");
    rig.controller.addFault(*ParseFaultRule("noreply"));
    EXPECT_EQ(link.Exchange(), 1);
    EXPECT_EQ(link.reply().view(), "");
}

TEST(Rack, ParsesSlotLetters) {
    struct Case {
        std::string text;
        std::optional<std::string> normalised;
    };
    const Case cases[] = {
        {"C,O,C,O,R,-", "C,O,C,O,R,-"},      {"C1,O,C3,-,-,-", "C1,O,C,-,-,-"},
        {" C , O ,R,-,-,- ", "C,O,R,-,-,-"}, {"C,O,R,-,-", std::nullopt},
        {"C,O,R,-,-,-,-", std::nullopt},     {"C2,O,R,-,-,-", std::nullopt},
        {"X,O,R,-,-,-", std::nullopt},       {"", std::nullopt},
        {"C,,R,-,-,-", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto rack = ParseRack(c.text);
        ASSERT_EQ(rack.has_value(), c.normalised.has_value()) << c.text;
        if (rack) {
            EXPECT_EQ(RackSpec(*rack), *c.normalised) << c.text;
        }
    }
}

TEST(Rack, ReadsConfigFiles) {
    TempFile file("rack.conf");
    file.write("# two drives\nrack = C1,O,-,-,C,O\nconfiguration = B\npulses-per-step = 4\n");
    std::string error;
    const auto rack = LoadRackFile(file.path, &error);
    ASSERT_TRUE(rack) << error;
    EXPECT_EQ(RackSpec(*rack), "C1,O,-,-,C,O");
    Rig rig(*rack);
    rig.expect(
        {{"SCN\r", "_SCN B0CO--CO\r"}, {"GCM \r", "_GCM 1 0 0 0 5 0\r"}, {"GOM \r", "_GOM 11 0 0 0 15 0\r"}});
    rig.expect({{"CCU 11 1\r", "_CCU\r"}, {"MOV 1 1 100 100 3 10 1 S\r", "_MOV\r"}});
    rig.clock.advanceMs(1000);
    rig.expect({{"CGV 11 1\r", "_CGV 131084 512\r"}});

    for (const std::string bad : {"rack = C,O\n", "speed = 3\n", "pulses-per-step = -1\n", "just words\n"}) {
        file.write(bad);
        EXPECT_FALSE(LoadRackFile(file.path, &error)) << bad;
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    }
    EXPECT_FALSE(LoadRackFile(file.path + ".missing", &error));
}

TEST(Faults, ParsesRules) {
    struct Case {
        std::string text;
        bool ok;
        Fault fault;
        std::string word;
        int count;
        std::uint32_t delayMs;
        std::size_t splitAt;
    };
    const Case cases[] = {
        {"delay:1500", true, Fault::Delay, "", -1, 1500, 1},
        {"noreply", true, Fault::NoReply, "", -1, 2000, 1},
        {"noreply:300@STS*2", true, Fault::NoReply, "STS", 2, 300, 1},
        {"nocr@GFS", true, Fault::NoCarriageReturn, "GFS", -1, 0, 1},
        {"split:3", true, Fault::Split, "", -1, 50, 3},
        {"close*1", true, Fault::CloseWithoutReply, "", 1, 0, 1},
        {"corrupt", true, Fault::Corrupt, "", -1, 0, 1},
        {"split:2:1500@STS", true, Fault::Split, "STS", -1, 1500, 2},
        {"garbage", true, Fault::Garbage, "", -1, 0, 1},
        {"endless", true, Fault::Endless, "", -1, 10, 1},
        {"endless:0*1", true, Fault::Endless, "", 1, 0, 1},
        {"eject:6@GFS", true, Fault::Eject, "GFS", -1, 0, 1},
        {"answer:_MOV@STP", true, Fault::Answer, "STP", -1, 0, 1},
        {"answer", false, Fault::None, "", 0, 0, 0},
        {"answer:", false, Fault::None, "", 0, 0, 0},
        {"delay", false, Fault::None, "", 0, 0, 0},
        {"split:2:", false, Fault::None, "", 0, 0, 0},
        {"garbage:0", false, Fault::None, "", 0, 0, 0},
        {"garbage:4097", false, Fault::None, "", 0, 0, 0},
        {"eject", false, Fault::None, "", 0, 0, 0},
        {"eject:0", false, Fault::None, "", 0, 0, 0},
        {"eject:7", false, Fault::None, "", 0, 0, 0},
        {"delay:x", false, Fault::None, "", 0, 0, 0},
        {"nocr:5", false, Fault::None, "", 0, 0, 0},
        {"close@", false, Fault::None, "", 0, 0, 0},
        {"close*-1", false, Fault::None, "", 0, 0, 0},
        {"explode", false, Fault::None, "", 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto rule = ParseFaultRule(c.text);
        ASSERT_EQ(rule.has_value(), c.ok) << c.text;
        if (!rule) continue;
        EXPECT_EQ(rule->fault, c.fault) << c.text;
        EXPECT_EQ(rule->word, c.word) << c.text;
        EXPECT_EQ(rule->count, c.count) << c.text;
        EXPECT_EQ(rule->delayMs, c.delayMs) << c.text;
        EXPECT_EQ(rule->splitAt, c.splitAt) << c.text;
    }
}

TEST(SimOptions, ParsesTheCommandLine) {
    std::string error;
    const auto defaults = ParseSimOptions({}, &error);
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->port, 2048);
    EXPECT_EQ(defaults->discoveryPort, 7000);
    EXPECT_EQ(defaults->bindAddress, "127.0.0.1");
    EXPECT_TRUE(defaults->discovery);

    const auto options =
        ParseSimOptions({"--rack", "C,O,R,-,-,-", "--port", "0", "--bind", "0.0.0.0", "--speed", "2.5",
                         "--fault", "nocr@STS", "--no-discovery", "--discovery-repeat", "2"},
                        &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(RackSpec(options->rack), "C,O,R,-,-,-");
    EXPECT_EQ(options->port, 0);
    EXPECT_EQ(options->speed, 2.5);
    EXPECT_FALSE(options->discovery);
    EXPECT_EQ(options->discoveryRepeat, 2);
    ASSERT_EQ(options->faults.size(), 1u);
    const auto reenabled = ParseSimOptions({"--no-discovery", "--discovery"}, &error);
    ASSERT_TRUE(reenabled);
    EXPECT_TRUE(reenabled->discovery) << "the last of the two flags wins";

    const std::vector<std::vector<std::string>> bad = {
        {"--port"},          {"--port", "65536"}, {"--port", "-1"},       {"--speed", "0"},
        {"--speed", "fast"}, {"--rack", "C"},     {"--fault", "explode"}, {"--discovery-repeat", "11"},
        {"--what"},
    };
    for (const auto& args : bad) EXPECT_FALSE(ParseSimOptions(args, &error)) << args[0];
}

}  // namespace
}  // namespace vm::sim
