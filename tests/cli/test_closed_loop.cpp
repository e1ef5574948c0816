#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/closed_loop.h"
#include "tests/support/random_reply_link.h"
#include "tests/support/run_tool.h"

namespace {

using vm::test::HandlerHarness;
using vm::test::Join;
using vm::test::RandomReplyLink;
using vm::test::RunTool;
using vm::test::ScriptedLink;
using vm::test::ToolHarness;

const std::string kBanner =
    "------------------------------------------\n"
    "| Program running in Development Mode... |\n"
    "------------------------------------------\n\n";
const std::string kEnabled = "STATUS : POSITION CONTROL ENABLED\n";
const std::string kTorque = "warning (3.12) : requested torque not available\n";

// Expected values were worked out by hand from the stage table and the rise-time formula:
//   CEDAR1-POT  PROFILE1, 1.0 * 14500, scan base 8, loop value 0.3, loop integer -4000
//   MAPLE1-ENC  PROFILE2 (inverting), rotary 2*pi / 850 * 1e6, scan base 600
//   ASPEN2-ENC  PROFILE2, -0.25 * 1000 / 850, loop integer 10
//   HAZEL1-ENC  PROFILE2, 1.0 * 100, scan base 8
//   TESTPROFILE PROFILE1, rotary 2*pi * 1e6, loop value 1000
// Rise times with paramA 6000, paramB 3, step size 100: 31 at 293 K, 11 at 0 K, 19 at 77 K,
// 15 at 293 K with torque 4, and 2.2 (clamped to 5 with the warning) at 0 K with torque 30.
struct EnableCase {
    std::vector<std::string> words;
    std::vector<std::string> lines;  // axes 0, 1, 2
    std::string output;
};

const EnableCase kEnableCases[] = {
    {{"FBEN", "CEDAR1-POT", "0.5", "MAPLE1-ENC", "0", "ASPEN2-ENC", "1", "293"},
     {"FBEN 0 1.450000E+04 L 0.000000E+00 3.000000E-01 31 0 5.000000E-01 -4000\r",
      "FBEN 1 7.391983E+03 R 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1\r",
      "FBEN 2 -2.941176E-01 L 0.000000E+00 0.000000E+00 31 1 1.000000E+00 10\r"},
     kEnabled},
    // The short form sends no scan value in development mode either.
    {{"DEVMODE", "FBEN", "CEDAR1-POT", "0.25", "HAZEL1-ENC", "0.125", "TESTPROFILE", "0", "293", "4"},
     {"FBEN 0 1.450000E+04 L 0.000000E+00 3.000000E-01 15 0 2.500000E-01 -4000\r",
      "FBEN 1 1.000000E+02 L 0.000000E+00 0.000000E+00 15 1 1.250000E-01 1\r",
      "FBEN 2 6.283185E+06 R 0.000000E+00 1.000000E+03 15 0 0.000000E+00 1\r"},
     kEnabled + kBanner},
    // Long form: SCAN 1 scales the scan base with the temperature (equal to it at 293 K).
    {{"DEVMODE", "FBEN", "CEDAR1-POT", "1", "0.5", "HAZEL1-ENC", "0", "0", "MAPLE1-ENC", "1", "1", "293"},
     {"FBEN 0 1.450000E+04 L 8.000000E+00 3.000000E-01 31 0 5.000000E-01 -4000\r",
      "FBEN 1 1.000000E+02 L 0.000000E+00 0.000000E+00 31 1 0.000000E+00 1\r",
      "FBEN 2 7.391983E+03 R 6.000000E+02 0.000000E+00 31 1 1.000000E+00 1\r"},
     kEnabled + kBanner},
    // 8 * (0.8 * 0 + 54.6) / 289 = 1.5114...; 8 * (0.8 * 77 + 54.6) / 289 = 3.2166...
    {{"DEVMODE", "FBEN", "CEDAR1-POT", "1", "0", "CEDAR1-POT", "0", "0", "HAZEL1-ENC", "1", "0", "0", "1"},
     {"FBEN 0 1.450000E+04 L 1.511419E+00 3.000000E-01 11 0 0.000000E+00 -4000\r",
      "FBEN 1 1.450000E+04 L 0.000000E+00 3.000000E-01 11 0 0.000000E+00 -4000\r",
      "FBEN 2 1.000000E+02 L 1.511419E+00 0.000000E+00 11 1 0.000000E+00 1\r"},
     kEnabled + kBanner},
    {{"DEVMODE", "FBEN", "CEDAR1-POT", "1", "0", "ASPEN1-ENC", "1", "0", "HAZEL1-ENC", "1", "0", "77"},
     {"FBEN 0 1.450000E+04 L 3.216609E+00 3.000000E-01 19 0 0.000000E+00 -4000\r",
      "FBEN 1 1.408451E+01 L 0.000000E+00 0.000000E+00 19 1 0.000000E+00 1\r",
      "FBEN 2 1.000000E+02 L 3.216609E+00 0.000000E+00 19 1 0.000000E+00 1\r"},
     kEnabled + kBanner},
    // FBENX: the tolerance times 1000000 in field 5, never a scan value.
    {{"FBENX", "CEDAR1-POT", "0.000002", "0.5", "MAPLE1-ENC", "1", "0", "HAZEL1-ENC", "0", "1", "293"},
     {"FBEN 0 1.450000E+04 L 0.000000E+00 2.000000E+00 31 0 5.000000E-01 -4000\r",
      "FBEN 1 7.391983E+03 R 0.000000E+00 1.000000E+06 31 1 0.000000E+00 1\r",
      "FBEN 2 1.000000E+02 L 0.000000E+00 0.000000E+00 31 1 1.000000E+00 1\r"},
     kEnabled},
    {{"DEVMODE", "FBENX", "HAZEL1-ENC", "0.5", "0", "HAZEL1-ENC", "0.0005", "0", "HAZEL1-ENC", "0", "0", "77",
      "2"},
     {"FBEN 0 1.000000E+02 L 0.000000E+00 5.000000E+05 13 1 0.000000E+00 1\r",
      "FBEN 1 1.000000E+02 L 0.000000E+00 5.000000E+02 13 1 0.000000E+00 1\r",
      "FBEN 2 1.000000E+02 L 0.000000E+00 0.000000E+00 13 1 0.000000E+00 1\r"},
     kEnabled + kBanner},
    // A clamped rise time warns once per axis, before any line is sent.
    {{"FBEN", "CEDAR1-POT", "0", "CEDAR1-POT", "0", "CEDAR1-POT", "0", "0", "30"},
     {"FBEN 0 1.450000E+04 L 0.000000E+00 3.000000E-01 5 0 0.000000E+00 -4000\r",
      "FBEN 1 1.450000E+04 L 0.000000E+00 3.000000E-01 5 0 0.000000E+00 -4000\r",
      "FBEN 2 1.450000E+04 L 0.000000E+00 3.000000E-01 5 0 0.000000E+00 -4000\r"},
     kTorque + kTorque + kTorque + kEnabled},
};

TEST(ClosedLoopEnable, SendsOneExactLinePerAxisAndReportsTheLastReply) {
    for (const auto& c : kEnableCases) {
        ScriptedLink link;
        for (const auto& line : c.lines) link.expect(line, "_FBEN\r");
        EXPECT_EQ(RunTool(link, c.words), c.output) << Join(c.words);
    }
}

TEST(ClosedLoopEnable, OnlyTheLastReplyIsShown) {
    const std::vector<std::string> words{"FBEN", "HAZEL1-ENC", "0", "HAZEL1-ENC",
                                         "0",    "HAZEL1-ENC", "0", "293"};
    struct Case {
        std::vector<std::string> replies;
        std::string output;
    };
    const Case cases[] = {
        {{"CNR\r", "", "_FBEN\r"}, kEnabled},
        {{"_FBEN\r", "_FBEN\r", "CNR\r"}, "STATUS : ERROR\n"},
        {{"_FBEN\r", "_FBEN\r", "_FBENX 1\r"}, "STATUS RESPONSE: _FBENX 1\r\n:"},
        {{"_FBEN\r", "_FBEN\r", ""}, ""},
    };
    for (const auto& c : cases) {
        ScriptedLink link;
        for (const auto& reply : c.replies) link.expect("*", reply);
        EXPECT_EQ(RunTool(link, words), c.output) << ::testing::PrintToString(c.replies);
        ASSERT_EQ(link.sent().size(), 3u);
        EXPECT_TRUE(link.sent()[2].starts_with("FBEN 2 ")) << link.sent()[2];
    }
}

// Stages without a linear or rotary axis kind have no position sensor: the whole request is
// refused with one line per such axis and nothing is sent.
TEST(ClosedLoopEnable, StagesWithoutAxisKindAreRefusedBeforeAnythingIsSent) {
    const std::string refused1 =
        "Stage ASPEN1 (axis 1) has no position sensor and cannot run in closed loop; nothing was sent\n";
    struct Case {
        std::vector<std::string> words;
        std::string output;
    };
    const Case cases[] = {
        {{"FBEN", "ASPEN1", "0", "HAZEL1-ENC", "0", "HAZEL1-ENC", "0", "293"}, refused1},
        {{"FBEN", "HAZEL1-ENC", "0", "ELM1.X", "0", "BIRCH2-Q", "0", "293"},
         "Stage ELM1.X (axis 2) has no position sensor and cannot run in closed loop; nothing was sent\n"
         "Stage BIRCH2-Q (axis 3) has no position sensor and cannot run in closed loop; nothing was sent\n"},
        {{"FBENX", "ASPEN1", "0.1", "0", "HAZEL1-ENC", "0.1", "0", "HAZEL1-ENC", "0.1", "0", "293"},
         refused1},
        // Refused before the rise time is worked out, so no torque warning either.
        {{"FBEN", "ASPEN1", "0", "CEDAR1-POT", "0", "CEDAR1-POT", "0", "0", "30"}, refused1},
        {{"DEVMODE", "FBEN", "ASPEN1", "1", "0", "HAZEL1-ENC", "1", "0", "HAZEL1-ENC", "1", "0", "293"},
         refused1 + kBanner},
    };
    for (const auto& c : cases) {
        ScriptedLink link;  // fails the test if anything is sent
        EXPECT_EQ(RunTool(link, c.words), c.output) << Join(c.words);
    }
}

TEST(ClosedLoopEnable, ArgumentErrorsSendNothing) {
    struct Case {
        std::vector<std::string> words;
        std::string output;
    };
    const Case cases[] = {
        // The long form outside development mode.
        {{"FBEN", "CEDAR1-POT", "1", "0", "CEDAR1-POT", "1", "0", "CEDAR1-POT", "1", "0", "293"},
         "err 5.02 - arguments should be: FBEN [STAGE] [CLEAR] [STAGE] [CLEAR] [STAGE] [CLEAR] [TEMP] "
         "[TRQFR]\n"},
        {{"FBEN", "CEDAR1-POT", "1.5", "CEDAR1-POT", "0", "CEDAR1-POT", "0", "293"},
         "err 1.3: Error in statement. Please check your input.\n"},
        {{"FBENX", "CEDAR1-POT", "0", "0", "ELM1-POT", "0", "0", "CEDAR1-POT", "0", "0", "293"},
         "err 1.5: This stage requires the axis to be defined (STAGE.AXIS).\n"},
        {{"FBCS", "0.5", "1", "-1.5", "0", "0", "0"},
         "err 1.3: Error in statement. Please check your input.\n"},
    };
    for (const auto& c : cases) {
        ScriptedLink link;
        EXPECT_EQ(RunTool(link, c.words), c.output) << Join(c.words);
    }
}

struct ExchangeCase {
    std::vector<std::string> words;
    std::string line;
    std::string reply;
    std::string output;
};

const ExchangeCase kExchangeCases[] = {
    {{"FBCS", "0.001", "1", "-0.0005", "0", "0", "0"},
     "FBCS 0.001000000 1 -0.000500000 0 0.000000000 0\r",
     "_FBCS\r",
     "STATUS : POSITION CONTROL SET\n"},
    {{"FBCS", "-1", "0", "1", "1", "0.123456789012", "1"},
     "FBCS -1.000000000 0 1.000000000 1 0.123456789 1\r",
     "_FBCS\r",
     "STATUS : POSITION CONTROL SET\n"},
    {{"FBCS", "0.5", "1", "0.5", "1", "0.5", "1"},
     "FBCS 0.500000000 1 0.500000000 1 0.500000000 1\r",
     "CNR\r",
     "STATUS : ERROR\n"},
    {{"FBFE", "1", "20", "0"}, "FBFE 1 20 0\r", "_FBFE\r", "STATUS : POSITION CONTROL FIND ENDSTOP\n"},
    {{"FBFE", "0", "1", "1"}, "FBFE 0 1 1\r", "MNF\r", "STATUS : NOT FOUND\n"},
    {{"FBXT"}, "FBXT\r", "_FBXT\r", "STATUS : POSITION CONTROL DISABLED\n"},
    {{"FBXT"}, "FBXT\r", "", ""},
    {{"FBES"}, "FBES\r", "_FBES\r", "STATUS : POSITION CONTROL STOPPED\n"},
    {{"FBES"}, "FBES\r", "_FBES", "STATUS : POSITION CONTROL STOPPED\n"},  // LAN: no carriage return
    {{"FBST"},
     "FBST\r",
     "_FBST 1 0 0 1 0 0 0 1 0 0 1\r",
     "STATUS : POSITION CONTROL INQUIRY\nENABLED:1\nFINISHED:0\nTIME-OUT1:0\nTIME-OUT2:1\nTIME-OUT3:0\n"
     "INVALID_SETPOINT1:0\nINVALID_SETPOINT2:0\nINVALID_SETPOINT3:1\nPOSITION_ERROR1:0\nPOSITION_ERROR2:0\n"
     "POSITION_ERROR3:1\n"},
    // A short reply still prints all eleven lines; the slots it does not reach are empty in a fresh run.
    {{"FBST"},
     "FBST\r",
     "_FBST 1\r",
     "STATUS : POSITION CONTROL INQUIRY\nENABLED:1\nFINISHED:0\nTIME-OUT1:0\nTIME-OUT2:0\nTIME-OUT3:0\n"
     "INVALID_SETPOINT1:0\nINVALID_SETPOINT2:0\nINVALID_SETPOINT3:0\nPOSITION_ERROR1:0\nPOSITION_ERROR2:0\n"
     "POSITION_ERROR3:0\n"},
    {{"FBST"},
     "FBST\r",
     "CNR\r",
     "STATUS : ERROR\nENABLED:0\nFINISHED:0\nTIME-OUT1:0\nTIME-OUT2:0\nTIME-OUT3:0\n"
     "INVALID_SETPOINT1:0\nINVALID_SETPOINT2:0\nINVALID_SETPOINT3:0\nPOSITION_ERROR1:0\nPOSITION_ERROR2:0\n"
     "POSITION_ERROR3:0\n"},
    {{"FBST"},
     "FBST\r",
     "",
     "ENABLED:0\nFINISHED:0\nTIME-OUT1:0\nTIME-OUT2:0\nTIME-OUT3:0\n"
     "INVALID_SETPOINT1:0\nINVALID_SETPOINT2:0\nINVALID_SETPOINT3:0\nPOSITION_ERROR1:0\nPOSITION_ERROR2:0\n"
     "POSITION_ERROR3:0\n"},
    // More than twelve tokens: the extra ones are ignored.
    {{"FBST"},
     "FBST\r",
     "_FBST 1 1 0 0 0 0 0 0 0 0 0 7 8\r",
     "STATUS : POSITION CONTROL INQUIRY\nENABLED:1\nFINISHED:1\nTIME-OUT1:0\nTIME-OUT2:0\nTIME-OUT3:0\n"
     "INVALID_SETPOINT1:0\nINVALID_SETPOINT2:0\nINVALID_SETPOINT3:0\nPOSITION_ERROR1:0\nPOSITION_ERROR2:0\n"
     "POSITION_ERROR3:0\n"},
};

TEST(ClosedLoopCommands, SendTheExactLineAndPrintTheReply) {
    for (const auto& c : kExchangeCases) {
        ScriptedLink link({{c.line, c.reply}});
        EXPECT_EQ(RunTool(link, c.words), c.output)
            << Join(c.words) << " / " << ::testing::PrintToString(c.reply);
    }
}

// Within one session a short state reply leaves the later token slots as the previous reply
// filled them; the lines show those values. The empty token after the carriage return of the
// short reply takes slot 3.
TEST(ClosedLoopCommands, ShortStateReplyShowsWhatTheSlotsStillHold) {
    HandlerHarness h;
    h.link.expect("FBST\r", "_FBST 1 1 2 3 4 5 6 7 8 9 10\r").expect("FBST\r", "_FBST 0 0\r");
    const vm::cli::Words words({"vmcli", "FBST"});
    vm::cli::HandleFBST(h.session, words);
    h.output();
    vm::cli::HandleFBST(h.session, words);
    EXPECT_EQ(
        h.output(),
        "STATUS : POSITION CONTROL INQUIRY\nENABLED:0\nFINISHED:0\nTIME-OUT1:0\nTIME-OUT2:3\nTIME-OUT3:4\n"
        "INVALID_SETPOINT1:5\nINVALID_SETPOINT2:6\nINVALID_SETPOINT3:7\nPOSITION_ERROR1:8\n"
        "POSITION_ERROR2:9\nPOSITION_ERROR3:10\n");
}

// Random, truncated and oversized replies: every form sends its fixed number of lines and returns.
TEST(ClosedLoopCommands, RandomRepliesNeverChangeWhatIsSent) {
    struct Form {
        std::vector<std::string> words;
        std::size_t lines;
    };
    const Form forms[] = {
        {{"FBEN", "CEDAR1-POT", "1", "MAPLE1-ENC", "0", "HAZEL1-ENC", "0.5", "300", "30"}, 3},
        {{"FBEN", "CEDAR1-POT", "1", "1", "MAPLE1-ENC", "0", "0", "HAZEL1-ENC", "1", "0.5", "0"}, 3},
        {{"FBENX", "CEDAR1-POT", "1", "1", "MAPLE1-ENC", "0", "0", "HAZEL1-ENC", "1", "0.5", "0", "1"}, 3},
        {{"FBCS", "1", "1", "-1", "0", "0", "1"}, 1},
        {{"FBST"}, 1},
        {{"FBFE", "0", "20", "1"}, 1},
        {{"FBXT"}, 1},
        {{"FBES"}, 1},
    };
    for (const auto& form : forms) {
        std::vector<std::string> words{"DEVMODE"};
        words.insert(words.end(), form.words.begin(), form.words.end());
        for (std::uint32_t seed = 0; seed < 100; ++seed) {
            ToolHarness h;
            RandomReplyLink link(seed);
            h.links.serve(vm::cli::LinkKind::Ftdi, link);
            EXPECT_TRUE(h.run(words).ends_with(kBanner)) << Join(form.words) << " seed " << seed;
            EXPECT_EQ(link.exchanges(), form.lines) << Join(form.words) << " seed " << seed;
        }
    }
}

}  // namespace
