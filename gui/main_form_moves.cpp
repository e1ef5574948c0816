// The main window's move buttons, the position monitor that follows a move, the counter menu on
// column 9, and the menu entries of the emergency panel and the DC-level dialog.
#include <QAction>
#include <QFont>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <optional>
#include <string>

#include "gui/app_context.h"
#include "gui/dc_set_form.h"
#include "gui/emergency_panel_form.h"
#include "gui/main_form.h"
#include "gui/model/vmdef.h"
#include "gui/thread_oem_get_position.h"

namespace vm::gui {

namespace {

// The fields of one move as the grid holds them at the moment of the press.
struct MoveOrder {
    std::uint8_t module;
    std::uint8_t channel;
    std::string type;
    std::uint16_t temperature;
    std::uint8_t direction;
    std::uint16_t frequency;
    std::uint8_t stepSize;
    std::uint16_t steps;
};

QString CellText(const QTableWidget& grid, int row, int column) {
    const QTableWidgetItem* item = grid.item(row - 1, column);
    return item ? item->text() : QString();
}

void SetBold(QPushButton* button, bool bold) {
    QFont font = button->font();
    font.setBold(bold);
    button->setFont(font);
}

// ZeroCounter (when asked) and GetCounter with the value read, as one unit under the lock.
std::optional<int> CounterAfter(AppContext& ctx, std::uint8_t m, std::uint8_t c, bool zeroFirst) {
    auto lock = ctx.current.hold();
    if (zeroFirst) ctx.oem.ZeroCounter(m, c);
    if (ctx.oem.GetCounter(m, c)) return std::nullopt;
    return ctx.oem.count();
}

}  // namespace

void TMainForm::buildMoveControls() {
    connect(buttonCwRun_, &QPushButton::clicked, this, [this] { runPressed(1); });
    connect(buttonCcwRun_, &QPushButton::clicked, this, [this] { runPressed(0); });
    connect(buttonCwSteps_, &QPushButton::clicked, this, [this] { stepsPressed(1); });
    connect(buttonCcwSteps_, &QPushButton::clicked, this, [this] { stepsPressed(0); });
    connect(buttonAbort_, &QPushButton::clicked, this, &TMainForm::abortPressed);

    counterMenu_ = new QMenu(this);
    counterMenu_->setObjectName("counterMenu");
    QAction* reset = counterMenu_->addAction("Reset");
    reset->setObjectName("counterReset");
    connect(reset, &QAction::triggered, this, &TMainForm::resetCounter);
    QAction* position = counterMenu_->addAction("Get Position");
    position->setObjectName("counterGetPosition");
    connect(position, &QAction::triggered, this, &TMainForm::getPosition);

    connect(actionEmergency_, &QAction::triggered, this, [this] {
        if (!windows_.emergencyPanel) return;
        windows_.emergencyPanel->show();
        setEnabled(false);  // the panel gives the window back when it closes
    });
    connect(actionDcLevel_, &QAction::triggered, this, [this] {
        if (windows_.dcSet) windows_.dcSet->show();
    });
}

void TMainForm::setMoveControls(bool enabled) {
    // Off from a press until the move has ended: no scan starts in between (startModuleScan).
    moveRunning_ = !enabled;
    grid_->setEnabled(enabled);
    for (QPushButton* b : {buttonCcwRun_, buttonCcwSteps_, buttonCwSteps_, buttonCwRun_}) {
        b->setEnabled(enabled);
        if (enabled) SetBold(b, false);
    }
    fileMenu_->menuAction()->setEnabled(enabled);
    updateReconnect();
}

void TMainForm::runPressed(std::uint8_t direction) { startMove(direction, false); }

void TMainForm::stepsPressed(std::uint8_t direction) { startMove(direction, true); }

void TMainForm::startMove(std::uint8_t direction, bool steps) {
    // A scan and a move never share the link: the scan's lines would come between the move's and
    // its end would give back controls the move took.
    if (scan_ || moveRunning_) return;
    const int row = state_.selectedRow;
    const auto [m, c] = ChannelOfRow(row);
    const bool encoder = context_.pci.HasEncoderModule(m);
    QPushButton* button =
        direction == 1 ? (steps ? buttonCwSteps_ : buttonCwRun_) : (steps ? buttonCcwSteps_ : buttonCcwRun_);
    const MoveOrder order{
        m,
        c,
        CellText(*grid_, row, kColType).toLatin1().toStdString(),
        static_cast<std::uint16_t>(DecimalValue(CellText(*grid_, row, kColTemperature))),
        direction,
        static_cast<std::uint16_t>(DecimalValue(CellText(*grid_, row, kColFrequency))),
        static_cast<std::uint8_t>(DecimalValue(CellText(*grid_, row, kColStepSize))),
        static_cast<std::uint16_t>(steps ? DecimalValue(CellText(*grid_, row, kColSteps)) : 0)};
    if (FindProfile(context_.vmdm.profiles(), order.type) == nullptr) {
        // Without a profile there is no rise time or direction to send: nothing goes out.
        context_.prompts.message(
            this,
            "Move not sent: type \"" +
                QString::fromLatin1(order.type.data(), static_cast<qsizetype>(order.type.size())) +
                "\" names no Vellumotor profile.\nChoose a type with a right-click on the "
                "Type cell.",
            kProgramTitle, PromptIcon::Error);
        return;
    }
    SetBold(button, true);
    // The controls go off at the press, before the lines are sent, so a second press cannot queue
    // a second move. The stop request is cleared here too: an Abort pressed before the monitor
    // starts must reach it.
    setMoveControls(false);
    const bool monitor = steps || encoder;
    if (monitor) state_.stopRequest = false;
    moveModule_ = m;
    context_.runner.run(
        [&ctx = context_, order, encoder] {
            if (encoder) {
                if (order.direction == 1)
                    ctx.oem.CountUp(order.module, order.channel);
                else
                    ctx.oem.CountDown(order.module, order.channel);
            }
            if (!ctx.vmdm.Move(order.module, order.channel, order.type, order.temperature, order.direction,
                               order.frequency, order.stepSize, order.steps))
                return true;
            // The reply was lost or refused, yet the line may have reached the module and started
            // it: stop it (the stop Abort sends) before the controls come back.
            ctx.vmdm.Stop(order.module);
            return false;
        },
        this,
        [this, button, steps, monitor](bool started) {
            if (!started) {
                setMoveControls(true);
                return;
            }
            // A close under way has sent the stop already: no monitor follows the move.
            if (monitor && !closeStopSent_) launchPositionMonitor();
            if (steps) SetBold(button, false);
        });
}

void TMainForm::abortPressed() {
    const std::uint8_t m = ChannelOfRow(state_.selectedRow).module;
    if (context_.pci.HasEncoderModule(m)) {
        state_.stopRequest = true;
        // A running monitor sends the stops and gives the controls back.
        if (monitor_) return;
        // No monitor follows the module (a link fault ended it, or the move was started before
        // the program was): the stop goes out now. It queues behind a move still being sent, and
        // the monitor that move launches sees the stop request and ends at once.
        context_.runner.run([&ctx = context_, m] { ctx.vmdm.Stop(m); }, this,
                            [this] {
                                if (!monitor_) setMoveControls(true);
                            });
        return;
    }
    context_.runner.run([&ctx = context_, m] { ctx.vmdm.Stop(m); }, this, [this] { setMoveControls(true); });
}

void TMainForm::startPositionMonitor() {
    state_.stopRequest = false;
    launchPositionMonitor();
}

void TMainForm::launchPositionMonitor() {
    // One monitor follows one move: an earlier one still running (a move started from the
    // emergency panel) ends after its exchange under way and sends nothing more.
    // Only the current monitor's signals count, even those already queued when it was replaced.
    if (monitor_) monitor_->requestInterruption();
    state_.positionRow = state_.selectedRow;
    auto* monitor = new TOEMGetPosition(context_, state_.positionRow, state_.stopRequest, this);
    monitor_ = monitor;
    const QPointer<TOEMGetPosition> guard(monitor);
    connect(monitor, &TOEMGetPosition::counter, this, [this, guard](int row, int count) {
        if (guard && guard == monitor_) setCell(row, kColCounter, QString::number(count));
    });
    connect(monitor, &TOEMGetPosition::moveEnded, this, [this, guard] {
        if (guard && guard == monitor_) setMoveControls(true);
    });
    connect(monitor, &QThread::finished, this, [this, guard] {
        if (!guard) return;  // already stopped and deleted by stopPositionMonitors
        guard->wait();
        if (monitor_ == guard) monitor_ = nullptr;
        delete guard.data();
    });
    monitor->start();
}

void TMainForm::stopPositionMonitors() {
    const auto monitors = findChildren<TOEMGetPosition*>(Qt::FindDirectChildrenOnly);
    for (TOEMGetPosition* monitor : monitors) monitor->requestInterruption();
    for (TOEMGetPosition* monitor : monitors) {
        monitor->wait();
        delete monitor;
    }
    monitor_ = nullptr;
}

void TMainForm::resetCounter() {
    const int row = state_.selectedRow;
    const auto [m, c] = ChannelOfRow(row);
    context_.runner.run([&ctx = context_, m, c] { return CounterAfter(ctx, m, c, true); }, this,
                        [this, row](std::optional<int> count) {
                            if (count) setCell(row, kColCounter, QString::number(*count));
                        });
}

void TMainForm::getPosition() {
    const int row = state_.selectedRow;
    const auto [m, c] = ChannelOfRow(row);
    context_.runner.run([&ctx = context_, m, c] { return CounterAfter(ctx, m, c, false); }, this,
                        [this, row](std::optional<int> count) {
                            if (count) setCell(row, kColCounter, QString::number(*count));
                        });
}

}  // namespace vm::gui
