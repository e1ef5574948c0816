#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/modules_network.h"
#include "tests/support/run_tool.h"

namespace vm::test {
namespace {

const std::string kScanLine = "STATUS : INQUIRY OF INSTALLED MODULES \n";
const std::string kDrive = "Vellumotor Driver Module (VMDM)\tADR:";
const std::string kEncoder = "Optical Encoder Module      (OEM )\tADR:";
const std::string kSensor = "Resistive Sensor Module     (RSM )\tADR:";

struct ListCase {
    std::string what;
    std::string reply;
    std::string printed;
};

const ListCase kListCases[] = {
    {"A, one unused character, C O R and three others", "_SCN A-CORxyz\r",
     kScanLine + "Configuration:A\nSLOT 1 : " + kDrive + "1\nSLOT 2 : " + kEncoder +
         "2\nSLOT 3 : " + kSensor + "3\nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n"},
    {"full rack, kinds in any slot", "_SCN BxRCOCOC\r",
     kScanLine + "Configuration:B\nSLOT 1 : " + kSensor + "1\nSLOT 2 : " + kDrive + "2\nSLOT 3 : " +
         kEncoder + "3\nSLOT 4 : " + kDrive + "4\nSLOT 5 : " + kEncoder + "5\nSLOT 6 : " + kDrive + "6\n"},
    {"lower-case letters are empty slots", "_SCN Axcor000\r",
     kScanLine + "Configuration:A\nSLOT 1 :  \nSLOT 2 :  \nSLOT 3 :  \nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n"},
    {"a short map leaves the missing slots empty", "_SCN A-CO\r",
     kScanLine + "Configuration:A\nSLOT 1 : " + kDrive + "1\nSLOT 2 : " + kEncoder +
         "2\nSLOT 3 :  \nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n"},
    {"a map of one character", "_SCN Z\r",
     kScanLine + "Configuration:Z\nSLOT 1 :  \nSLOT 2 :  \nSLOT 3 :  \nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n"},
    {"no map", "_SCN\r",
     kScanLine + "Configuration:\nSLOT 1 :  \nSLOT 2 :  \nSLOT 3 :  \nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n"},
    {"a refused scan still prints the slot lines", "CNR\r",
     "STATUS : ERROR\nConfiguration:\nSLOT 1 :  \nSLOT 2 :  \nSLOT 3 :  \nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  "
     "\n"},
    {"no reply at all", "",
     "Configuration:\nSLOT 1 :  \nSLOT 2 :  \nSLOT 3 :  \nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n"},
    {"a LAN reply without carriage return", "_SCN A-CCC",
     kScanLine + "Configuration:A\nSLOT 1 : " + kDrive + "1\nSLOT 2 : " + kDrive + "2\nSLOT 3 : " + kDrive +
         "3\nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n"},
};

TEST(ModuleList, PrintsConfigurationAndSixSlots) {
    for (const auto& c : kListCases) {
        ScriptedLink link({{"SCN\r", c.reply}});
        EXPECT_EQ(RunTool(link, {"modlist"}), c.printed) << c.what;
    }
}

TEST(ModuleList, OneTokenReplyIgnoresAnOlderReplysMap) {
    HandlerHarness h;
    h.session.tokens().Tokenize("_SCN A-CCCCCC");
    h.link.expect("SCN\r", "_SCN");
    cli::HandleModlist(h.session, cli::Words({"vmcli", "modlist"}));
    EXPECT_EQ(h.output(),
              kScanLine +
                  "Configuration:\nSLOT 1 :  \nSLOT 2 :  \nSLOT 3 :  \nSLOT 4 :  \nSLOT 5 :  \nSLOT 6 :  \n");
}

struct NetworkCase {
    std::vector<std::string> words;
    std::string line;
    std::string reply;
    std::string printed;
};

const NetworkCase kNetworkCases[] = {
    {{"SUD", "LAB-RACK-2"}, "SUD LAB-RACK-2\r", "_SUD\r", "_SUD \n"},
    {{"SUD", "x"}, "SUD x\r", "CNR\r", "CNR \n"},
    {{"SUD", "x"}, "SUD x\r", "", " \n"},
    {{"FIV", "12"}, "FIV 12\r", "_FIV 2.07\r", "Firmware Version: 2.07 \n"},
    {{"FIV", "007"}, "FIV 007\r", "MNF\r", "Firmware Version:  \n"},
    {{"FIV", "abc"}, "FIV abc\r", "_FIV 1.0 beta\r", "Firmware Version: 1.0 \n"},
    {{"IPR"},
     "IPR\r",
     "_IPR 0 192 168 1 10 255 255 255 0 192 168 1 1\r",
     " -- _IPR 0 192 168 1 10 255 255 255 0 192 168 1 1\r "},
    {{"IPR"}, "IPR\r", "_IPR 1 10 0 0 2 255 0 0 0 10 0 0 1", " -- _IPR 1 10 0 0 2 255 0 0 0 10 0 0 1 "},
    {{"IPR"}, "IPR\r", "", " --  "},
};

TEST(Network, SudFivAndIprPrintTheirReply) {
    for (const auto& c : kNetworkCases) {
        ScriptedLink link({{c.line, c.reply}});
        EXPECT_EQ(RunTool(link, c.words), c.printed) << Join(c.words);
    }
}

}  // namespace
}  // namespace vm::test
