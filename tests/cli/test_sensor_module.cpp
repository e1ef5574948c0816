#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "cli/sensor_module.h"
#include "tests/support/run_tool.h"

namespace {

using vm::cli::Words;
using vm::test::HandlerHarness;
using vm::test::Join;
using vm::test::ScriptedLink;

std::string RunHandler(HandlerHarness& h, std::vector<std::string> args) {
    const std::string joined = Join(args);
    args.insert(args.begin(), "vmcli");
    EXPECT_TRUE(vm::cli::Dispatch(h.session, Words(std::move(args)))) << joined;
    return h.output();
}

TEST(SensorConversion, MatchesWorkedExamples) {
    // CEDAR1-POT has the scale factor 14500: half of full scale is 7.25 mm.
    EXPECT_DOUBLE_EQ(vm::cli::SensorValue(8388608, 14500), 0.00725);
    EXPECT_DOUBLE_EQ(vm::cli::SensorValue(0, 14500), 0.0);
    EXPECT_DOUBLE_EQ(vm::cli::SensorValue(16777216, 1), 1e-6);
    EXPECT_DOUBLE_EQ(vm::cli::SampleTime(0), 0.0);
    EXPECT_DOUBLE_EQ(vm::cli::SampleTime(5), 0.001024);
}

struct ExchangeCase {
    bool developmentMode;
    std::vector<std::string> args;
    std::string line;
    std::string reply;
    std::string output;
};

const ExchangeCase kCases[] = {
    {false,
     {"PGV", "1", "1", "CEDAR1-POT"},
     "PGV 10 1\r",
     "_PGV 8388608\r",
     "RSM 1, channel 1 value: 0.007250000[m]\n"},
    {false,
     {"PGV", "1", "1", "CEDAR1-POT"},
     "PGV 10 1\r",
     "_PGV 0\r",
     "RSM 1, channel 1 value: 0.000000000[m]\n"},
    {false,
     {"PGV", "1", "1", "CEDAR1-POT"},
     "PGV 10 1\r",
     "_PGV 8388608",
     "RSM 1, channel 1 value: 0.007250000[m]\n"},
    // 2pi / 850 * 10^6 per full scale, times 10^-6: 0.0073919827 rad.
    {false,
     {"PGV", "6", "2", "MAPLE1-ENC"},
     "PGV 15 2\r",
     "_PGV 16777216\r",
     "RSM 6, channel 2 value: 0.007391983[rad]\n"},
    // -0.25 * 1000 / 850 per full scale: -0.294 um.
    {false,
     {"PGV", "2", "3", "ASPEN2-ENC"},
     "PGV 11 3\r",
     "_PGV 16777216\r",
     "RSM 2, channel 3 value: -0.000000294[m]\n"},
    {false, {"PGV", "1", "1", "ASPEN1"}, "PGV 10 1\r", "_PGV 8388608\r", ""},  // no axis kind: no line
    {false, {"PGV", "1", "1", "CEDAR1-POT"}, "PGV 10 1\r", "MNF\r", "Unable to comply\n"},
    {false,
     {"PGVA", "2", "CEDAR1-POT", "MAPLE1-ENC", "ASPEN1"},
     "PGVA 11\r",
     "_PGVA 8388608 16777216 5\r",
     "RSM 2, channel 1 value: 0.007250000[m]\nRSM 2, channel 2 value: 0.007391983[rad]\n"},
    {false,
     {"PGVA", "2", "CEDAR1-POT", "CEDAR1-POT", "CEDAR1-POT"},
     "PGVA 11\r",
     "_PGV 1 2 3\r",
     "Unable to comply\n"},
    {false,
     {"EXS", "1", "50"},
     "EXS 10 5000 50\r",
     "_EXS\r",
     "Excitation duty-cycle for RSM 1 has been set\n"},
    {true,
     {"EXS", "1", "50"},
     "EXS 10 5000 50\r",
     "_EXS\r",
     "Excitation frequency and duty-cycle for RSM 1 has been set\n"},
    {true,
     {"EXS", "3", "1000", "0"},
     "EXS 12 1000 0\r",
     "_EXS\r",
     "Excitation frequency and duty-cycle for RSM 3 has been set\n"},
    {false, {"EXS", "1", "50"}, "EXS 10 5000 50\r", "CNR\r", "Unable to comply\n"},
    {false, {"EXR", "4"}, "EXR 13\r", "_EXR 5000 50\r", "RSM 4, excitation duty-cycle: 50[%]\n"},
    {true,
     {"EXR", "4"},
     "EXR 13\r",
     "_EXR 5000 50\r",
     "RSM 4, excitation frequency:  5000[Hz]\nRSM 4, excitation duty-cycle: 50[%]\n"},
    {false, {"EXR", "4"}, "EXR 13\r", "", "Unable to comply\n"},
    {false, {"MIS", "1", "2"}, "MIS 10 2\r", "_MIS\r", "Minimum value for RSM 1, channel 2 has been set\n"},
    {false, {"MAS", "1", "3"}, "MAS 10 3\r", "_MAS\r", "Maximum value for RSM 1, channel 3 has been set\n"},
    {false, {"MAS", "1", "3"}, "MAS 10 3\r", "_MIS\r", "Unable to comply\n"},
    {false,
     {"MIR", "5", "1", "CEDAR1-POT"},
     "MIR 14 1\r",
     "_MIR 8388608\r",
     "RSM 5, channel 1 minimum value: 0.007250000[m]\n"},
    {false,
     {"MAR", "5", "2", "MAPLE1-ENC"},
     "MAR 14 2\r",
     "_MAR 16777216\r",
     "RSM 5, channel 2 maximum value: 0.007391983[rad]\n"},
    {false, {"MAR", "5", "2", "ASPEN1"}, "MAR 14 2\r", "_MAR 16777216\r", ""},
    {false, {"MIR", "5", "1", "CEDAR1-POT"}, "MIR 14 1\r", "_MAR 1\r", "Unable to comply\n"},
    {false,
     {"MMR", "2", "2"},
     "MMR 11 2\r",
     "_MMR\r",
     "Minimum and maximum values for RSM 2, channel 2 have been reset\n"},
    {true, {"SKS", "1", "1", "24"}, "SKS 10 1 24\r", "_SKS\r", "Bitmask for RSM 1, channel 1 has been set\n"},
    {true, {"SKR", "1", "3"}, "SKR 10 3\r", "_SKR 7\r", "RSM 1, channel 3 bitmask: 7[LSB]\n"},
    {true,
     {"SKR", "1", "3"},
     "SKR 10 3\r",
     "_SKR 4294967303\r",
     "RSM 1, channel 3 bitmask: 2147483647[LSB]\n"},
    {true, {"SKR", "1", "3"}, "SKR 10 3\r", "CNR\r", "Unable to comply\n"},
    {false, {"RSS", "6"}, "RSS 15\r", "_RSS\r", "Settings for RSM 6 have been stored in flash\n"},
    {false, {"RSS", "6"}, "RSS 15\r", "_RS\r", "Unable to comply\n"},
};

TEST(SensorCommands, SendOneLineAndPrintTheReply) {
    for (const ExchangeCase& c : kCases) {
        HandlerHarness h;
        h.session.setDevelopmentMode(c.developmentMode);
        h.link.expect(c.line, c.reply);
        EXPECT_EQ(RunHandler(h, c.args), c.output)
            << Join(c.args) << " / " << ::testing::PrintToString(c.reply);
    }
}

TEST(HighFrequencyRecord, ReadsSamplesUntilFinished) {
    HandlerHarness h;
    h.link.expect("BUF 10 2\r", "_BUF\r")
        .expect("BUR 10 0 1.450000E+04 L\r", "_BUR 8388608\r")
        .expect("BUR 10 1 1.450000E+04 L\r", "_BUR 0\r")
        .expect("BUR 10 2 1.450000E+04 L\r", "_BUR FINISHED\r");
    EXPECT_EQ(RunHandler(h, {"HFM", "1", "2", "CEDAR1-POT"}),
              "High frequency measurement RSM 1, channel 2\n"
              "0.000000000[s]\t8388608[bit]\t0.007250000[m]\n"
              "0.000204800[s]\t0[bit]\t0.000000000[m]\n");
    EXPECT_EQ(h.clock.elapsedMs(), 500);  // the one wait after the buffer command
}

TEST(HighFrequencyRecord, RequestsTheSameSampleAgainAfterAnotherReply) {
    HandlerHarness h;
    h.link.expect("BUF 15 1\r", "_BUF\r")
        .expect("BUR 15 0 7.391983E+03 R\r", "_BUR 16777216\r")
        .expect("BUR 15 1 7.391983E+03 R\r", "CNR\r")
        .expect("BUR 15 1 7.391983E+03 R\r", "")
        .expect("BUR 15 1 7.391983E+03 R\r", "_BUR 0\r")
        .expect("BUR 15 2 7.391983E+03 R\r", "_BUR FINISHED");
    EXPECT_EQ(RunHandler(h, {"HFM", "6", "1", "MAPLE1-ENC"}),
              "High frequency measurement RSM 6, channel 1\n"
              "0.000000000[s]\t16777216[bit]\t0.007391983[rad]\n"
              "0.000204800[s]\t0[bit]\t0.000000000[rad]\n");
}

TEST(HighFrequencyRecord, StopsEarly) {
    struct Case {
        std::string stage;
        std::string bufReply;
        std::string output;
    };
    const std::string header = "High frequency measurement RSM 1, channel 1\n";
    const Case cases[] = {
        {"CEDAR1-POT", "CNR\r", "Unable to comply\n"},
        {"CEDAR1-POT", "", "Unable to comply\n"},
        {"CEDAR1-POT", "_BUF FINISHED\r", header},  // the first test reads the buffer reply
        {"ASPEN1", "_BUF\r", header},               // no axis kind: nothing to read or print
    };
    for (const Case& c : cases) {
        HandlerHarness h;
        h.link.expect("BUF 10 1\r", c.bufReply);
        EXPECT_EQ(RunHandler(h, {"HFM", "1", "1", c.stage}), c.output) << c.stage << " " << c.bufReply;
        EXPECT_EQ(h.clock.elapsedMs(), 500);
    }
}

TEST(HighFrequencyRecord, GivesUpOnASampleThatNeverArrives) {
    for (const auto& [reply, result] : {std::pair{"CNR\r", 0}, std::pair{"", 1}, std::pair{"_BUF\r", 0}}) {
        HandlerHarness h;
        h.link.expect("BUF 10 1\r", "_BUF\r").expect("BUR 10 0 1.450000E+04 L\r", "_BUR 5\r");
        h.link.answerEverything(reply, result);
        const std::string output = RunHandler(h, {"HFM", "1", "1", "CEDAR1-POT"});
        EXPECT_EQ(h.link.sent().size(), 2u + vm::cli::kMaxSampleRequests) << reply;
        for (std::size_t i = 2; i < h.link.sent().size(); ++i)
            ASSERT_EQ(h.link.sent()[i], "BUR 10 1 1.450000E+04 L\r");
        EXPECT_TRUE(output.ends_with(
            "0.000000000[s]\t5[bit]\t0.000000004[m]\n"
            "High frequency measurement aborted: sample 1 not delivered after 100 requests\n"))
            << output;
    }
}

// A module that delivers samples for ever, answering without keeping a record of the lines.
class EndlessSamples final : public vm::COM_METHOD {
  public:
    EndlessSamples() : COM_METHOD(vm::test::TestLinkContext()) {}
    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int Exchange() override {
        ++exchanges;
        reply().assign(command().view().starts_with("BUF") ? "_BUF\r" : "_BUR 1\r");
        return 0;
    }
    int ListDevices() override { return 0; }
    long exchanges = 0;
};

TEST(HighFrequencyRecord, EndsARecordingThatNeverFinishes) {
    vm::VirtualClock clock;
    vm::cli::ScriptedConsole console;
    EndlessSamples link;
    vm::cli::Session session(console, clock);
    session.bind(&link, false);
    vm::cli::HandleHFM(session, Words({"vmcli", "HFM", "1", "1", "CEDAR1-POT"}));
    EXPECT_EQ(link.exchanges, 1 + vm::cli::kMaxRecordedSamples);
    EXPECT_TRUE(console.output().ends_with(
        "High frequency measurement stopped after 1048576 samples: no end of recording reported\n"));
}

TEST(SensorSummary, ReadsExcitationAndLimitsAndBitmasksInDevelopmentMode) {
    for (const bool dev : {false, true}) {
        HandlerHarness h;
        h.session.setDevelopmentMode(dev);
        h.link.expect("EXR 11\r", "_EXR 5000 40\r")
            .expect("MIR 11 1\r", "_MIR 0\r")
            .expect("MAR 11 1\r", "_MAR 8388608\r")
            .expect("MIR 11 2\r", "CNR\r")
            .expect("MAR 11 2\r", "_MAR 16777216\r")
            .expect("MIR 11 3\r", "_MIR 1\r")
            .expect("MAR 11 3\r", "_MAR 2\r");
        std::string expected = dev ? "RSM 2, excitation frequency:  5000[Hz]\n" : "";
        expected +=
            "RSM 2, excitation duty-cycle: 40[%]\n"
            "RSM 2, channel 1 minimum value: 0.000000000[m]\n"
            "RSM 2, channel 1 maximum value: 0.007250000[m]\n"
            "Unable to comply\n"
            "RSM 2, channel 2 maximum value: 0.007391983[rad]\n";
        if (dev) {
            h.link.expect("SKR 11 1\r", "_SKR 3\r")
                .expect("SKR 11 2\r", "")
                .expect("SKR 11 3\r", "_SKR 24\r");
            expected +=
                "RSM 2, channel 1 bitmask: 3[LSB]\n"
                "Unable to comply\n"
                "RSM 2, channel 3 bitmask: 24[LSB]\n";
        }
        EXPECT_EQ(RunHandler(h, {"INF", "2", "CEDAR1-POT", "MAPLE1-ENC", "ASPEN1"}), expected);
        EXPECT_EQ(h.link.sent().size(), dev ? 10u : 7u);
    }
}

TEST(SensorSummary, ContinuesAfterEveryRefusal) {
    HandlerHarness h;
    h.link.answerEverything("MNF\r");
    std::string expected;
    for (int i = 0; i < 7; ++i) expected += "Unable to comply\n";
    EXPECT_EQ(RunHandler(h, {"INF", "1", "CEDAR1-POT", "CEDAR1-POT", "CEDAR1-POT"}), expected);
}

TEST(SensorCommands, DevelopmentWordsRunOnlyInDevelopmentMode) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"SKS", "1", "1", "3"}, std::vector<std::string>{"SKR", "1", "1"}}) {
        ScriptedLink silent;  // fails the test if anything is sent
        vm::test::RunTool(silent, words);
        EXPECT_EQ(silent.closeCount(), 1) << Join(words);
    }
}

}  // namespace
