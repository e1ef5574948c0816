// The USB backends' look at sysfs before loading their libraries, and the backends when the
// library is missing or present: what each tree means, that nothing is loaded without a device
// to find, and that a missing library leaves the next link to be tried.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cli/app.h"
#include "cli/link_factory.h"
#include "link/ftdi_driver.h"
#include "link/hid_driver.h"
#include "link/usb_library.h"
#include "sim/controller.h"
#include "tests/support/fake_hid.h"
#include "tests/support/run_tool.h"
#include "tests/support/temp_dir.h"

namespace vm::test {
namespace {

constexpr const char* kMissingLibrary = "libvm-no-such-library.so.0";

// A fake sysfs: directories and attribute files relative to its root.
struct SysfsTree {
    std::vector<std::string> dirs;
    std::vector<std::pair<std::string, std::string>> files;
};

std::string Build(const TempDir& dir, const SysfsTree& tree) {
    const std::string root = dir.path("sys");
    std::filesystem::create_directories(root);
    for (const auto& d : tree.dirs) std::filesystem::create_directories(root + "/" + d);
    for (const auto& [name, text] : tree.files) {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + name).parent_path());
        dir.file("sys/" + name, text);
    }
    return root;
}

const SysfsTree kNoUsbBus{{"bus", "class"}, {}};
const SysfsTree kBridge{
    {"bus/usb/devices/1-1:1.0", "class/hidraw"},
    {{"bus/usb/devices/usb1/idVendor", "1d6b\n"}, {"bus/usb/devices/1-1/idVendor", "0403\n"}}};
const SysfsTree kHidraw{{"bus/usb/devices", "class/hidraw/hidraw0"}, {}};

TEST(UsbPresence, SysfsSaysWhetherTheLibraryCanFindAnything) {
    struct Case {
        const char* what;
        SysfsTree tree;
        bool ftdi;
        bool hidraw;
    };
    const Case cases[] = {
        {"no sysfs at all: the libraries decide", {{}, {}}, true, true},
        {"no USB bus, no hidraw class", kNoUsbBus, false, false},
        {"an FTDI bridge beside a hub and an interface", kBridge, true, false},
        {"only other vendors, one without a newline",
         {{"class"}, {{"bus/usb/devices/1-2/idVendor", "046d\n"}, {"bus/usb/devices/1-3/idVendor", "0403x"}}},
         false,
         false},
        {"a hidraw node, no USB device", kHidraw, false, true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string root = Build(dir, c.tree);
        EXPECT_EQ(FtdiBridgeMayBePresent(root), c.ftdi) << c.what;
        EXPECT_EQ(HidrawInterfaceMayBePresent(root), c.hidraw) << c.what;
    }
}

// Without a device to find the library is never opened: a missing one goes unnoticed.
TEST(UsbPresence, NothingToFindLoadsNothing) {
    TempDir dir;
    const std::string root = Build(dir, kNoUsbBus);
    testing::internal::CaptureStderr();
    auto ftdi = MakeLibFtdiDriver({kMissingLibrary, root});
    std::uint32_t count = 7;
    EXPECT_EQ(ftdi->CreateDeviceInfoList(count), FT_OK);
    EXPECT_EQ(count, 0u);
    std::unique_ptr<FtdiDevice> device;
    EXPECT_EQ(ftdi->OpenEx("Vellumotor Control System", FT_OPEN_BY_DESCRIPTION, device), FT_DEVICE_NOT_FOUND);
    EXPECT_TRUE(MakeHidapiDriver({kMissingLibrary, root})->InterfacePaths().empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// With a device to find, the real libraries load with every function the backends call, and a
// missing one is reported once while its backend finds nothing.
TEST(UsbPresence, LibrariesLoadWhenADeviceMayBeThere) {
    TempDir dir;
    const std::string root =
        Build(dir, {{"class/hidraw/hidraw0"}, {{"bus/usb/devices/1-1/idVendor", "0403\n"}}});
    struct Case {
        std::string library;
        FT_STATUS listStatus;
        std::string error;
    };
    const Case cases[] = {
        {"", FT_OK, ""},
        {kMissingLibrary, FT_OTHER_ERROR, std::string(kMissingLibrary) + " cannot be loaded"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        auto ftdi = MakeLibFtdiDriver({c.library, root});
        auto hid = MakeHidapiDriver({c.library, root});
        std::uint32_t count = 0;
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(ftdi->CreateDeviceInfoList(count), c.listStatus) << c.library;
            hid->InterfacePaths();
        }
        const std::string error = testing::internal::GetCapturedStderr();
        if (c.error.empty()) {
            EXPECT_EQ(error, "");
        } else {
            // One line per backend, not one per call.
            EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 2) << error;
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

// vmcli whose FTDI library is missing while a bridge may be present: the HID link is tried next
// and the command runs over it.
TEST(UsbPresence, MissingFtdiLibraryFallsThroughToHid) {
    TempDir dir;
    const std::string root = Build(dir, kBridge);
    VirtualClock clock;
    sim::Controller controller{clock, sim::RackConfig::Default()};
    auto hid = std::make_shared<FakeHidDriver>(clock);
    hid->addDevice("VMH0001", [&](std::string_view line) { return controller.Process(line); });
    cli::ScriptedConsole console;
    cli::RealLinkFactory links(MakeLibFtdiDriver({kMissingLibrary, root}), hid);
    cli::Environment env{console, clock, links};
    testing::internal::CaptureStderr();
    cli::RunVmcli(env, {"vmcli", "STS", "1"});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(console.take(), "STATUS : STOP\nFAILSAFE STATE: 0x0\n");
}

}  // namespace
}  // namespace vm::test
