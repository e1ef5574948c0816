#include <gtest/gtest.h>

#include "cli/validator.h"
#include "tests/support/run_tool.h"

namespace {

using vm::test::Join;
using vm::test::RunTool;
using vm::test::ScriptedLink;

struct ValidationCase {
    std::vector<std::string> words;
    std::string output;
};

const std::string k103 = "err 1.3: Error in statement. Please check your input.\n";
const std::string k104 = "err 1.4: Stage name invalid\n";
const std::string k105 = "err 1.5: This stage requires the axis to be defined (STAGE.AXIS).\n";

// A wrong argument count for every row of the count table. Twenty arguments fit no form, so only
// the count message prints.
const std::pair<std::string, std::string> kCountMessages[] = {
    {"MOV",
     "err 3.1 - arguments should be: \nMOV [ADDR] [STAGE] [TEMP] [DIR] [FREQ] [REL] [STEPS] [TRQFR]\n"},
    {"STP", "err 3.02 - arguments should be: STP [ADDR]\n"},
    {"STS", "err 3.03 - arguments should be: STS [ADDR]\n"},
    {"EXT", "err 3.04 - arguments should be: EXT [ADDR] [STAGE] [TEMP] [DIR] [FREQ] [REL] [TRQFR]\n"},
    {"SCM", "err 3.05 - arguments should be: SCM [ADDR] \n"},
    {"SAM", "err 3.06 - arguments should be: SAM [ADDR] \n"},
    {"RFS", "err 3.07 - arguments should be: RFS [ADDR]\n"},
    {"FBP", "err 3.08 - arguments should be: FBP [ADDR] [STAGE] [TEMP] [TRQFR] \n"},
    {"FBM", "err 3.09 - arguments should be: FBM [ADDR] [DIR] [FREQ]\n"},
    {"FBS", "err 3.10 - arguments should be: FBS [ADDR] \n"},
    {"FBX", "err 3.11 - arguments should be: FBX [ADDR] \n"},
    {"DESC", "err 3.15 - arguments should be: DESC [ADDR] \n"},
    {"SDC", "err 3.16 - arguments should be: SDC [ADDR] [VALUE]\n"},
    {"POS", "err 4.01 - arguments should be: POS [ADDR] [CH]\n"},
    {"RST", "err 4.02 - arguments should be: RST [ADDR] [CH]\n"},
    {"SLD", "err 4.03 - arguments should be: SLD [ADDR] [DC]\n"},
    {"OEMC",
     "err 4.04 - arguments should be: OEMC [ADDR] [CH] [STAGE] [TEMP] [DIR] [FREQ] [REQ PULSES] [TIMEOUT]\n"},
    {"DSG", "err 4.05 - arguments should be: DSG/DSH/DSL [ADDR] [CH] [VALUE]\n"},
    {"DSH", "err 4.05 - arguments should be: DSG/DSH/DSL [ADDR] [CH] [VALUE]\n"},
    {"DSL", "err 4.05 - arguments should be: DSG/DSH/DSL [ADDR] [CH] [VALUE]\n"},
    {"MLS", "err 4.06 - arguments should be: MLS/MSS [ADDR] [CH]\n"},
    {"MSS", "err 4.06 - arguments should be: MLS/MSS [ADDR] [CH]\n"},
    {"CAL", "err 4.07 - arguments should be: CAL [ADDR] [CH]\n"},
    {"CAS", "err 4.08 - arguments should be: CAS [ADDR]\n"},
    {"CCT", "err 4.09 - arguments should be: CCT [ADDR]\n"},
    {"CRP", "err 4.10 - arguments should be: CRP [ADDR]\n"},
    {"CCU", "err 4.11 - arguments should be: CCU [ADDR] [CH]\n"},
    {"CCD", "err 4.12 - arguments should be: CCD [ADDR] [CH]\n"},
    {"CSH", "err 4.13 - arguments should be: CSH [ADDR] [CH]\n"},
    {"POSA", "err 4.14 - arguments should be: POSA [ADDR]\n"},
    {"INFO", "err 5.01 - arguments should be: INFO [ADDR] [CH]\n"},
    {"FBEN",
     "err 5.02 - arguments should be: FBEN [STAGE] [CLEAR] [STAGE] [CLEAR] [STAGE] [CLEAR] [TEMP] [TRQFR]\n"},
    {"FBXT", "err 5.03 - arguments should be: FBXT\n"},
    {"FBCS", "err 5.04 - arguments should be: FBCS [SP1] [ABS] [SP2] [ABS] [SP3] [ABS]\n"},
    {"FBFE", "err 5.05 - arguments should be: FBFE [DIR] [FILTER] [ZERO]\n"},
    {"FBES", "err 5.06 - arguments should be: FBES\n"},
    {"FBST", "err 5.07 - arguments should be: FBST\n"},
    {"modlist", "err 5.08 - arguments should be: modlist\n"},
    {"FU", "err 5.09 - arguments should be: FU [ADDR] [FILENAME]\n"},
    {"FIV", "err 5.10 - arguments should be: FIV [ADDR]\n"},
    {"SUD", "err 5.11 - arguments should be: SUD [DESCRIPTOR]\n"},
    {"IPR", "err 5.12 - arguments should be: IPR\n"},
    {"FBENX",
     "err 5.13 - arguments should be: FBEN [STAGE] [TOL] [CLEAR] [STAGE] [TOL] [CLEAR] [STAGE] [TOL] [CLEAR] "
     "[TEMP] [TRQFR]\n"},
    {"PGV", "err 6.01 - arguments should be: PGV [ADDR] [CH] [STAGE]\n"},
    {"PGVA", "err 6.02 - arguments should be: PGVA [ADDR] [STAGE] [STAGE] [STAGE]\n"},
    {"EXS", "err 6.03 - arguments should be: EXS [ADDR] [DUTY]\n"},
    {"EXR", "err 6.04 - arguments should be: EXR [ADDR]\n"},
    {"MIS", "err 6.05 - arguments should be: MIS [ADDR] [CH]\n"},
    {"MAS", "err 6.06 - arguments should be: MAS [ADDR] [CH]\n"},
    {"MIR", "err 6.07 - arguments should be: MIR [ADDR] [CH] [STAGE]\n"},
    {"MAR", "err 6.08 - arguments should be: MAR [ADDR] [CH] [STAGE]\n"},
    {"MMR", "err 6.09 - arguments should be: MMR [ADDR] [CH]\n"},
    {"SKS", "err 6.10 - arguments should be: SKS [ADDR] [CH] [VALUE]\n"},
    {"SKR", "err 6.11 - arguments should be: SKR [ADDR] [CH]\n"},
    {"HFM", "err 6.12 - arguments should be: HFM [ADDR] [CH] [STAGE]\n"},
    {"RSS", "err 6.13 - arguments should be: RSS [ADDR]\n"},
    {"INF", "err 6.14 - arguments should be: INF [ADDR] [STAGE] [STAGE] [STAGE]\n"},
};

TEST(Validator, EveryCountRowPrintsItsMessageAndSendsNothing) {
    for (const auto& [command, message] : kCountMessages) {
        ScriptedLink link;  // any line sent fails the test
        std::vector<std::string> words{command};
        words.resize(21, "1");
        EXPECT_EQ(RunTool(link, words), message) << command;
        EXPECT_EQ(link.closeCount(), 0) << command;
    }
}

const ValidationCase kRangeCases[] = {
    // Single-address forms.
    {{"STS", "9"}, k103},
    {{"SAM", "0"}, k103},
    {{"DESC", "7"}, k103},
    {{"STP", "x"}, k103},  // not a number reads as 0
    // Address and channel.
    {{"POS", "1", "4"}, k103},
    {{"INFO", "7", "1"}, k103},
    // Stage words: unknown, then axis-less; a numeric failure skips the stage check.
    {{"PGV", "1", "1", "OAK"}, k104},
    {{"MIR", "1", "1", "ELM1-POT"}, k105},
    {{"PGVA", "1", "ELM1.X", "ELM1", "OAK"}, k104},
    {{"INF", "1", "ELM1.X", "ELM1", "ELM1.Y"}, k105},
    {{"MOV", "0", "OAK", "4", "1", "100", "50", "10"}, k103},
    {{"MOV", "1", "ELM1", "4", "1", "100", "50", "10"}, k105},
    // Move fields.
    {{"MOV", "1", "ASPEN1", "301", "1", "100", "50", "10"}, k103},
    {{"MOV", "1", "ASPEN1", "-1", "1", "100", "50", "10"}, k103},
    {{"MOV", "1", "ASPEN1", "4", "2", "100", "50", "10"}, k103},
    {{"MOV", "1", "ASPEN1", "4", "1", "700", "50", "10"}, k103},
    {{"MOV", "1", "ASPEN1", "4", "1", "0", "50", "10"}, k103},
    {{"MOV", "1", "ASPEN1", "4", "1", "100", "101", "10"}, k103},
    {{"MOV", "1", "ASPEN1", "4", "1", "100", "0", "10"}, k103},
    {{"MOV", "1", "ASPEN1", "4", "1", "100", "50", "50001"}, k103},
    {{"MOV", "1", "ASPEN1", "4", "1", "100", "50", "10", "31"}, k103},
    {{"EXT", "1", "ASPEN1", "4", "1", "601", "50"}, k103},
    {{"EXT", "1", "ASPEN1", "4", "1", "100", "50", "0"}, k103},
    {{"SDC", "1", "1024"}, k103},
    {{"FBP", "1", "ASPEN1", "0"}, k103},
    {{"FBP", "1", "ASPEN1", "300", "31"}, k103},
    {{"FBM", "1", "1", "601"}, k103},
    {{"SLD", "1", "1"}, k103},
    {{"SLD", "1", "1001"}, k103},
    // Encoder calibration: the third word is a stage word or a profile name; the long form tests
    // it before the numbers.
    {{"OEMC", "1", "1", "ASPEN1", "4", "1", "0"}, k103},
    {{"OEMC", "1", "1", "OAK", "4", "1", "100"}, k104},
    {{"OEMC", "9", "1", "ASPEN1", "4", "1", "100", "200", "10"}, k103},
    {{"OEMC", "1", "1", "PROFILE1", "4", "1", "100", "99", "10"}, k103},
    {{"OEMC", "1", "1", "PROFILE1", "4", "1", "100", "200", "121"}, k103},
    {{"DSG", "1", "2", "300"}, k103},
    {{"DSL", "1", "2", "-1"}, k103},
    {{"EXS", "1", "5"}, k103},
    {{"EXS", "1", "101"}, k103},
    {{"SKS", "1", "1", "25"}, k103},
    // Closed loop: reals, flags and the three stage words after the numbers.
    {{"FBEN", "ASPEN1", "1.5", "ASPEN1", "0", "ASPEN1", "0", "4"}, k103},
    {{"FBEN", "ASPEN1", "0.5", "OAK", "0", "ELM1", "0", "4"}, k104},
    {{"FBEN", "ASPEN1", "0.5", "ELM1", "0", "ASPEN1", "0", "4", "31"}, k103},
    {{"FBENX", "ASPEN1", "-0.1", "0", "ASPEN1", "0", "0", "ASPEN1", "0", "0", "4"}, k103},
    {{"FBENX", "ELM1", "0.1", "0", "ASPEN1", "0", "0", "ASPEN1", "0", "0", "4"}, k105},
    {{"FBCS", "-1.5", "0", "0", "0", "0", "0"}, k103},
    {{"FBCS", "0", "2", "0", "0", "0", "0"}, k103},
    {{"FBFE", "1", "21", "0"}, k103},
    {{"FBFE", "2", "1", "0"}, k103},
    {{"FBFE", "1", "1", "2"}, k103},
    // Count failures of development-mode forms still get their range checks.
    {{"FBEN", "ASPEN1", "0", "0", "ASPEN1", "0", "0", "ASPEN1", "0", "0", "4"},
     "err 5.02 - arguments should be: FBEN [STAGE] [CLEAR] [STAGE] [CLEAR] [STAGE] [CLEAR] [TEMP] [TRQFR]\n"},
    {{"FBEN", "OAK", "0", "0", "ASPEN1", "0", "0", "ASPEN1", "0", "0", "4"},
     "err 5.02 - arguments should be: FBEN [STAGE] [CLEAR] [STAGE] [CLEAR] [STAGE] [CLEAR] [TEMP] [TRQFR]\n" +
         k104},
    {{"EXS", "1", "30001", "50"}, "err 6.03 - arguments should be: EXS [ADDR] [DUTY]\n" + k103},
    {{"FBCS", "0", "0", "0", "0"},
     "err 5.04 - arguments should be: FBCS [SP1] [ABS] [SP2] [ABS] [SP3] [ABS]\n"},
    {{"STP"}, "err 3.02 - arguments should be: STP [ADDR]\n"},
};

TEST(Validator, RangeFailuresPrintOneMessagePerFormAndSendNothing) {
    for (const auto& c : kRangeCases) {
        ScriptedLink link;
        EXPECT_EQ(RunTool(link, c.words), c.output) << Join(c.words);
        EXPECT_TRUE(link.sent().empty()) << Join(c.words);
    }
}

const ValidationCase kDevelopmentCases[] = {
    {{"DEVMODE", "EXS", "1"}, "err 6.03 - arguments should be: DEVMODE EXS [ADDR] [FREQ] [DUTY]\n"},
    {{"DEVMODE", "FBEN", "ASPEN1"},
     "err 5.02 - arguments should be: DEVMODE FBEN [STAGE] [SCAN] [CLEAR] [STAGE] [SCAN] [CLEAR] [STAGE] "
     "[SCAN] "
     "[CLEAR] [TEMP] [TRQFR]\n"},
    {{"DEVMODE", "MOV", "1", "ASPEN1", "4", "1", "2001", "50", "10"}, k103},
    {{"DEVMODE", "FBEN", "ASPEN1", "2", "0", "ASPEN1", "0", "0", "ASPEN1", "0", "0", "4"}, k103},
};

TEST(Validator, DevelopmentModeWidensFormsAndMessages) {
    for (const auto& c : kDevelopmentCases) {
        ScriptedLink link;
        EXPECT_EQ(RunTool(link, c.words), c.output) << Join(c.words);
    }
}

TEST(Validator, AcceptedFormsPassWithoutAMessage) {
    const std::vector<std::string> accepted[] = {
        {"CAL", "1", "1"},
        {"EXS", "1", "0"},
        {"EXS", "1", "10"},
        {"FBM", "1", "0", "0"},
        {"MOV", "6", "ELM1.X", "0", "0", "600", "100", "0", "30"},
        {"OEMC", "1", "1", "PROFILE3", "0", "0", "600", "400", "5"},
        {"OEMC", "1", "1", "PROFILE1", "4", "1", "100"},
        {"FBCS", "-1", "1", "1", "0", "0.5", "1"},
        {"FBEN", "ASPEN1", "1", "ELM1.Z", "0", "TESTPROFILE", "0.5", "300"},
        {"SLD", "1", "2"},
        {"FBFE", "0", "20", "1"},
        {"FU", "1", "image.bin"},
        {"/USB"},
        {"/type", "extra"},
    };
    for (const auto& words : accepted) {
        std::vector<std::string> full{"vmcli"};
        full.insert(full.end(), words.begin(), words.end());
        vm::StringTextOut out;
        EXPECT_EQ(vm::cli::ValidateArguments(out, vm::cli::Words(full), false), 0) << Join(words);
        EXPECT_EQ(out.text(), "") << Join(words);
    }
}

// A development-mode word outside development mode passes validation but runs nothing; the link
// is still closed.
TEST(Validator, DevelopmentWordOutsideDevelopmentModeSendsNothingAndCloses) {
    ScriptedLink link;
    EXPECT_EQ(RunTool(link, {"CAL", "1", "1"}), "");
    EXPECT_TRUE(link.sent().empty());
    EXPECT_EQ(link.closeCount(), 1);
}

}  // namespace
