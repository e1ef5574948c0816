#include <gtest/gtest.h>

#include "cli/app.h"
#include "cli/messages.h"
#include "tests/support/run_tool.h"

namespace {

using vm::cli::LinkKind;
using vm::test::RunTool;
using vm::test::RunToolWithoutDevice;
using vm::test::ScriptedLink;
using vm::test::ToolHarness;

std::string Usage() {
    vm::StringTextOut out;
    vm::cli::PrintMessage(out, 1000);
    return out.text();
}

std::string StageList() {
    vm::StringTextOut out;
    vm::cli::PrintMessage(out, 1001);
    return out.text();
}

const std::string kNotFound = "ERROR: DEVICE NOT FOUND\n";
const std::string kBanner =
    "------------------------------------------\n"
    "| Program running in Development Mode... |\n"
    "------------------------------------------\n\n";

TEST(Entry, UsageTextIsExact) {
    const std::string usage = Usage();
    EXPECT_EQ(usage.substr(0, 97),
              "Command line usage:\n@[DEV] [CMD] [ADDR] [CH] [TYPE] [TEMP] [DIR] [FREQ] [REL] [STEPS] "
              "[TRQFCTR]\n\n");
    EXPECT_NE(usage.find(" [REL  ] relative stepsize [%] 1 to 100 in integers\n"), std::string::npos);
    EXPECT_TRUE(
        usage.ends_with(" [TRQFR] -OPTIONAL- sets torque multiplication factor [] 1 to 30 in integers\n"
                        "\n Type /ver for version information\n"));
    EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 19);
}

TEST(Entry, NoWordsOrOnlyDevmodeOpenNothingAndPrintUsage) {
    for (const std::vector<std::string>& words : {std::vector<std::string>{}, {"DEVMODE"}}) {
        ToolHarness h;
        EXPECT_EQ(h.run(words), Usage());
        EXPECT_TRUE(h.links.requested().empty());
    }
}

TEST(Entry, UnknownWordTriesTheDefaultLinksThenPrintsUsage) {
    ToolHarness h;
    EXPECT_EQ(h.run({"XYZ"}), Usage());
    EXPECT_EQ(h.links.requested(), (std::vector<LinkKind>{LinkKind::Ftdi, LinkKind::Hid}));
}

TEST(Entry, DefaultLinkFallsBackToHid) {
    ToolHarness h;
    ScriptedLink hid({{"STS 1\r", "_STP\r"}});
    hid.allowLeftover = true;  // whatever the handler sends after the first line
    hid.answerEverything("_GFS 0\r");
    h.links.serve(LinkKind::Hid, hid);
    h.run({"STS", "1"});
    EXPECT_EQ(hid.opened(), std::vector<std::string>{"<default>"});
    EXPECT_EQ(hid.closeCount(), 1);
}

TEST(Entry, VersionAndStageListAreLocal) {
    const std::string version = "Version: VMCLI.6.0.20190715\n\n";
    EXPECT_EQ(RunToolWithoutDevice({"/ver"}), version);
    ScriptedLink link;
    EXPECT_EQ(RunTool(link, {"/ver"}), version);
    EXPECT_EQ(link.closeCount(), 0);  // handled locally: the link is never closed
    EXPECT_EQ(RunToolWithoutDevice({"/type"}), StageList() + kNotFound);
    EXPECT_TRUE(StageList().starts_with("List of stage types:\nASPEN1\nASPEN1-ENC\n"));
}

TEST(Entry, ValidCommandWithoutDevicePrintsNotFound) {
    EXPECT_EQ(RunToolWithoutDevice({"STS", "1"}), kNotFound);
    EXPECT_EQ(RunToolWithoutDevice({"/USB"}), kNotFound);
    // An invalid command prints only its validation message.
    EXPECT_EQ(RunToolWithoutDevice({"STS", "9"}), "err 1.3: Error in statement. Please check your input.\n");
}

TEST(Entry, SelectorWithThreeDotsTriesUsbThenLan) {
    ToolHarness h;
    ScriptedLink lan;
    h.links.serve(LinkKind::Lan, lan);
    h.run({"@12.34.56.78", "/USB"});
    EXPECT_EQ(h.links.requested(), (std::vector<LinkKind>{LinkKind::Ftdi, LinkKind::Hid, LinkKind::Lan}));
    EXPECT_EQ(lan.opened(), std::vector<std::string>{"12.34.56.78"});
    EXPECT_EQ(lan.listCount(), 0);  // nothing is bound to /USB over the LAN link
    EXPECT_EQ(lan.closeCount(), 1);
}

TEST(Entry, SelectorWithTwoDotsOpensNothing) {
    ToolHarness h;
    ScriptedLink lan;
    h.links.serve(LinkKind::Lan, lan);
    EXPECT_EQ(h.run({"@12.34.56", "STS", "1"}), kNotFound);
    EXPECT_EQ(h.links.requested(), (std::vector<LinkKind>{LinkKind::Ftdi, LinkKind::Hid}));
}

TEST(Entry, SelectorOpensUsbBySerialAndBindsTheListing) {
    ToolHarness h;
    ScriptedLink ftdi;
    h.links.serve(LinkKind::Ftdi, ftdi);
    EXPECT_EQ(h.run({"@FT12345", "/USB"}), "");
    EXPECT_EQ(ftdi.opened(), std::vector<std::string>{"FT12345"});
    EXPECT_EQ(ftdi.listCount(), 1);
    EXPECT_EQ(ftdi.closeCount(), 1);
}

TEST(Entry, PipeKeywordsAreExact) {
    struct Case {
        std::string word;
        bool serv, cmon;
        std::string name;
    };
    const Case cases[] = {
        {"SERV", true, false, "SamplePipe"},
        {"SERV:line1", true, false, "line1"},
        {"CMON:", false, true, ""},
        {"SERVER", false, false, "SamplePipe"},
        {"CMONX", false, false, "SamplePipe"},
        {"serv", false, false, "SamplePipe"},
        {"SERV:a:b", true, false, "a:b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vm::cli::IsModeKeyword(c.word, "SERV"), c.serv) << c.word;
        EXPECT_EQ(vm::cli::IsModeKeyword(c.word, "CMON"), c.cmon) << c.word;
        EXPECT_EQ(vm::cli::PipeNameOf(c.word).view(), c.name) << c.word;
    }
    const std::string longName(80, 'p');
    EXPECT_EQ(vm::cli::PipeNameOf("SERV:" + longName).view(), longName.substr(0, 50));
}

TEST(Entry, PipeSelectorOpensThePipeLinkByName) {
    ToolHarness h;
    ScriptedLink pipe;
    h.links.serve(LinkKind::Pipe, pipe);
    h.run({"@SERV:line1", "/USB"});
    EXPECT_EQ(pipe.opened(), std::vector<std::string>{"line1"});
    EXPECT_EQ(pipe.listCount(), 0);
    EXPECT_EQ(pipe.closeCount(), 1);
    EXPECT_EQ(h.links.requested(), std::vector<LinkKind>{LinkKind::Pipe});
    // SERVER is an ordinary serial number.
    ToolHarness other;
    other.run({"@SERVER", "/ver"});
    EXPECT_EQ(other.links.requested(), (std::vector<LinkKind>{LinkKind::Ftdi, LinkKind::Hid}));
}

TEST(Entry, DevelopmentModeBannerEndsARunOnAnOpenLink) {
    ScriptedLink link;
    EXPECT_EQ(RunTool(link, {"DEVMODE", "/USB"}), kBanner);
    EXPECT_EQ(link.listCount(), 1);
}

}  // namespace
