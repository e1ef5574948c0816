#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "cli/encoder_module.h"
#include "tests/support/run_tool.h"

namespace {

using vm::cli::Words;
using vm::test::HandlerHarness;
using vm::test::Join;
using vm::test::RunTool;
using vm::test::ScriptedLink;

Words W(std::vector<std::string> args) {
    args.insert(args.begin(), "vmcli");
    return Words(std::move(args));
}

// Runs the handler of the command word on a scripted session and returns what it printed.
std::string RunHandler(HandlerHarness& h, const std::vector<std::string>& args) {
    const Words words = W(args);
    EXPECT_TRUE(vm::cli::Dispatch(h.session, words)) << Join(args);
    return h.output();
}

struct ExchangeCase {
    std::vector<std::string> args;
    std::string line;
    std::string reply;
    std::string output;
};

const ExchangeCase kPlainCases[] = {
    {{"POS", "1", "1"}, "CGV 10 1\r", "_CGV 131072 55\r", "POS :0\nRVL :55\n"},
    {{"POS", "2", "3"}, "CGV 11 3\r", "_CGV 131060 7\r", "POS :-12\nRVL :7\n"},
    {{"POS", "1", "1"}, "CGV 10 1\r", "_CGV 131072 55", "POS :0\nRVL :55\n"},  // LAN: no carriage return
    {{"POS", "1", "1"}, "CGV 10 1\r", "CNR\r", "Unable to comply\n"},
    // Numbers past the int range read as its ends.
    {{"POS", "1", "1"}, "CGV 10 1\r", "_CGV 4294967296 -4294967296\r", "POS :2147352575\nRVL :-2147483648\n"},
    {{"POS", "1", "1"}, "CGV 10 1\r", "", "Unable to comply\n"},
    {{"POSA", "6"}, "CGVA 15\r", "_CGVA 131072 131073 131071\r", "POS :0 1 -1\n"},
    {{"POSA", "1"}, "CGVA 10\r", "_CGV 131072 131073 131071\r", "Unable to comply\n"},
    {{"RST", "1", "2"}, "CSZ 10 2\r", "_CSZ\r", "Counter for CH2 has been reset to zero\n"},
    {{"RST", "1", "2"}, "CSZ 10 2\r", "MNF\r", "Unable to comply\n"},
    {{"DSG", "4", "1", "200"}, "DSG 13 1 200\r", "_DSG\r", "GAIN for CH1 has been set\n"},
    {{"DSH", "1", "2", "0"}, "DSH 10 2 0\r", "_DSH\r", "High Threshold for CH2 has been set\n"},
    {{"DSL", "1", "3", "255"}, "DSL 10 3 255\r", "_DSL\r", "Low Threshold for CH3 has been set\n"},
    {{"DSL", "1", "3", "255"}, "DSL 10 3 255\r", "_DSH\r", "Unable to comply\n"},
    {{"MLS", "3", "2"},
     "MLS 12 2\r",
     "_MLS 120 200 50\r",
     "Post Detector Gain         CH2: 120\n"
     "Upper Comparator Threshold CH2: 200\n"
     "Lower Comparator Threshold CH2: 50\n"},
    {{"MLS", "3", "2"},
     "MLS 12 2\r",
     "_MLS 4294967296 2147483648 -2147483649\r",
     "Post Detector Gain         CH2: 2147483647\n"
     "Upper Comparator Threshold CH2: 2147483647\n"
     "Lower Comparator Threshold CH2: -2147483648\n"},
    {{"MLS", "3", "2"}, "MLS 12 2\r", "_MSS\r", "Unable to comply\n"},
    {{"MSS", "5", "1"}, "MSS 14 1\r", "_MSS\r", "Settings have been stored to internal flash\n"},
    // The four lines with a space before the carriage return report through the status printer.
    {{"SLD", "1", "500"}, "SLD 10 500 \r", "_SLD\r", "STATUS : LASER DUTYCYCLE HAS BEEN SET\n"},
    {{"SLD", "1", "500"}, "SLD 10 500 \r", "CNR\r", "STATUS : ERROR\n"},
    {{"SLD", "1", "500"}, "SLD 10 500 \r", "", ""},
    {{"CCU", "2", "1"}, "CCU 11 1 \r", "_CCU\r", "STATUS : SET COUNTER COUNT-UP\n"},
    {{"CCD", "2", "2"}, "CCD 11 2 \r", "_CCD\r", "STATUS : SET COUNTER COUNT-DOWN\n"},
    {{"CSH", "2", "3"}, "CSH 11 3 \r", "_CSH\r", "STATUS : SET COUNTER TO HOLD\n"},
    {{"CSH", "2", "3"}, "CSH 11 3 \r", "MNF\r", "STATUS : NOT FOUND\n"},
};

TEST(EncoderCommands, SendOneLineAndPrintTheReply) {
    for (const ExchangeCase& c : kPlainCases) {
        HandlerHarness h;
        h.link.expect(c.line, c.reply);
        EXPECT_EQ(RunHandler(h, c.args), c.output)
            << Join(c.args) << " / " << ::testing::PrintToString(c.reply);
    }
}

TEST(EncoderCommands, DevelopmentWordsRunOnlyInDevelopmentMode) {
    for (const std::string word : {"CAL", "CAS", "CCT", "CRP"}) {
        std::vector<std::string> words{word, "1"};
        if (word == "CAL") words.push_back("1");
        ScriptedLink silent;  // fails the test if anything is sent
        RunTool(silent, words);
        EXPECT_EQ(silent.closeCount(), 1) << word;

        ScriptedLink link;
        link.answerEverything("CNR\r");
        words.insert(words.begin(), "DEVMODE");
        RunTool(link, words);
        ASSERT_FALSE(link.sent().empty()) << word;
        EXPECT_EQ(link.sent().front(),
                  (word == "CRP" ? "CCT" : word) + " 10" + (word == "CAL" ? " 1\r" : "\r"));
    }
}

TEST(StartCalibration, ResendsUntilAcknowledgedOrTenResends) {
    struct Case {
        int acknowledgedAt;  // 0: never
        bool pipeLink;
        bool reporting;
        std::size_t lines;
        std::string output;
    };
    const Case cases[] = {
        {1, false, true, 1, "Calibration in progress... \n"},
        {3, false, true, 3, "Calibration in progress... \n"},
        {11, false, true, 11, "Calibration in progress... \n"},
        {0, false, true, 11, "Could not start Calibration... \n"},
        // The pipe link empties its command buffer: every attempt must still carry the line.
        {0, true, true, 11, "Could not start Calibration... \n"},
        {2, true, true, 2, "Calibration in progress... \n"},
        {1, false, false, 1, ""},
        {0, false, false, 11, "Could not start Calibration... \n"},
    };
    for (const Case& c : cases) {
        HandlerHarness h;
        h.link.clearCommandAfterExchange = c.pipeLink;
        for (std::size_t i = 1; i <= c.lines; ++i)
            h.link.expect("CAL 12 2\r", static_cast<int>(i) == c.acknowledgedAt ? "_CAL\r" : "CNR\r");
        const bool started = vm::cli::StartCalibration(h.session, W({"OEMC", "3", "2"}), c.reporting);
        EXPECT_EQ(started, c.acknowledgedAt != 0) << c.acknowledgedAt;
        EXPECT_EQ(h.link.sent().size(), c.lines) << c.acknowledgedAt;
        EXPECT_EQ(h.output(), c.output) << c.acknowledgedAt;
    }
}

TEST(StopAndCount, ReportOnlyWhenAsked) {
    struct Case {
        bool stop;
        std::string reply;
        bool reporting;
        std::string output;
        long count;
    };
    const Case cases[] = {
        {true, "_CAS\r", true, "Calibration Stopping... \n", 0},
        {true, "CNR\r", true, "Could not stop calibration... \n", 0},
        {true, "_CAS\r", false, "", 0},
        {false, "_CCT 150 3\r", true, "Calibration progress...: 150 3 \n", 150},
        {false, "_CCT 150 3\r", false, "", 150},
        {false, "CNR\r", true, "Error in Calibration Execution CNR \n", 0},
        // The count is token 1 whatever token 0 says.
        {false, "_CAL 77\r", true, "Error in Calibration Execution _CAL \n", 77},
    };
    for (const Case& c : cases) {
        HandlerHarness h;
        const Words words = W({"CCT", "4"});
        h.link.expect(c.stop ? "CAS 13\r" : "CCT 13\r", c.reply);
        if (c.stop)
            vm::cli::StopCalibration(h.session, words, c.reporting);
        else
            EXPECT_EQ(vm::cli::ReadCalibrationCount(h.session, words, c.reporting), c.count) << c.reply;
        EXPECT_EQ(h.output(), c.output) << c.reply;
    }
}

std::string Block(int first) {
    std::string reply;
    for (int i = 0; i < 8; ++i) reply += " " + std::to_string(first + i);
    return reply;
}

TEST(ReadPeakSamples, ReadsCeilingOfCountOverEightBlocksOfEach) {
    struct Case {
        std::string counts;
        std::size_t highBlocks, lowBlocks;
        std::uint32_t highCount, lowCount;
    };
    const Case cases[] = {
        {"17 3", 3, 1, 17, 3},         {"900 900", 50, 50, 400, 400}, {"0 8", 0, 1, 0, 8},
        {"400 401", 50, 50, 400, 400}, {"-1 16", 50, 2, 400, 16},  // negative counts compare unsigned
    };
    for (const Case& c : cases) {
        HandlerHarness h;
        h.link.expect("CCT 10\r", "_CCT " + c.counts + "\r");
        for (std::size_t b = 0; b < c.highBlocks; ++b)
            h.link.expect("CRP 10 " + std::to_string(b) + "\r",
                          "_CRP" + Block(static_cast<int>(8 * b)) + "\r");
        for (std::size_t b = 0; b < c.lowBlocks; ++b)
            h.link.expect("CRV 10 " + std::to_string(b) + "\r",
                          "_CRV" + Block(300 + static_cast<int>(b)) + "\r");
        vm::cli::ReadPeakSamples(h.session, W({"CRP", "1"}), false);
        EXPECT_EQ(h.output(), "\n") << c.counts;
        const auto& state = h.session.state();
        EXPECT_EQ(state.highCount, c.highCount) << c.counts;
        EXPECT_EQ(state.lowCount, c.lowCount) << c.counts;
        for (std::size_t i = 0; i < 8 * c.highBlocks; ++i) ASSERT_EQ(state.highSamples[i], i % 256) << i;
        // Values above 255 keep their low 8 bits: block b holds 300 + b ... 307 + b.
        for (std::size_t i = 0; i < 8 * c.lowBlocks; ++i)
            ASSERT_EQ(state.lowSamples[i], (300 + i / 8 + i % 8) % 256);
    }
}

TEST(ReadPeakSamples, PrintsRawBlocksInDevelopmentMode) {
    HandlerHarness h;
    h.session.setDevelopmentMode(true);
    h.link.expect("CCT 11\r", "_CCT 9 1\r")
        .expect("CRP 11 0\r", "_CRP 1 2 3 4 5 6 7 8\r")
        .expect("CRP 11 1\r", "_CR")
        .expect("CRV 11 0\r", "XXXXY 9\r");
    EXPECT_EQ(RunHandler(h, {"CRP", "2"}), " 1 2 3 4 5 6 7 8\r \n \n\nY 9\r \n");
    EXPECT_EQ(h.session.state().highSamples[0], 1);
    EXPECT_EQ(h.session.state().highSamples[7], 8);
}

TEST(ReadPeakSamples, LeavesTheStateAloneWithoutCountReply) {
    for (const std::string reply : {"CNR\r", "", "_CRP 5 5\r"}) {
        HandlerHarness h;
        auto& state = h.session.state();
        state.highCount = 7;
        state.lowCount = 9;
        state.highSamples[0] = 42;
        h.link.expect("CCT 10\r", reply);
        vm::cli::ReadPeakSamples(h.session, W({"CRP", "1"}), true);
        EXPECT_EQ(h.output(), "") << reply;
        EXPECT_EQ(state.highCount, 7u);
        EXPECT_EQ(state.lowCount, 9u);
        EXPECT_EQ(state.highSamples[0], 42);
    }
}

}  // namespace
