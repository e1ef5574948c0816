// The desktop program in monitor mode: "VMControlSystem @CMON 127.0.0.1" as a client of a real
// "vmcli CMON:127.0.0.1" process that relays to a vmsim process on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "gui/link_factory.h"
#include "gui/scan_modules_form.h"
#include "tests/gui/gui_rig.h"
#include "tests/support/pipe_support.h"
#include "tests/support/process.h"
#include "tests/support/sim_process.h"

namespace vm::gui::test {
namespace {

namespace fs = std::filesystem;

TEST(MonitorMode, ScansThroughARealMonitorProcess) {
    vm::test::PrivatePipeDirectory pipes;
    vm::test::SimProcess sim(VMSIM_PATH, {"--rack", "C,O,C1,O,-,-"});
    ASSERT_TRUE(sim.ready());
    // A private copy of the tool, so that its count of running instances sees only this test's.
    const std::string tool = pipes.file("vmcligui" + std::to_string(::getpid()));
    fs::copy_file(VMCLI_PATH, tool);
    fs::permissions(tool, fs::perms::owner_all);
    vm::test::ChildProcess monitor({tool, "CMON:127.0.0.1"}, {sim.portEnvironment()});
    ASSERT_TRUE(WaitFor([&] {
        struct stat st {};
        return ::stat(pipes.file("127.0.0.1SR").c_str(), &st) == 0;
    }));

    SteadyClock real;
    GuiRig rig(&real);
    RealLinkFactory links(real);
    rig.links.make = [&links](LinkKind kind) { return links.create(kind); };
    TMainForm& main = rig.start({"@CMON", "127.0.0.1"});
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.links.requested, (std::vector<LinkKind>{LinkKind::Pipe}));
    EXPECT_EQ(main.windowTitle(), "Vellumotor Control System : Brannic's Communication Monitor");
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_EQ(main.grid()->rowCount(), 9);
    EXPECT_EQ(rig.cell(7, kColChan), "3A");
    EXPECT_FALSE(main.grid()->isRowHidden(6));
    EXPECT_TRUE(main.grid()->isRowHidden(7));
    EXPECT_EQ(rig.cell(1, kColType), "PROFILE1");
    EXPECT_TRUE(rig.prompts.shown.empty());
    rig.windows.reset();
    monitor.stop();
}

}  // namespace
}  // namespace vm::gui::test
