// The command-line tool's real handlers over the USB links, with the fake drivers serving the
// virtual controller; and the production backends on a machine without devices.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli/app.h"
#include "cli/link_factory.h"
#include "link/ftdi_com.h"
#include "link/hid_com.h"
#include "sim/controller.h"
#include "sim/sim_link.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/fake_hid.h"
#include "tests/support/pipe_support.h"
#include "tests/support/run_tool.h"

namespace vm::test {
namespace {

const std::string kDescription(kFtdiDescription);

// vmcli with the real link factory over fake USB drivers; the devices answer through one
// virtual controller.
struct UsbTool {
    VirtualClock clock;
    cli::ScriptedConsole console;
    std::shared_ptr<FakeFtdiDriver> ftdi = std::make_shared<FakeFtdiDriver>(clock);
    std::shared_ptr<FakeHidDriver> hid = std::make_shared<FakeHidDriver>(clock);
    sim::Controller controller{clock, sim::RackConfig::Default()};

    LineResponder simulator() {
        return [this](std::string_view line) { return controller.Process(line); };
    }
    FakeBridge& addBridge(const std::string& serial) {
        return ftdi->addBridge(serial, kDescription, simulator());
    }
    FakeHidDevice& addHid(const std::string& serial) { return hid->addDevice(serial, simulator()); }

    std::string run(std::vector<std::string> words, cli::System* system = nullptr) {
        cli::RealLinkFactory links(ftdi, hid);
        cli::Environment env{console, clock, links, system};
        words.insert(words.begin(), "vmcli");
        cli::RunVmcli(env, std::move(words));
        return console.take();
    }
};

// The same words over the in-process link to a fresh controller: what the tool prints when the
// transport is perfect.
std::string ReferenceOutput(const std::vector<std::string>& words) {
    ToolHarness h;
    sim::Controller controller(h.clock, sim::RackConfig::Default());
    sim::SimLink link(TestLinkContext(), controller);
    h.links.serve(cli::LinkKind::Ftdi, link);
    return h.run(words);
}

const std::vector<std::vector<std::string>> kCommands = {
    {"STS", "1"}, {"STS", "6"},  // empty slot: "MNF"
    {"modlist"},  {"POS", "2", "1"}, {"MOV", "1", "ASPEN1", "4", "1", "300", "100", "5000"},
    {"STP", "1"}, {"DESC", "1"},
};

TEST(UsbVmcli, HandlersPrintTheSameOverTheBridgeAsInProcess) {
    for (const auto& words : kCommands) {
        UsbTool tool;
        tool.addBridge("VM000001");
        EXPECT_EQ(tool.run(words), ReferenceOutput(words)) << Join(words);
    }
}

TEST(UsbVmcli, HandlersPrintTheSameOverHidAsInProcess) {
    for (const auto& words : kCommands) {
        UsbTool tool;
        tool.addHid("VMH0001");
        EXPECT_EQ(tool.run(words), ReferenceOutput(words)) << Join(words);
    }
}

// The tool accepts only "_" as a complete reply: a "MNF" goes out five times over the bridge and
// once over HID.
TEST(UsbVmcli, NotFoundReplyIsResentOverTheBridgeOnly) {
    {
        UsbTool tool;
        FakeBridge& bridge = tool.addBridge("VM000001");
        tool.run({"STS", "6"});
        EXPECT_EQ(bridge.writes, std::vector<std::string>(5, "STS 6\r"));
    }
    {
        UsbTool tool;
        FakeHidDevice& device = tool.addHid("VMH0001");
        tool.run({"STS", "6"});
        EXPECT_EQ(device.lines, std::vector<std::string>{"STS 6\r"});
    }
}

TEST(UsbVmcli, LinkOrderSelectorsAndListing) {
    struct Case {
        const char* what;
        bool bridge;      // a bridge VM000001 is present
        bool bridgeHeld;  // and another process holds it
        bool hidDevice;   // a HID device VMH0001 is present
        std::vector<std::string> words;
        std::string output;  // exact output, or empty to check only the transport
        int bridgeWrites;
        int hidLines;
    };
    const std::string ftdiList = "List of available devices:\n\t0) Vellumotor Control System (VM000001)\n";
    const std::string hidList = "List of available devices:\n\t0) Vellumotor Control System (VMH0001)\n";
    const Case cases[] = {
        {"default prefers the bridge", true, false, true, {"STS", "1"}, "", 2, 0},
        {"default falls back to HID", false, false, true, {"STS", "1"}, "", 0, 2},
        {"a held bridge is passed over", true, true, true, {"STS", "1"}, "", 0, 2},
        {"selector: bridge serial number", true, false, true, {"@VM000001", "STS", "1"}, "", 2, 0},
        {"selector: HID serial string", true, false, true, {"@VMH0001", "STS", "1"}, "", 0, 2},
        {"selector matching nothing",
         true,
         false,
         true,
         {"@XY", "STS", "1"},
         "ERROR: DEVICE NOT FOUND\n",
         0,
         0},
        {"no device at all", false, false, false, {"STS", "1"}, "ERROR: DEVICE NOT FOUND\n", 0, 0},
        {"/USB lists bridges", true, false, true, {"/USB"}, ftdiList, 0, 0},
        {"/USB lists HID devices", false, false, true, {"/USB"}, hidList, 0, 0},
        {"/USB without a device", false, false, false, {"/USB"}, "ERROR: DEVICE NOT FOUND\n", 0, 0},
    };
    for (const Case& c : cases) {
        UsbTool tool;
        FakeBridge* bridge = c.bridge ? &tool.addBridge("VM000001") : nullptr;
        if (bridge) bridge->heldElsewhere = c.bridgeHeld;
        FakeHidDevice* device = c.hidDevice ? &tool.addHid("VMH0001") : nullptr;
        const std::string output = tool.run(c.words);
        if (!c.output.empty()) {
            EXPECT_EQ(output, c.output) << c.what;
        }
        // STS 1 on a drive module sends the status query and the failsafe query.
        EXPECT_EQ(bridge ? static_cast<int>(bridge->writes.size()) : 0, c.bridgeWrites) << c.what;
        EXPECT_EQ(device ? static_cast<int>(device->lines.size()) : 0, c.hidLines) << c.what;
        EXPECT_FALSE(bridge && bridge->open) << c.what << ": the bridge stays open";
        EXPECT_FALSE(device && device->open) << c.what << ": the HID device stays open";
    }
}

// "SERV N", "CMON N" and the number prompt open the controller the listing printed under N: the
// FTDI record at that index of the whole list, or the HID device in that slot. A number the
// listing did not print (past the list, a bridge of another kind) opens nothing.
TEST(UsbVmcli, PipeServerOpensTheDeviceListedUnderItsNumber) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> bridges;  // serial, description
        std::vector<std::string> hidDevices;
        std::vector<std::string> words;
        std::string keys;
        std::vector<std::string> tried;   // the serials of the "Trying to open" lines
        std::vector<std::string> opened;  // the devices opened for serving
    };
    const std::pair<std::string, std::string> other{"FT0OTHER", "USB Serial Converter"};
    const Case cases[] = {
        {"bridge at index 0",
         {{"VM000001", kDescription}},
         {},
         {"SERV", "0"},
         "",
         {"VM000001"},
         {"VM000001"}},
        {"bridge at index 1",
         {other, {"VM000002", kDescription}},
         {},
         {"CMON", "1"},
         "",
         {"VM000002"},
         {"VM000002"}},
        {"a bridge of another kind is not listed",
         {other, {"VM000002", kDescription}},
         {},
         {"SERV", "0"},
         "",
         {""},
         {}},
        {"number past the listing", {{"VM000001", kDescription}}, {}, {"SERV", "1"}, "", {""}, {}},
        {"HID device in slot 0", {}, {"VMH0001", "VMH0002"}, {"SERV", "0"}, "", {"VMH0001"}, {"VMH0001"}},
        {"HID device in slot 1, asked", {}, {"VMH0001", "VMH0002"}, {"SERV"}, "1", {"VMH0002"}, {"VMH0002"}},
        {"both listings, asked twice",
         {{"VM000001", kDescription}},
         {"VMH0001", "VMH0002"},
         {"CMON"},
         "01",
         {"VM000001", "VMH0002"},
         {"VM000001", "VMH0002"}},
    };
    const std::string trying = "\n-> Trying to open device with serial: ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PrivatePipeDirectory dir;
        FakeSystem system;
        system.serving = false;
        UsbTool tool;
        for (const auto& [serial, description] : c.bridges)
            tool.ftdi->addBridge(serial, description, tool.simulator());
        for (const auto& serial : c.hidDevices) tool.addHid(serial);
        tool.console.addKeys(c.keys);
        const std::string output = tool.run(c.words, &system);

