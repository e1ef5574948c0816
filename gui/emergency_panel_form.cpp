#include "gui/emergency_panel_form.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QPushButton>

#include "gui/app_context.h"
#include "gui/clock_wait.h"
#include "gui/grid_layout.h"
#include "gui/main_form.h"

namespace vm::gui {

TFormEmergencyPanel::TFormEmergencyPanel(AppContext& context, TMainForm& mainForm)
    : QDialog(nullptr), context_(context), main_(mainForm) {
    setObjectName("FormEmergencyPanel");
    setWindowTitle("Emergency Panel");
    auto* layout = new QHBoxLayout(this);
    free_ = new QPushButton("Free EOS: CCW", this);
    free_->setObjectName("buttonFreeEos");
    free_->setAutoDefault(false);
    exit_ = new QPushButton("Exit", this);
    exit_->setObjectName("buttonExit");
    exit_->setAutoDefault(false);
    layout->addWidget(free_);
    layout->addWidget(exit_);
    setMinimumSize(260, 70);
    connect(free_, &QPushButton::clicked, this, &TFormEmergencyPanel::freeEndOfStroke);
    connect(exit_, &QPushButton::clicked, this, &QDialog::close);
}

void TFormEmergencyPanel::freeEndOfStroke() {
    if (busy_) return;
    busy_ = true;
    const auto [m, c] = ChannelOfRow(main_.selectedRow());
    context_.runner.run(
        [&ctx = context_, m, c] {
            ctx.oem.CountDown(m, c);
            ctx.clock.sleepMs(kCountDirectionWaitMs);
        },
        this,
        [this, m, c] {
            setButtons(false);
            context_.runner.run(
                [&ctx = context_, m, c] { ctx.vmdm.Move(m, c, "PROFILE1", 0, 0, 100, 100, 100); }, this,
                [this] {
                    main_.startPositionMonitor();
                    WaitOnClock(context_, kButtonsBackAfterMs, this, [this] {
                        setButtons(true);
                        busy_ = false;
                        Q_EMIT freeEndOfStrokeDone();
                    });
                });
        });
}

void TFormEmergencyPanel::setButtons(bool enabled) {
    free_->setEnabled(enabled);
    exit_->setEnabled(enabled);
}

void TFormEmergencyPanel::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    // A minimised panel is still open; every other way of closing it gives the main window back.
    if (event->spontaneous() && isMinimized()) return;
    main_.setEnabled(true);
    main_.raise();
    main_.activateWindow();
}

}  // namespace vm::gui
