#pragma once
// The program's windows on a virtual rack for the diagnostic window's tests, run from a private
// working directory (where the measurement log lives).
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <array>
#include <string>

#include "gui/diagnostic_form.h"
#include "sim/model.h"
#include "tests/gui/gui_rig.h"
#include "tests/support/temp_dir.h"

namespace vm::gui::test {

inline QStringList Lines(const QListWidget* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
    return lines;
}

inline sim::FaultRule Answer(std::string word, std::string text, int count = -1) {
    sim::FaultRule rule;
    rule.fault = sim::Fault::Answer;
    rule.word = std::move(word);
    rule.text = std::move(text);
    rule.count = count;
    return rule;
}

struct DiagnosticRig : GuiRig {
    vm::test::TempDir dir{"vm-diag"};
    QString previousDir = QDir::currentPath();

    explicit DiagnosticRig(const std::string& rack) {
        QDir::setCurrent(QString::fromStdString(dir.path("")));
        useSimulator(rack);
        start();
    }
    ~DiagnosticRig() { QDir::setCurrent(previousDir); }

    TFormDiagnostic& diag() { return windows->diagnostic(); }
    bool idle() {
        return WaitFor([this] { return !diag().busy() && context->runner.pending() == 0; });
    }
    // From the main menu; without drive modules the menu entry is disabled, so directly.
    void open() {
        QAction* action = main().findChild<QAction*>("actionDiagnostic");
        if (action->isEnabled())
            action->trigger();
        else
            diag().openFromMenu();
        ASSERT_TRUE(idle());
    }
    void check(bool driveSignal) {
        diag().findChild<QCheckBox*>("checkDriveSignal")->setChecked(driveSignal);
        controller->clearTranscript();
        diag().findChild<QPushButton*>("buttonCheck")->click();
        ASSERT_TRUE(idle());
    }
    void measure(const QString& item) {
        diag().findChild<QTabWidget*>("tabs")->setCurrentIndex(TFormDiagnostic::kTabDriver);
        QComboBox* channels = diag().amplifierChannels();
        const int index = channels->findText(item);
        ASSERT_GE(index, 0) << item.toStdString();
        channels->setCurrentIndex(index);
        Q_EMIT channels->activated(index);
        controller->clearTranscript();
        QTest::mouseClick(diag().findChild<QPushButton*>("buttonMeasure"), Qt::LeftButton);
        ASSERT_TRUE(idle());
    }
    void setDrive(int slot, int failsafe, std::array<int, 3> loads = {1000, 1000, 1000}) {
        controller->inspect([&](sim::Model& m) {
            m.slots[static_cast<std::size_t>(slot - 1)].drive.failsafe = failsafe;
            m.slots[static_cast<std::size_t>(slot - 1)].drive.measurement.loadNf = loads;
            return 0;
        });
    }
};

// PATH for one test: a directory of our own first.
class PathPrefix {
  public:
    explicit PathPrefix(const QString& dir) : saved_(qgetenv("PATH")) {
        qputenv("PATH", (dir + ":").toLocal8Bit() + saved_);
    }
    ~PathPrefix() { qputenv("PATH", saved_); }

  private:
    QByteArray saved_;
};

}  // namespace vm::gui::test
