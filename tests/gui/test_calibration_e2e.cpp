// The automatic encoder calibration end to end: vmsim on 127.0.0.1, the desktop windows on a TCP
// link to it in real time, and the real vmcli found on PATH, which calibrates and hands the
// controller back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QListWidget>
#include <filesystem>

#include "gui/calibration_tool.h"
#include "gui/encoder_calibration_tab.h"
#include "gui/link_factory.h"
#include "link/tcp_com.h"
#include "tests/gui/diagnostic_rig.h"
#include "tests/support/pipe_support.h"
#include "tests/support/process.h"
#include "tests/support/sim_process.h"

namespace vm::gui::test {
namespace {

// Opens the diagnostic window, runs the automatic calibration of channel 1A at 4 K with the real
// tool and checks that it succeeded and the link came back.
void CalibrateChannel1A(TFormDiagnostic& diag) {
    diag.openFromMenu();
    ASSERT_TRUE(WaitFor([&] { return !diag.busy(); }));
    TEncoderCalibrationTab& tab = diag.encoderTab();
    QListWidgetItem* item = tab.channelList->findItems("1A", Qt::MatchExactly).value(0);
    ASSERT_NE(item, nullptr) << Lines(diag.monitorList()).join('\n').toStdString();
    tab.channelList->setCurrentItem(item);
    Q_EMIT tab.channelList->itemClicked(item);
    tab.temperature->setCurrentIndex(1);
    Q_EMIT tab.temperature->activated(1);
    bool finished = false;
    QObject::connect(&tab, &TEncoderCalibrationTab::calibrationFinished, [&finished] { finished = true; });
    tab.autoCalibration->click();
    ASSERT_TRUE(WaitFor([&] { return finished; }, 90000)) << tab.tool().output().toStdString();
    EXPECT_TRUE(tab.tool().output().contains("- SUCCESS: Calibration complete"))
        << tab.tool().output().toStdString();
    EXPECT_EQ(tab.statusText(), "vmcli ended with exit code 0; controller link reopened");
}

// The real programs: vmsim on 127.0.0.1, the desktop windows on a TCP link to it in real time,
// and the real vmcli found on PATH for the calibration.
TEST(AutoCalibrationEndToEnd, RealToolCalibratesOverTcpAndTheLinkComesBack) {
    vm::test::SimProcess sim(VMSIM_PATH);
    ASSERT_TRUE(sim.ready());
    const QByteArray savedPort = qgetenv("VM_LAN_PORT");
    qputenv("VM_LAN_PORT", QByteArray::number(sim.port()));
    PathPrefix path(QFileInfo(VMCLI_PATH).absolutePath());
    vm::test::TempDir dir{"vm-e2e-diag"};
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path("")));
    {
        SteadyClock clock;
        StringTextOut out;
        LinkContext linkContext{LinkSettings::desktop(), clock, out};
        RecordingPrompts prompts;
        TestLinkFactory links;
        links.make = [&linkContext](LinkKind) { return std::make_unique<AbsentLink>(linkContext); };
        AppContext context(clock, links, prompts);
        Windows windows(context, {"-", "-"});  // two words that ask for no link
        auto tcp = std::make_unique<TCP_COM>(linkContext);
        ASSERT_TRUE(tcp->Open("127.0.0.1"));
        tcp->selector().assign("127.0.0.1");
        context.current.replace(std::move(tcp));
        windows.main().startModuleScan();
        ASSERT_TRUE(WaitFor([&] { return !windows.main().scanRunning(); }));
        CalibrateChannel1A(windows.diagnostic());
        EXPECT_TRUE(windows.diagnostic().encoderTab().autoCalibration->isEnabled());
        EXPECT_TRUE(prompts.shown.empty());
        // The desktop program has the controller again.
        EXPECT_FALSE(context.oem.GetCounter(1, 1));
    }
    QDir::setCurrent(previousDir);
    if (savedPort.isNull())
        qunsetenv("VM_LAN_PORT");
    else
        qputenv("VM_LAN_PORT", savedPort);
}

// Monitor mode: the desktop program is a client of a real "vmcli CMON:127.0.0.1" monitor in front of
// vmsim, and the calibration tool is handed the monitor itself; the window's link stays closed
// while the tool is the monitor's client and comes back after.
TEST(AutoCalibrationEndToEnd, InMonitorModeTheToolCalibratesThroughTheMonitor) {
    vm::test::PrivatePipeDirectory pipes;
    vm::test::SimProcess sim(VMSIM_PATH, {"--rack", "C,O,-,-,-,-"});
    ASSERT_TRUE(sim.ready());
    // The monitor and the tool the window starts are one private copy named "vmcli", so the tool
    // counts the monitor as its running instance and starts no other.
    const std::string tool = pipes.file("vmcli");
    std::filesystem::copy_file(VMCLI_PATH, tool);
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    PathPrefix path(QString::fromStdString(pipes.path()));
    vm::test::ChildProcess monitor({tool, "CMON:127.0.0.1"}, {sim.portEnvironment()});
    ASSERT_TRUE(WaitFor([&] {
        struct stat st {};
        return ::stat(pipes.file("127.0.0.1SR").c_str(), &st) == 0;
    }));
    vm::test::TempDir dir{"vm-e2e-monitor-diag"};
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path("")));
    {
        SteadyClock real;
        GuiRig rig(&real);
        RealLinkFactory links(real);
        rig.links.make = [&links](LinkKind kind) { return links.create(kind); };
        rig.start({"@CMON", "127.0.0.1"});
        ASSERT_TRUE(rig.settle());
        CalibrateChannel1A(rig.windows->diagnostic());
        EXPECT_TRUE(rig.prompts.shown.empty());
        EXPECT_FALSE(rig.context->oem.GetCounter(1, 1));
        ASSERT_TRUE(WaitFor([&] { return rig.context->runner.pending() == 0; }));
    }
    QDir::setCurrent(previousDir);
    monitor.stop();
}

}  // namespace
}  // namespace vm::gui::test
