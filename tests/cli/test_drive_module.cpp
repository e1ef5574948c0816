#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/drive_module.h"
#include "tests/support/run_tool.h"

namespace vm::test {
namespace {

using cli::Words;

// Loads a script kept in a table row into a link.
void Load(ScriptedLink& link, const std::vector<ScriptStep>& script) {
    for (const auto& step : script) link.expect(step.expected, step.reply, step.result);
}

Words W(std::vector<std::string> words) {
    words.insert(words.begin(), "vmcli");
    return Words(std::move(words));
}

struct StatusCase {
    std::string reply;
    std::string printed;
};

const StatusCase kStatusCases[] = {
    {"_MOV\r", "STATUS : MOVE\n"},
    {"_MDC\r", "STATUS : SCAN\n"},
    {"_STP\r", "STATUS : STOP\n"},
    {"_GFS 0\r", "STATUS : STOP\n"},
    {"MNF\r", "STATUS : NOT FOUND\n"},
    {"CNR\r", "STATUS : ERROR\n"},
    {"_SCM\r", "STATUS : MEASURING CAPACITANCE\n"},
    {"_RCV 100\r", "STATUS : MEASURING CAPACITANCE\n"},
    {"_SAM\r", "STATUS : MEASURING AMPLIFIERR"},
    {"_RFS\r", "STATUS : RESET\n"},
    {"_EXT\r", "STATUS : USING EXTERNAL INPUT\n"},
    {"_FBEN\r", "STATUS : POSITION CONTROL ENABLED\n"},
    {"_FBXT\r", "STATUS : POSITION CONTROL DISABLED\n"},
    {"_FBCS\r", "STATUS : POSITION CONTROL SET\n"},
    {"_FBFE\r", "STATUS : POSITION CONTROL FIND ENDSTOP\n"},
    {"_FBES\r", "STATUS : POSITION CONTROL STOPPED\n"},
    {"_FBST 0 0 0\r", "STATUS : POSITION CONTROL INQUIRY\n"},
    {"_FBP\r", "STATUS : ENTER EXTENDED MODE\n"},
    {"_FBM\r", "STATUS : MOVE IN EXTENDED MODE\n"},
    {"_FBX\r", "STATUS : EXIT EXTENDED MODE\n"},
    {"_SCN AxCOR\r", "STATUS : INQUIRY OF INSTALLED MODULES \n"},
    {"_SLD\r", "STATUS : LASER DUTYCYCLE HAS BEEN SET\n"},
    {"_CCU\r", "STATUS : SET COUNTER COUNT-UP\n"},
    {"_CCD\r", "STATUS : SET COUNTER COUNT-DOWN\n"},
    {"_CSH\r", "STATUS : SET COUNTER TO HOLD\n"},
    // Without the carriage return (LAN) the word still matches.
    {"_MOV", "STATUS : MOVE\n"},
    // Words the table lacks, or that only begin like a row, show the raw reply.
    {"_XYZ 12\r", "STATUS RESPONSE: _XYZ 12\r\n:"},
    {"_MOVE\r", "STATUS RESPONSE: _MOVE\r\n:"},
    {"_mov\r", "STATUS RESPONSE: _mov\r\n:"},
    {" _MOV\r", "STATUS RESPONSE:  _MOV\r\n:"},
    {"", ""},
};

TEST(PrintStatus, PrintsTheLineOfTheStatusWord) {
    for (const auto& c : kStatusCases) {
        HandlerHarness h;
        h.link.reply().assign(c.reply);
        cli::PrintStatus(h.session);
        EXPECT_EQ(h.output(), c.printed) << ::testing::PrintToString(c.reply);
    }
}

const std::string kUpperRail =
    " FAILURE: *UPPER* VOLTAGE RAIL IS MISSING\n   INSPECTION OF UNIT IS REQUIRED\n\n";
const std::string kLowerRail =
    " FAILURE: *LOWER* VOLTAGE RAIL IS MISSING\n   INSPECTION OF UNIT IS REQUIRED\n\n";
const std::string kThermal = " THERMAL OVERLOAD OF AMPLIFIER STAGE \n LET UNIT COOL DOWN\n\n";
const std::string kUpperCauses =
    "    POSSIBLE CAUSES:\n    1) SHORT CIRCUIT TO PROTECTED EARTH OR REFERENCE\n"
    "    2) CAPACITIVE LOAD OR DRIVE PARAMETERS NOT CORRECT\n RESET REQUIRED\n\n";
const std::string kLowerCauses =
    "    POSSIBLE CAUSES:\n    1) SHORT CIRCUIT TO PROTECTIVE EARTH\n"
    "    2) CAPACITIVE LOAD OR DRIVE PARAMETERS NOT CORRECT\n RESET REQUIRED\n\n";
const std::string kUpper10A =
    " FAILURE: OVERCURRENT DETECTED on UPPER RAIL: I>10A t>100us:  \n" + kUpperCauses;
const std::string kUpperSmall =
    " FAILURE: OVERCURRENT DETECTED on UPPER RAIL: I>0.15A t>1ms:  \n" + kUpperCauses;
const std::string kLower10A =
    " FAILURE: OVERCURRENT DETECTED on LOWER RAIL: I>10A t>100us:  \n" + kLowerCauses;
const std::string kLowerSmall =
    " FAILURE: OVERCURRENT DETECTED on LOWER RAIL: I>0.15A t>1ms:  \n" + kLowerCauses;
const std::string kAllGood = "\n ALL GOOD, NO ERRORS PRESENT\n\n";

struct FailsafeCase {
    long value;
    std::string printed;
};

const FailsafeCase kFailsafeCases[] = {
    {0, kAllGood},
    {0x100, kAllGood},  // only the low 8 bits count
    {0x80, "\n"},       // a bit without text
    {0x01, "\n" + kUpperRail},
    {0x41, "\n" + kUpperRail + kUpper10A},
    {0x18, "\n" + kLower10A + kLowerSmall},
    // Table order, not bit order.
    {0xFF, "\n" + kUpperRail + kLowerRail + kThermal + kUpper10A + kUpperSmall + kLower10A + kLowerSmall},
    {0x124, "\n" + kThermal + kUpperSmall},
};

TEST(PrintFailsafe, PrintsEverySetBitInTableOrder) {
    for (const auto& c : kFailsafeCases) {
        HandlerHarness h;
        cli::PrintFailsafe(h.session, c.value);
        EXPECT_EQ(h.output(), c.printed) << std::hex << c.value;
    }
}

// MOV: the status query, stops while busy, the counter set-up of the paired encoder module and
// the drive line, with their waits.
struct MoveCase {
    std::string what;
    std::vector<std::string> words;
    std::vector<ScriptStep> script;
    std::string printed;
    std::int64_t elapsedMs;
};

const std::vector<MoveCase> kMoveCases = {
    {"idle module, PROFILE2 inverts DIR 1",
     {"MOV", "2", "ASPEN1", "4", "1", "300", "100", "5000"},
     {{"STS 2\r", "_STP\r"},
      {"CSH 12 1 lowlevel\r", "_CSH\r"},
      {"CCU 12 1 lowlevel\r", "_CCU\r"},
      {"MOV 2 0 300 100 5000 12 1 S\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     20},
    {"PROFILE1 keeps DIR 1",
     {"MOV", "1", "ASPEN1B", "4", "1", "300", "100", "0"},
     {{"STS 1\r", "_STP\r"},
      {"CSH 11 1 lowlevel\r", "_CSH\r"},
      {"CCU 11 1 lowlevel\r", "_CCU\r"},
      {"MOV 1 1 300 100 0 12 1 S\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     20},
    {"DIR 0 counts down, PROFILE2 sends 1",
     {"MOV", "6", "ASPEN1", "4", "0", "300", "100", "10"},
     {{"STS 6\r", "_STP\r"},
      {"CSH 16 1 lowlevel\r", ""},
      {"CCD 16 1 lowlevel\r", ""},
      {"MOV 6 1 300 100 10 12 1 S\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     20},
    {"moving module is stopped every 10 ms first",
     {"MOV", "2", "ASPEN1", "4", "1", "300", "100", "5000"},
     {{"STS 2\r", "_MOV\r"},
      {"STP 2\r", "_MDC\r"},
      {"STP 2\r", "_STP\r"},
      {"CSH 12 1 lowlevel\r", "_CSH\r"},
      {"CCU 12 1 lowlevel\r", "_CCU\r"},
      {"MOV 2 0 300 100 5000 12 1 S\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     40},
    {"busy replies without carriage return (LAN) also stop",
     {"MOV", "2", "ASPEN1", "4", "1", "300", "100", "5000"},
     {{"STS 2\r", "_MOV"},
      {"STP 2\r", "_STP"},
      {"CSH 12 1 lowlevel\r", "_CSH"},
      {"CCU 12 1 lowlevel\r", "_CCU"},
      {"MOV 2 0 300 100 5000 12 1 S\r", "_MOV"}},
     "STATUS : MOVE\n",
     30},
    {"torque factor 30 clamps the rise time to 5",
     {"MOV", "1", "ASPEN1", "4", "1", "300", "100", "5000", "30"},
     {{"STS 1\r", "_STP\r"},
      {"CSH 11 1 lowlevel\r", ""},
      {"CCU 11 1 lowlevel\r", ""},
      {"MOV 1 0 300 100 5000 5 1 S\r", "_MOV\r"}},
     "warning (3.12) : requested torque not available\nSTATUS : MOVE\n",
     20},
    {"torque factor 2 and step size 50 at 300 K",
     // sqrt(3 * 2 * 50 * (300 * 0.003 + 0.14) / (6000 * 2 * 100)) * 1000 = 16.12
     {"MOV", "3", "ASPEN1B", "300", "0", "600", "50", "7", "2"},
     {{"STS 3\r", "_STP\r"},
      {"CSH 13 1 lowlevel\r", ""},
      {"CCD 13 1 lowlevel\r", ""},
      {"MOV 3 0 600 50 7 16 1 S\r", "CNR\r"}},
     "STATUS : ERROR\n",
     20},
    {"missing module still gets the move line and reports not found",
     {"MOV", "4", "ASPEN1", "4", "1", "300", "100", "5000"},
     {{"STS 4\r", "MNF\r"},
      {"CSH 14 1 lowlevel\r", "MNF\r"},
      {"CCU 14 1 lowlevel\r", "MNF\r"},
      {"MOV 4 0 300 100 5000 12 1 S\r", "MNF\r"}},
     "STATUS : NOT FOUND\n",
     20},
};

TEST(Move, SendsStatusStopsCounterSetupAndDriveLine) {
    for (const auto& c : kMoveCases) {
        ToolHarness h;
        ScriptedLink link;
        Load(link, c.script);
        h.links.serve(cli::LinkKind::Ftdi, link);
        EXPECT_EQ(h.run(c.words), c.printed) << c.what;
        EXPECT_EQ(h.clock.elapsedMs(), c.elapsedMs) << c.what;
    }
}

TEST(Move, GivesUpOnAModuleThatNeverStopsAndSendsNoMove) {
    HandlerHarness h;
    h.link.answerEverything("_MOV\r");
    cli::HandleMOV(h.session, W({"MOV", "2", "ASPEN1", "4", "1", "300", "100", "5000"}), true);
    const int stops = static_cast<int>(cli::kStopLoopBudgetMs / 10);
    ASSERT_EQ(h.link.sent().size(), 1u + stops);
    EXPECT_EQ(h.link.sent().front(), "STS 2\r");
    EXPECT_EQ(h.link.sent().back(), "STP 2\r");
    EXPECT_EQ(h.output(), "Module 2 is still busy after 3000 stop requests; giving up\n");
    EXPECT_EQ(h.clock.elapsedMs(), 5 + stops * 10);
}

TEST(Move, ReportingFlagOffPrintsNothing) {
    HandlerHarness h;
    h.link.expect("STS 1\r", "_STP\r")
        .expect("CSH 11 1 lowlevel\r", "")
        .expect("CCU 11 1 lowlevel\r", "")
        .expect("MOV 1 0 300 100 5000 12 1 S\r", "_MOV\r");
    cli::HandleMOV(h.session, W({"MOV", "1", "ASPEN1", "4", "1", "300", "100", "5000"}), false);
    EXPECT_EQ(h.output(), "");
}

const std::vector<MoveCase> kOtherDriveCases = {
    {"EXT sends DIR as typed, torque factor 1",
     {"EXT", "1", "ASPEN1", "4", "1", "300", "100"},
     {{"STS 1\r", "_STP\r"}, {"EXT 1 1 300 100 0 12 1 S\r", "_EXT\r"}},
     "STATUS : USING EXTERNAL INPUT\n",
     0},
    {"EXT with TRQFR uses it (12.33 / sqrt 2 = 8.72)",
     {"EXT", "2", "ASPEN1", "4", "0", "300", "100", "2"},
     {{"STS 2\r", "_STP\r"}, {"EXT 2 0 300 100 0 8 1 S\r", "_EXT\r"}},
     "STATUS : USING EXTERNAL INPUT\n",
     0},
    {"EXT stops a module in external mode, 100 ms per stop; _MOV is not busy here",
     {"EXT", "1", "ASPEN1B", "4", "1", "300", "50"},
     {{"STS 1\r", "_EXT\r"},
      {"STP 1\r", "_EXT\r"},
      {"STP 1\r", "_MOV\r"},
      {"EXT 1 1 300 50 0 8 1 S\r", "_EXT\r"}},
     "STATUS : USING EXTERNAL INPUT\n",
     200},
    {"SDC sends its line twice, then one status line",
     {"SDC", "1", "512"},
     {{"STS 1\r", "_STP\r"},
      {"MOV 1 1 100 512 0 10 1 DC\r", "_MOV\r"},
      {"MOV 1 1 100 512 0 10 1 DC\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     0},
    {"SDC stops a moving module every 10 ms; _MDC is not busy here",
     {"SDC", "2", "0"},
     {{"STS 2\r", "_MOV\r"},
      {"STP 2\r", "_MDC\r"},
      {"MOV 2 1 100 0 0 10 1 DC\r", "_MOV\r"},
      {"MOV 2 1 100 0 0 10 1 DC\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     10},
    {"STP repeats while busy, 100 ms apart, then holds the counter",
     {"STP", "3"},
     {{"STP 3\r", "_MOV\r"}, {"STP 3\r", "_MDC\r"}, {"STP 3\r", "_STP\r"}, {"CSH 13 1 lowlevel\r", "_CSH\r"}},
     "STATUS : STOP\n",
     200},
    {"STP of an idle module",
     {"STP", "1"},
     {{"STP 1\r", "_STP\r"}, {"CSH 11 1 lowlevel\r", ""}},
     "STATUS : STOP\n",
     0},
};

TEST(DriveCommands, ExtSdcAndStpSendTheirLinesAndWaits) {
    for (const auto& c : kOtherDriveCases) {
        ToolHarness h;
        ScriptedLink link;
        Load(link, c.script);
        h.links.serve(cli::LinkKind::Ftdi, link);
        EXPECT_EQ(h.run(c.words), c.printed) << c.what;
        EXPECT_EQ(h.clock.elapsedMs(), c.elapsedMs) << c.what;
    }
}

// The pipe link empties its command buffer after each exchange: every repeated stop must be
// formatted again to go out as a line.
TEST(DriveCommands, RepeatedStopsAreRealLinesOnALinkThatEmptiesItsCommandBuffer) {
    HandlerHarness h;
    h.link.clearCommandAfterExchange = true;
    h.link.expect("STP 2 1 OEMC\r", "_MOV\r")
        .expect("STP 2 1 OEMC\r", "_STP\r")
        .expect("CSH 11 1 lowlevel\r", "");
    cli::StopWithEncoder(h.session, W({"OEMC", "2", "1", "ASPEN1", "4", "1", "300"}), false);
    h.link.expect("STS 1\r", "_MOV\r").expect("STP 1\r", "_STP\r");
    h.link.expect("MOV 1 1 100 5 0 10 1 DC\r", "_MOV\r").expect("MOV 1 1 100 5 0 10 1 DC\r", "_MOV\r");
    cli::HandleSDC(h.session, W({"SDC", "1", "5"}), true);
    EXPECT_EQ(h.output(), "STATUS : MOVE\n");
}

TEST(DriveCommands, StopLoopGivesUpButStillReportsAndHoldsTheCounter) {
    HandlerHarness h;
    const int stops = static_cast<int>(cli::kStopLoopBudgetMs / 100);
    h.link.expect("STP 5\r", "_MOV\r");
    for (int i = 0; i < stops; ++i) h.link.expect("STP 5\r", "_MOV\r");
    h.link.expect("CSH 15 1 lowlevel\r", "");
    cli::HandleSTP(h.session, W({"STP", "5"}), true);
    EXPECT_EQ(h.output(), "Module 5 is still busy after 300 stop requests; giving up\nSTATUS : MOVE\n");
    EXPECT_EQ(h.clock.elapsedMs(), stops * 100);
}

struct ExchangeCase {
    std::string what;
    std::vector<std::string> words;
    std::vector<ScriptStep> script;
    std::string printed;
};

const std::string kFailsafeHeader = "STATUS : STOP\nFAILSAFE STATE: ";

const std::vector<ExchangeCase> kExchangeCases = {
    {"STS of a missing module: no failsafe query",
     {"STS", "1"},
     {{"STS 1\r", "MNF\r"}},
     "STATUS : NOT FOUND\n"},
    {"STS of a moving module", {"STS", "2"}, {{"STS 2\r", "_MOV\r"}}, "STATUS : MOVE\n"},
    {"STS of a scanning module", {"STS", "2"}, {{"STS 2\r", "_MDC\r"}}, "STATUS : SCAN\n"},
    {"STS failsafe 0",
     {"STS", "3"},
     {{"STS 3\r", "_STP\r"}, {"GFS 3\r", "_GFS 0\r"}},
     kFailsafeHeader + "0x0\n"},
    {"STS failsafe 0x41",
     {"STS", "3"},
     {{"STS 3\r", "_STP\r"}, {"GFS 3\r", "_GFS 65\r"}},
     kFailsafeHeader + "0x41\n\n" + kUpperRail + kUpper10A},
    {"STS failsafe 0x100",
     {"STS", "3"},
     {{"STS 3\r", "_STP\r"}, {"GFS 3\r", "_GFS 256\r"}},
     kFailsafeHeader + "0x100\n" + kAllGood},
    {"STS failsafe past 32 bits is printed and judged as the largest int",
     {"STS", "3"},
     {{"STS 3\r", "_STP\r"}, {"GFS 3\r", "_GFS 4294967296\r"}},
     kFailsafeHeader + "0x7FFFFFFF\n\n" + kUpperRail + kLowerRail + kThermal + kUpper10A + kUpperSmall +
         kLower10A + kLowerSmall},
    {"STS failsafe after an error reply",
     {"STS", "4"},
     {{"STS 4\r", "CNR\r"}, {"GFS 4\r", "CNR\r"}},
     "STATUS : ERROR\nFAILSAFE STATE: 0x0\n"},
    {"STS with a link failure prints what the buffer holds and stops",
     {"STS", "1"},
     {{"STS 1\r", "_STP\r", 3}},
     "STATUS : STOP\n"},
    {"STS with a link failure and an empty buffer", {"STS", "1"}, {{"STS 1\r", "", 3}}, ""},
    {"STS with an empty reply after a good exchange", {"STS", "1"}, {{"STS 1\r", ""}}, "Unable to comply\n"},
    {"RFS accepted", {"RFS", "2"}, {{"RFS 2\r", "_RFS\r"}}, "Failsafe has been reset\n"},
    {"RFS refused", {"RFS", "2"}, {{"RFS 2\r", "CNR\r"}}, "Unable to comply\n"},
    {"RFS without a reply", {"RFS", "2"}, {{"RFS 2\r", "", 1}}, "Unable to comply\n"},
    {"FBP at 4 K, full step size", {"FBP", "1", "ASPEN1", "4"}, {{"FBP 1 12\r", "_FBP\r"}}, "_FBP\r\n"},
    {"FBP with TRQFR 2", {"FBP", "5", "ASPEN1B", "4", "2"}, {{"FBP 5 8\r", "_FBP 1\r"}}, "_FBP 1\r\n"},
    {"FBP with TRQFR 30 warns",
     {"FBP", "1", "ASPEN1", "4", "30"},
     {{"FBP 1 5\r", "CNR\r"}},
     "warning (3.12) : requested torque not available\nCNR\r\n"},
    {"FBM", {"FBM", "2", "1", "450"}, {{"FBM 2 1 450\r", "_FBM\r"}}, "_FBM\r\n"},
    {"FBS carries no address", {"FBS", "6"}, {{"FBS\r", "_FBS 3\r"}}, "_FBS 3\r\n"},
    {"FBX", {"FBX", "4"}, {{"FBX 4\r", "_FBX\r"}}, "_FBX\r\n"},
    {"FBX without a reply prints an empty line", {"FBX", "4"}, {{"FBX 4\r", "", 2}}, "\n"},
    {"DESC prints the version, then the channel count",
     {"DESC", "2"},
     {{"DESC 2\r", "_DESC 3 VMDM-2.14\r"}},
     "Version           : VMDM-2.14\nAvailable Channels: 3\n"},
    {"DESC refused", {"DESC", "2"}, {{"DESC 2\r", "MNF\r"}}, "Information not available\n"},
    {"INFO for ADDR 2 CH 3 reads channel 6",
     {"INFO", "2", "3"},
     {{"CLS 6\r", "_CLS 6 1 2 3 4 5 ASPEN1 X-AXIS 0\r"}},
     "STAGE\t:ASPEN1\nTAG\t:X-AXIS\n"},
    {"INFO for ADDR 6 CH 3 reads channel 18",
     {"INFO", "6", "3"},
     {{"CLS 18\r", "CNR\r"}},
     "STAGE\t:\nTAG\t:\n"},
    {"INFO with a short record prints empty fields",
     {"INFO", "1", "1"},
     {{"CLS 1\r", "_CLS 1 a b c d e\r"}},
     "STAGE\t:\nTAG\t:\n"},
};

TEST(DriveCommands, StatusResetExtendedModeAndDescriptors) {
    for (const auto& c : kExchangeCases) {
        ScriptedLink link;
        Load(link, c.script);
        EXPECT_EQ(RunTool(link, c.words), c.printed) << c.what;
    }
}

// SCM: start, poll every 100 ms until stopped (at most 100 polls), then read the load.
std::vector<ScriptStep> CapacitanceScript(int busyPolls, bool stops, const std::string& reading) {
    std::vector<ScriptStep> script{{"SCM 1 1\r", "_SCM\r"}};
    for (int i = 0; i < busyPolls; ++i) script.push_back({"STS 1\r", "_SCM\r"});
    if (stops) script.push_back({"STS 1\r", "_STP\r"});
    script.push_back({"RCV 1\r", reading});
    return script;
}

struct CapacitanceCase {
    std::string reading;
    std::string result;
};

const CapacitanceCase kCapacitanceCases[] = {
    {"_RCV 21\r", "Measured Capacitance: 21 [nF]\n"}, {"_RCV 4999\r", "Measured Capacitance: 4999 [nF]\n"},
    {"_RCV 20\r", "Unable to determine load\n"},      {"_RCV 5000\r", "Unable to determine load\n"},
    {"_RCV -300\r", "Unable to determine load\n"},    {"CNR\r", "Unable to determine load\n"},
};

TEST(Capacitance, ReadsTheLoadInsideTheOpenWindow) {
    for (const auto& c : kCapacitanceCases) {
        ToolHarness h;
        ScriptedLink link;
        Load(link, CapacitanceScript(2, true, c.reading));
        h.links.serve(cli::LinkKind::Ftdi, link);
        EXPECT_EQ(h.run({"SCM", "1"}), "Measuring Capacitance ...\r" + c.result) << c.reading;
        EXPECT_EQ(h.clock.elapsedMs(), 300);
    }
}

TEST(Capacitance, PollsAHundredTimesThenReadsAnyway) {
    HandlerHarness h;
    Load(h.link, CapacitanceScript(100, false, "_RCV 1000\r"));
    cli::HandleSCM(h.session, W({"SCM", "1"}));
    EXPECT_EQ(h.output(), "Measuring Capacitance ...\rMeasured Capacitance: 1000 [nF]\n");
    EXPECT_EQ(h.clock.elapsedMs(), 100 * 100);
}

TEST(Capacitance, LinkFailureOnStartIsSilent) {
    HandlerHarness h;
    h.link.expect("SCM 1 1\r", "", 1);
    cli::HandleSCM(h.session, W({"SCM", "1"}));
    EXPECT_EQ(h.output(), "");
}

// SAM: 64 rows of eight values, printed as index:value in hexadecimal, low 8 bits only.
TEST(Amplifier, PrintsTheSixtyFourRowTable) {
    HandlerHarness h;
    h.link.expect("SAM 2 1\r", "_SAM\r").expect("STS 2\r", "_SAM\r").expect("STS 2\r", "_STP\r");
    std::string expected = "Measuring Amplifier ...\rAmplifier Measurement\n";
    for (int row = 0; row < 64; ++row) {
        std::string reply = "_RAV";
        for (int k = 0; k < 8; ++k) {
            const int value = row == 1 ? 256 + 0x2C + k : row * 8 + k;  // row 1 checks the low 8 bits
            reply += " " + std::to_string(value);
            char pair[32];
            std::snprintf(pair, sizeof pair, "%X:%X\t", row * 8 + k, value & 0xFF);
            expected += pair;
        }
        expected += "\n";
        h.link.expect("RAV 2 " + std::to_string(row) + "\r", reply + "\r");
    }
    expected += "\n";
    cli::HandleSAM(h.session, W({"SAM", "2"}));
    const std::string out = h.output();
    EXPECT_EQ(out, expected);
    EXPECT_NE(out.find("\n8:2C\t9:2D\t"), std::string::npos);
    EXPECT_NE(out.find("\t1FF:FF\t\n\n"), std::string::npos);
    EXPECT_EQ(h.clock.elapsedMs(), 200);
}

TEST(Amplifier, SlotWithoutAmplifierPrintsOnlyThat) {
    for (const std::string reply : {"MNF\r", "CNR\r", "_SCM\r", ""}) {
        HandlerHarness h;
        h.link.expect("SAM 3 1\r", reply);
        cli::HandleSAM(h.session, W({"SAM", "3"}));
        EXPECT_EQ(h.output(), "No Amplifier found at specified adress...\n") << reply;
    }
}

TEST(Amplifier, MeasurementThatNeverFinishesReadsNoTable) {
    HandlerHarness h;
    h.link.expect("SAM 1 1\r", "_SAM\r");
    for (int i = 0; i < cli::kAmplifierPolls; ++i) h.link.expect("STS 1\r", "_SAM\r");
    cli::HandleSAM(h.session, W({"SAM", "1"}));
    EXPECT_EQ(h.output(), "Measuring Amplifier ...\rAmplifier measurement did not finish within 100 s\n");
    EXPECT_EQ(h.clock.elapsedMs(), 1000 * 100);
}

TEST(Amplifier, ShortRowsPrintZerosNotThePreviousRowsValues) {
    HandlerHarness h;
    h.link.expect("SAM 1 1\r", "_SAM\r").expect("STS 1\r", "_STP\r");
    h.link.expect("RAV 1 0\r", "_RAV 11 12 13 14 15 16 17 18\r");
    h.link.expect("RAV 1 1\r", "_RAV 1 2\r");
    for (int row = 2; row < 64; ++row) h.link.expect("RAV 1 " + std::to_string(row) + "\r", "_RAV 1 2 3");
    cli::HandleSAM(h.session, W({"SAM", "1"}));
    const std::string out = h.output();
    EXPECT_NE(out.find("\n8:1\t9:2\tA:0\tB:0\tC:0\tD:0\tE:0\tF:0\t\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n10:1\t11:2\t12:3\t13:0\t"), std::string::npos) << out;
}

// The encoder-coupled variants take the words of an OEMC command and address the encoder module
// in slot ADDR (index ADDR - 1, wire ADDR + 9).
struct EncoderCase {
    std::string what;
    std::vector<std::string> words;
    std::vector<ScriptStep> script;
    std::string printed;
    std::int64_t elapsedMs;
    bool sent;
};

const std::vector<EncoderCase> kEncoderMoveCases = {
    {"short form: step size 100, zero steps, no counter set-up",
     {"OEMC", "2", "1", "ASPEN1", "4", "1", "300"},
     {{"STS 2 1 OEMC\r", "_STP\r"}, {"MOV 2 0 300 100 0 12 1 S OEMC\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     5,
     true},
    {"long form with a profile name: pulses as step size, timeout as steps",
     // sqrt(3 * 2 * 200 * 0.152 / (6000 * 100)) * 1000 = 17.4
     {"OEMC", "3", "2", "PROFILE1", "4", "1", "300", "200", "30"},
     {{"STS 3 2 OEMC\r", "_MOV\r"},
      {"STP 3 2 OEMC\r", "_STP\r"},
      {"CSH 12 1 lowlevel\r", ""},
      {"CCU 12 2 lowlevel\r", ""},
      {"MOV 3 1 300 200 30 17 2 S OEMC\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     30,
     true},
    {"a profile name in the short form: PROFILE2 inverts",
     {"OEMC", "1", "3", "PROFILE2", "4", "0", "100"},
     {{"STS 1 3 OEMC\r", "_STP\r"}, {"MOV 1 1 100 100 0 12 3 S OEMC\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     5,
     true},
    {"pulse counts above 255 saturate the step size instead of wrapping to 0",
     // sqrt(3 * 2 * 255 * 0.152 / (6000 * 100)) * 1000 = 19.7
     {"OEMC", "2", "1", "PROFILE1", "4", "0", "300", "400", "5"},
     {{"STS 2 1 OEMC\r", "_STP\r"},
      {"CSH 11 1 lowlevel\r", ""},
      {"CCD 11 1 lowlevel\r", ""},
      {"MOV 2 0 300 400 5 19 1 S OEMC\r", "_MOV\r"}},
     "STATUS : MOVE\n",
     20,
     true},
    {"a word that names no profile sends nothing",
     {"OEMC", "2", "1", "NONE", "4", "1", "300"},
     {},
     "Unable to comply\n",
     0,
     false},
};

TEST(EncoderMove, SendsTheOemcLines) {
    for (const auto& c : kEncoderMoveCases) {
        HandlerHarness h;
        Load(h.link, c.script);
        EXPECT_EQ(cli::MoveWithEncoder(h.session, W(c.words), true), c.sent) << c.what;
        EXPECT_EQ(h.output(), c.printed) << c.what;
        EXPECT_EQ(h.clock.elapsedMs(), c.elapsedMs) << c.what;
    }
}

TEST(EncoderMove, StopRepeatsWhileBusyThenHoldsTheEncoderInSlotAddr) {
    HandlerHarness h;
    h.link.expect("STP 4 2 OEMC\r", "_MOV\r")
        .expect("STP 4 2 OEMC\r", "_STP\r")
        .expect("CSH 13 1 lowlevel\r", "");
    cli::StopWithEncoder(h.session, W({"OEMC", "4", "2", "PROFILE1", "4", "1", "300", "200", "30"}), false);
    EXPECT_EQ(h.output(), "");
    EXPECT_EQ(h.clock.elapsedMs(), 100);
}

TEST(EncoderMove, ProfileResolutionAcceptsStagesAndProfileNames) {
    cli::StageDriveRecord record;
    EXPECT_EQ(cli::ResolveDriveProfile("ASPEN1", record)->name, "PROFILE2");
    EXPECT_EQ(cli::ResolveDriveProfile("ELM1.X", record)->name, "PROFILE1");
    EXPECT_EQ(cli::ResolveDriveProfile("PROFILE3", record)->name, "PROFILE3");
    EXPECT_EQ(cli::ResolveDriveProfile("TESTDC", record)->waveform, "DC");
    EXPECT_FALSE(cli::ResolveDriveProfile("NONE  ", record));
    EXPECT_FALSE(cli::ResolveDriveProfile("profile1", record));
    EXPECT_FALSE(cli::ResolveDriveProfile("", record));
}

}  // namespace
}  // namespace vm::test
