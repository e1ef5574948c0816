// Renders the desktop program's real windows to PNG files for docs/ (scripts/screenshots.sh):
// the windows are built as the program builds them, against the in-process virtual controller.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gui/dc_set_form.h"
#include "gui/diagnostic_form.h"
#include "gui/emergency_panel_form.h"
#include "gui/encoder_calibration_tab.h"
#include "gui/ip_connect_form.h"
#include "gui/main_form.h"
#include "sim/model.h"
#include "tests/gui/gui_rig.h"

namespace {

using vm::gui::test::GuiRig;

struct Shot {
    const char* file;
    std::function<QWidget*(GuiRig&)> prepare;  // returns the window to grab
    std::function<void(GuiRig&)> after = {};   // undoes what must not outlive the grab
};

// A rack with two drive modules, their encoder modules and a sensor module; a few channels
// carry a tag of their own.
void StartLab(GuiRig& rig) {
    rig.useSimulator("C,O,C1,O,R,-");
    rig.controller->inspect([](vm::sim::Model& model) {
        model.front.memory[0].tag = "X-stage";
        model.front.memory[1].tag = "Y-stage";
        model.front.memory[2].tag = "focus";
        model.front.memory[2].type = "PROFILE3";
        model.front.memory[6].tag = "rotator";
        model.front.memory[6].temperature = 4;
        return 0;
    });
    rig.start();
}

// The diagnostic window after its module diagnostic, on the given tab.
vm::gui::TFormDiagnostic& OpenDiagnostic(GuiRig& rig, int tab) {
    StartLab(rig);
    vm::gui::TFormDiagnostic& diag = rig.windows->diagnostic();
    rig.main().findChild<QAction*>("actionDiagnostic")->trigger();
    vm::gui::test::WaitFor([&diag] { return !diag.busy(); });
    diag.findChild<QTabWidget*>("tabs")->setCurrentIndex(tab);
    diag.resize(1000, 640);
    return diag;
}

const std::vector<Shot> kShots = {
    {"main-window.png",
     [](GuiRig& rig) -> QWidget* {
         StartLab(rig);
         return &rig.main();
     }},
    // Channel 1B selected and running clockwise: the caption in bold, the grid and the other
    // move buttons off until Abort. The move is stopped after the grab (Shot::after).
    {"main-window-moving.png",
     [](GuiRig& rig) -> QWidget* {
         StartLab(rig);
         QTableWidget* grid = rig.main().grid();
         const QRect cell = grid->visualItemRect(grid->item(1, 1));
         QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
         rig.main().findChild<QPushButton*>("buttonCwRun")->click();
         // Half a second of the move: each poll of the position monitor gets its turn, so the
         // counter cell shows the steps made.
         for (int i = 0; i < 5; ++i) {
             rig.clock.advanceMs(100);
             QTest::qWait(20);
         }
         return &rig.main();
     },
     [](GuiRig& rig) {
         rig.main().findChild<QPushButton*>("buttonAbort")->click();
         for (int i = 0; i < 50 && !rig.main().grid()->isEnabled(); ++i) {
             rig.clock.advanceMs(100);
             QCoreApplication::processEvents();
         }
     }},
    {"ip-connect-dialog.png",
     [](GuiRig& rig) -> QWidget* {
         StartLab(rig);
         QWidget* dialog = &rig.windows->ipConnect();
         dialog->show();
         dialog->findChild<QLineEdit*>()->setText("192.168.1.20");
         return dialog;
     }},
    {"diagnostic-monitor.png",
     [](GuiRig& rig) -> QWidget* {
         vm::gui::TFormDiagnostic& diag = OpenDiagnostic(rig, vm::gui::TFormDiagnostic::kTabDiagnostic);
         diag.resize(760, 520);
         return &diag;
     }},
    {"dc-level-dialog.png",
     [](GuiRig& rig) -> QWidget* {
         StartLab(rig);
         QWidget* dialog = &rig.windows->dcSet();
         dialog->show();
         return dialog;
     }},
    {"emergency-panel.png",
     [](GuiRig& rig) -> QWidget* {
         StartLab(rig);
         QWidget* panel = &rig.windows->emergencyPanel();
         panel->show();
         return panel;
     }},
    {"diagnostic-driver-check.png",
     [](GuiRig& rig) -> QWidget* {
         vm::gui::TFormDiagnostic& diag = OpenDiagnostic(rig, vm::gui::TFormDiagnostic::kTabDriver);
         diag.startDriverCheck();
         vm::gui::test::WaitFor([&diag] { return !diag.busy(); });
         QComboBox* channels = diag.amplifierChannels();
         Q_EMIT channels->activated(0);
         diag.startAmplifierMeasurement();
         vm::gui::test::WaitFor([&diag] { return !diag.busy(); });
         return &diag;
     }},
    {"encoder-calibration.png",
     [](GuiRig& rig) -> QWidget* {
         vm::gui::TFormDiagnostic& diag = OpenDiagnostic(rig, vm::gui::TFormDiagnostic::kTabEncoder);
         vm::gui::TEncoderCalibrationTab& tab = diag.encoderTab();
         // The measurement log goes to the temporary directory, not into the working copy.
         tab.logPath = QDir::temp().filePath("vm-screenshots-VMdiag.log");
         QListWidgetItem* item = tab.channelList->item(0);
         tab.channelList->setCurrentItem(item);
         Q_EMIT tab.channelList->itemClicked(item);
         tab.temperature->setCurrentIndex(1);
         Q_EMIT tab.temperature->activated(1);
         // The detector reader's waits pass at once in virtual time: each lets the sampler answer.
         vm::gui::EncoderHandshake& h = tab.handshake();
         rig.clock.setObserver([&h](std::int64_t) {
             for (int i = 0; i < 1'000'000 && h.linkRequest.load() && !h.pauseAck.load(); ++i)
                 std::this_thread::yield();
         });
         tab.manualSetup->click();
         tab.getDetector();
         // About 11 s of controller time in a few milliseconds (the sampler stores a sample per
         // microsecond against the in-process controller), then one refresh of the chart, grabbed
         // while the measurement still runs.
         for (int i = 0; i < 220 && tab.measuring(); ++i) {
             rig.clock.advanceMs(50);
             QCoreApplication::processEvents();
         }
         QTest::qWait(vm::gui::TEncoderCalibrationTab::kRefreshMs + 5);
         return &diag;
     }},
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/images");
    QDir().mkpath(directory);
    int failures = 0;
    for (const Shot& shot : kShots) {
        GuiRig rig;
        QWidget* window = shot.prepare(rig);
        rig.settle();
        const QString path = directory + "/" + shot.file;
        const QPixmap picture = window->grab();
        if (shot.after) shot.after(rig);
        if (!picture.save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return failures == 0 ? 0 : 1;
}
