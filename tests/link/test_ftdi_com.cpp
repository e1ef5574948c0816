#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/ftdi_com.h"
#include "tests/support/fake_ftdi.h"

namespace vm::test {
namespace {

const std::string kDescription(kFtdiDescription);

// A bridge link over the fake driver, with its own clock and output.
struct FtdiRig {
    explicit FtdiRig(const LinkSettings& settings = LinkSettings::commandLine())
        : context{settings, clock, out} {}

    FakeBridge& addController(const std::string& serial, std::string reply) {
        return driver->addBridge(serial, kDescription, [reply](std::string_view) { return reply; });
    }
    int exchange(std::string_view command) {
        link.command().assign(command);
        return link.Exchange();
    }

    VirtualClock clock;
    StringTextOut out;
    std::shared_ptr<FakeFtdiDriver> driver = std::make_shared<FakeFtdiDriver>(clock);
    LinkContext context;
    FTDI_COM link{context, driver};
};

const LinkSettings& Cli() { return LinkSettings::commandLine(); }
const LinkSettings& Desktop() { return LinkSettings::desktop(); }

struct ExchangeCase {
    const char* what;
    const LinkSettings& (*settings)();
    std::string reply;  // what the controller answers to every line
    std::vector<FtdiFault> faults;
    std::size_t writes;
    int result;
    std::string replyBuffer;
    std::int64_t elapsedMs;
};

const FtdiFault kPieces{FtdiDelivery::TwoPieces, 2, 0};
const FtdiFault kTwoLines{FtdiDelivery::TwoLines};
const FtdiFault kNever{FtdiDelivery::Never};
const FtdiFault kWriteFails{FtdiDelivery::WriteFails};
FtdiFault Late(std::uint32_t ms) { return {FtdiDelivery::Late, 0, ms}; }
std::vector<FtdiFault> Times(int n, FtdiFault f) {
    return std::vector<FtdiFault>(static_cast<std::size_t>(n), f);
}

const ExchangeCase kExchangeCases[] = {
    {"ack complete at once (tool)", Cli, "_MOV\r", {}, 1, 0, "_MOV\r", 1},
    {"ack complete at once (desktop)", Desktop, "_MOV\r", {}, 1, 0, "_MOV\r", 1},
    {"MNF is incomplete for the tool: 5 writes", Cli, "MNF\r", {}, 5, 0, "MNF\r", 5},
    {"MNF is complete for the desktop", Desktop, "MNF\r", {}, 1, 0, "MNF\r", 1},
    {"CNR is incomplete in both (desktop: 10 writes)", Desktop, "CNR\r", {}, 10, 0, "CNR\r", 10},
    {"no carriage return: every attempt", Cli, "_MOV", {}, 5, 0, "_MOV", 5},
    // "_M", then "OV\r" with the second attempt's "_MOV\r" behind it; the third attempt reads
    // the second attempt's reply.
    {"two pieces (tool)", Cli, "_MOV\r", {kPieces}, 3, 0, "_MOV\r", 4},
    {"two pieces (desktop)", Desktop, "_MOV\r", {kPieces}, 3, 0, "_MOV\r", 4},
    {"two lines at once repeat", Cli, "_MOV\r", {kTwoLines}, 2, 0, "_MOV\r", 2},
    // The first wait ends empty at 1000 ms; the command is written again and the late first
    // reply completes the second attempt.
    {"late reply (tool)", Cli, "_MOV\r", {Late(1500)}, 2, 0, "_MOV\r", 1500},
    {"late reply (desktop)", Desktop, "_MOV\r", {Late(300)}, 2, 0, "_MOV\r", 300},
    {"never answered (tool)", Cli, "_MOV\r", Times(5, kNever), 5, 0, "", 5000},
    {"never answered (desktop)", Desktop, "_MOV\r", Times(10, kNever), 10, 0, "", 2000},
    {"write fails (tool)", Cli, "_MOV\r", Times(5, kWriteFails), 5, 1, "", 0},
    {"write fails (desktop)", Desktop, "_MOV\r", Times(10, kWriteFails), 10, 1, "", 0},
    {"write fails once, then succeeds", Cli, "_MOV\r", {kWriteFails}, 2, 0, "_MOV\r", 1},
    {"last attempt decides the result", Cli, "_MOV", {{}, {}, {}, {}, kWriteFails}, 5, 1, "", 4},
};

TEST(FtdiExchange, CompletenessAttemptsAndWaitsPerProgram) {
    for (const ExchangeCase& c : kExchangeCases) {
        FtdiRig rig(c.settings());
        FakeBridge& bridge = rig.addController("VM000001", c.reply);
        bridge.faults.assign(c.faults.begin(), c.faults.end());
        ASSERT_TRUE(rig.link.OpenDefault()) << c.what;
        EXPECT_EQ(rig.exchange("MOV 1 0 300 100 5000 12 1 S\r"), c.result) << c.what;
        EXPECT_EQ(bridge.writes, std::vector<std::string>(c.writes, "MOV 1 0 300 100 5000 12 1 S\r"))
            << c.what;
        EXPECT_EQ(rig.link.reply().str(), c.replyBuffer) << c.what;
        EXPECT_EQ(rig.clock.elapsedMs(), c.elapsedMs) << c.what;
    }
}

TEST(FtdiExchange, ReadNeverFillsPastTheTerminator) {
    LinkSettings once = LinkSettings::commandLine();
    once.ftdiAttempts = 1;
    FtdiRig rig(once);
    FakeBridge& bridge = rig.addController("VM000001", "_" + std::string(248, 'A') + "\r");
    ASSERT_TRUE(rig.link.OpenDefault());
    EXPECT_EQ(rig.exchange("INF\r"), 0);
    EXPECT_EQ(rig.link.reply().str(), "_" + std::string(198, 'A'));
    EXPECT_EQ(bridge.received.size(), 51u);  // the rest stays in the driver
}

TEST(FtdiExchange, UnopenedOrClosedLinkFailsWithoutWriting) {
    FtdiRig rig;
    FakeBridge& bridge = rig.addController("VM000001", "_STS\r");
    rig.link.reply().assign("stale");
    EXPECT_EQ(rig.exchange("STS 1\r"), 1);
    EXPECT_EQ(rig.link.reply().str(), "");

    ASSERT_TRUE(rig.link.OpenDefault());
    rig.link.Close();
    EXPECT_FALSE(rig.link.isOpen());
    EXPECT_EQ(rig.exchange("STS 1\r"), 1);
    EXPECT_TRUE(bridge.writes.empty());
    EXPECT_EQ(rig.clock.elapsedMs(), 0);
}

TEST(FtdiOpen, ConfiguresTheLineAfterEveryOpen) {
    FtdiRig rig;
    FakeBridge& bridge = rig.addController("VM000001", "_STS\r");
    ASSERT_TRUE(rig.link.Open("VM000001"));
    const std::vector<std::string> configuration = {
        "SetDataCharacteristics 8 0 0", "SetTimeouts 1000 1000",  "SetBaudRate 1250000", "Purge 3",
        "SetChars 13 1 126 0",          "SetEventNotification 1",
    };
    EXPECT_EQ(bridge.calls, configuration);
    rig.link.Close();
    EXPECT_EQ(bridge.calls.back(), "Close");
    EXPECT_FALSE(bridge.open);
}

TEST(FtdiOpen, ChoosesTheBridgeByDescriptionOrSerialNumber) {
    struct Case {
        const char* what;
        std::string name;  // empty: OpenDefault
        bool opened;
        int bridge;  // index of the bridge that opened
    };
    const Case cases[] = {
        {"default skips other descriptions", "", true, 1},
        {"serial number", "VM000002", true, 2},
        {"a leading @ is dropped", "@VM000002", true, 2},
        {"unknown serial number", "VM999999", false, -1},
        {"a bridge of another description opens by serial", "FT000000", true, 0},
        {"held by another process", "VM000003", false, -1},
        {"empty serial number", "@", false, -1},
    };
    for (const Case& c : cases) {
        FtdiRig rig;
        rig.driver->addBridge("FT000000", "USB Serial Converter");
        rig.addController("VM000001", "_STS\r");
        rig.addController("VM000002", "_STS\r");
        rig.addController("VM000003", "_STS\r").heldElsewhere = true;
        const bool opened = c.name.empty() ? rig.link.OpenDefault() : rig.link.Open(c.name);
        EXPECT_EQ(opened, c.opened) << c.what;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(rig.driver->bridge(static_cast<std::size_t>(i)).open, i == c.bridge)
                << c.what << " bridge " << i;
    }
}

TEST(FtdiOpen, DestroyingAnOpenLinkClosesTheBridge) {
    VirtualClock clock;
    StringTextOut out;
    auto driver = std::make_shared<FakeFtdiDriver>(clock);
    FakeBridge& bridge = driver->addBridge("VM000001", kDescription);
    const LinkContext context{LinkSettings::commandLine(), clock, out};
    {
        FTDI_COM link(context, driver);
        ASSERT_TRUE(link.OpenDefault());
        EXPECT_TRUE(bridge.open);
    }
    EXPECT_FALSE(bridge.open);
    // The bridge can be opened again once released (the desktop program's hand-over relies on
    // the other side failing only while it is held).
    FTDI_COM again(context, driver);
    EXPECT_TRUE(again.Open("VM000001"));
}

struct ListCase {
    const char* what;
    const LinkSettings& (*settings)();
    std::vector<std::string> descriptions;  // bridge i has serial "SN" + i
    bool failGet;
    std::string output;
    int result;
    std::vector<std::string> table;  // device-table entries expected from entry 0
};

const std::string kOther = "USB Serial Converter";
const std::string kHeader = "List of available devices:\n";

const ListCase kListCases[] = {
    {"tool prints matches with their index in the whole list",
     Cli,
     {kOther, kDescription, kDescription},
     false,
     kHeader + "\t1) Vellumotor Control System (SN1)\n\t2) Vellumotor Control System (SN2)\n",
     1,
     {"", ""}},
    {"tool: no match still returns 1", Cli, {kOther}, false, kHeader, 1, {""}},
    {"tool: no bridge, nothing printed", Cli, {}, false, "", 0, {""}},
    {"tool: list not filled", Cli, {kDescription}, true, kHeader, 1, {""}},
    {"desktop fills the table silently",
     Desktop,
     {kOther, kDescription, kDescription},
     false,
     kHeader,
     1,
     {"SN1", "SN2", ""}},
    {"desktop: no match", Desktop, {kOther}, false, kHeader, 0, {""}},
    {"desktop: no bridge", Desktop, {}, false, "", 0, {""}},
    {"desktop: list not filled", Desktop, {kDescription}, true, kHeader, 0, {""}},
    {"desktop: more matches than table entries",
     Desktop,
     std::vector<std::string>(12, kDescription),
     false,
     kHeader,
     1,
     {"SN0", "SN1", "SN2", "SN3", "SN4", "SN5", "SN6", "SN7", "SN8", "SN9"}},
};

TEST(FtdiList, OutputResultAndDeviceTablePerProgram) {
    for (const ListCase& c : kListCases) {
        FtdiRig rig(c.settings());
        for (std::size_t i = 0; i < c.descriptions.size(); ++i)
            rig.driver->addBridge("SN" + std::to_string(i), c.descriptions[i]);
        rig.driver->failGetList = c.failGet;
        EXPECT_EQ(rig.link.ListDevices(), c.result) << c.what;
        EXPECT_EQ(rig.out.text(), c.output) << c.what;
        for (std::size_t i = 0; i < c.table.size(); ++i)
            EXPECT_EQ(rig.link.devices()[i].str(), c.table[i]) << c.what << " entry " << i;
    }
}

TEST(FtdiList, KeepsTheRecordsOfTheLastListingAndBoundsTheirCount) {
    FtdiRig rig;
    rig.driver->addBridge("FT000000", kOther);
    rig.driver->addBridge("VM000001", kDescription);
    ASSERT_EQ(rig.link.ListDevices(), 1);
    ASSERT_EQ(rig.link.deviceInfoList().size(), 2u);
    EXPECT_EQ(rig.link.deviceInfoList()[1].serialNumber.str(), "VM000001");

    // A driver that reports an absurd count gets a bounded list holding what it filled.
    rig.driver->reportedCount = 4'000'000'000u;
    EXPECT_EQ(rig.link.ListDevices(), 1);
    EXPECT_EQ(rig.link.deviceInfoList().size(), 2u);

    rig.driver->failCreateList = true;
    EXPECT_EQ(rig.link.ListDevices(), 0);
}

}  // namespace
}  // namespace vm::test