        std::vector<std::string> tried;
        for (auto at = output.find(trying); at != std::string::npos; at = output.find(trying, at + 1)) {
            const auto begin = at + trying.size();
            tried.push_back(output.substr(begin, output.find('\n', begin) - begin));
        }
        EXPECT_EQ(tried, c.tried) << output;
        // Without a device to serve the tool goes on as a client, which opens a device of its own.
        if (c.opened.empty()) {
            EXPECT_NE(output.find(" NO DEVICES FOUND\n"), std::string::npos) << output;
            continue;
        }
        EXPECT_NE(output.find("\n-> Using Pipename: SamplePipe\n"), std::string::npos) << output;
        std::vector<std::string> opened;
        for (std::size_t i = 0; i < tool.ftdi->bridgeCount(); ++i)
            if (tool.ftdi->bridge(i).openCount > 0) opened.push_back(tool.ftdi->bridge(i).serial);
        for (std::size_t i = 0; i < c.hidDevices.size(); ++i)
            if (tool.hid->device(i).openCount > 0) opened.push_back(c.hidDevices[i]);
        EXPECT_EQ(opened, c.opened);
    }
}

// The production backends on this machine: with nothing plugged in every path fails at once.
TEST(UsbBackends, WithoutDevicesEverythingFailsCleanlyAndFast) {
    SteadyClock clock;
    StringTextOut out;
    const LinkContext context{LinkSettings::commandLine(), clock, out};
    const auto start = std::chrono::steady_clock::now();

    FTDI_COM ftdi(context, MakeLibFtdiDriver());
    HID_COM hid(context, std::make_shared<HidDeviceArray>(MakeHidapiDriver()));
    if (ftdi.ListDevices() != 0 || hid.ListDevices() != 0)
        GTEST_SKIP() << "a USB device is attached:\n" << out.text();
    EXPECT_EQ(out.text(), "");
    EXPECT_FALSE(ftdi.OpenDefault());
    EXPECT_FALSE(ftdi.Open("@VM000001"));
    EXPECT_FALSE(hid.OpenDefault());
    EXPECT_FALSE(hid.Open("VMH0001"));
    ftdi.command().assign("STS 1\r");
    EXPECT_EQ(ftdi.Exchange(), 1);
    hid.command().assign("STS 1\r");
    EXPECT_EQ(hid.Exchange(), 1);

    cli::ScriptedConsole console;
    cli::RealLinkFactory links;
    cli::Environment env{console, clock, links};
    cli::RunVmcli(env, {"vmcli", "STS", "1"});
    EXPECT_EQ(console.take(), "ERROR: DEVICE NOT FOUND\n");

    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace vm::test
