#include "gui/main_form.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gui/app_context.h"
#include "gui/cabinet_select_form.h"
#include "gui/diagnostic_form.h"
#include "gui/emergency_panel_form.h"
#include "gui/ip_connect_form.h"
#include "gui/ip_setup_form.h"
#include "gui/scan_modules_form.h"
#include "gui/thread_scan_modules.h"

namespace vm::gui {

namespace {

constexpr unsigned kNotAnsweringAfter = 2;  // failed exchanges in a row
constexpr int kLinkCheckMs = 500;

// Every keystroke in an edited cell goes to the window's check.
class CellDelegate final : public QStyledItemDelegate {
  public:
    using Check = std::function<void(int row, int column, const QString& text, QLineEdit* editor)>;
    CellDelegate(QObject* parent, Check check) : QStyledItemDelegate(parent), check_(std::move(check)) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        auto* editor = new QLineEdit(parent);
        editor->setObjectName("cellEditor");
        editor->setFrame(false);
        const int row = index.row() + 1;
        const int column = index.column();
        QObject::connect(
            editor, &QLineEdit::textEdited, editor,
            [this, row, column, editor](const QString& text) { check_(row, column, text, editor); });
        return editor;
    }

  private:
    Check check_;
};

QString DeviceIdentifier(const COM_METHOD& link, std::size_t index) {
    return QString::fromLatin1(link.devices()[index].view());
}

QStringList DeviceIdentifiers(const COM_METHOD& link, int count) {
    QStringList ids;
    for (int i = 0; i < count && i < static_cast<int>(COM_METHOD::kDeviceCount); ++i)
        ids << DeviceIdentifier(link, static_cast<std::size_t>(i));
    return ids;
}

}  // namespace

struct TMainForm::SearchResult {
    LinkKind kind = LinkKind::Ftdi;
    int count = 0;
    QStringList identifiers;
};

TMainForm::TMainForm(AppContext& context, const QStringList& arguments, QWidget* parent)
    : QMainWindow(parent), context_(context) {
    setObjectName("MainForm");
    setWindowTitle(kMainCaption);
    buildMenus();
    buildGrid();
    buildMoveControls();

    statusText_ = new QLabel("Awaiting Scan...", this);
    statusText_->setObjectName("statusText");
    statusBar()->addWidget(statusText_, 1);
    linkStatus_ = new QLabel("No link", this);
    linkStatus_->setObjectName("linkStatus");
    statusBar()->addPermanentWidget(linkStatus_);
    linkTimer_ = new QTimer(this);
    connect(linkTimer_, &QTimer::timeout, this, &TMainForm::refreshLinkStatus);
    linkTimer_->start(kLinkCheckMs);

    resize(560, 460);
    searchDevice(arguments);
}

TMainForm::~TMainForm() { stopWorkers(); }

void TMainForm::buildMenus() {
    fileMenu_ = menuBar()->addMenu("&File");
    fileMenu_->setObjectName("menuFile");
    auto add = [this](const char* name, const QString& caption, void (TMainForm::*slot)(),
                      const QKeySequence& keys = {}) {
        QAction* action = fileMenu_->addAction(caption);
        action->setObjectName(name);
        if (!keys.isEmpty()) action->setShortcut(keys);
        if (slot) connect(action, &QAction::triggered, this, slot);
        return action;
    };
    actionScanLan_ = add("actionScanLan", "Scan LAN", &TMainForm::scanLan);
    actionManualIp_ = add("actionManualIpConnect", "Manual IP Connect", nullptr);
    connect(actionManualIp_, &QAction::triggered, this, [this] {
        if (windows_.ipConnect) windows_.ipConnect->show();
    });
    actionReconnect_ = add("actionReconnect", "Reconnect", &TMainForm::reconnect);
    actionReconnect_->setEnabled(false);
    actionIpSetup_ = add("actionDeviceIpSetup", "Device IP Setup", nullptr);
    connect(actionIpSetup_, &QAction::triggered, this, [this] {
        if (windows_.ipSetup) windows_.ipSetup->show();
    });
    actionIpSetup_->setEnabled(false);
    fileMenu_->addSeparator();
    actionEmergency_ = add("actionEmergencyPanel", "&Emergency Panel", nullptr, QKeySequence("Ctrl+E"));
    fileMenu_->addSeparator();
    actionScan_ = add("actionAvailableChannels", "Get &Available Channels", &TMainForm::startModuleScan,
                      QKeySequence("Ctrl+A"));
    actionDiagnostic_ = add("actionDiagnostic", "&Diagnostic / Calibration", nullptr, QKeySequence("Ctrl+D"));
    connect(actionDiagnostic_, &QAction::triggered, this, [this] {
        if (windows_.diagnostic) windows_.diagnostic->openFromMenu();
    });
    fileMenu_->addSeparator();
    actionDcLevel_ = add("actionSetDcLevel", "Set DC Level", nullptr, QKeySequence("Ctrl+S"));
    fileMenu_->addSeparator();
    actionStore_ = add("actionStoreUserMemory", "Store list to User memory", &TMainForm::storeUserMemory);
    actionClear_ = add("actionClearUserMemory", "Clear list in User memory", &TMainForm::clearUserMemory);
    fileMenu_->addSeparator();
    actionExit_ = add("actionExit", "E&xit", nullptr, QKeySequence("Ctrl+X"));
    connect(actionExit_, &QAction::triggered, this, &QWidget::close);

    QMenu* help = menuBar()->addMenu("&Help");
    help->setObjectName("menuHelp");
    QAction* version = help->addAction("Version");
    version->setObjectName("actionVersion");
    connect(version, &QAction::triggered, this, &TMainForm::showVersion);

    typeMenu_ = new QMenu(this);
    typeMenu_->setObjectName("typeMenu");
    const ProfileTable& profiles = context_.vmdm.profiles();
    for (int i = 0; i < static_cast<int>(profiles.size()); ++i) {
        QAction* item = typeMenu_->addAction(QString::fromLatin1(profiles[i].name.view()));
        connect(item, &QAction::triggered, this, [this, i] { chooseType(i); });
    }
}

void TMainForm::buildGrid() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    grid_ = new QTableWidget(central);
    grid_->setObjectName("actuatorGrid");
    grid_->verticalHeader()->hide();
    grid_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    grid_->verticalHeader()->setMinimumSectionSize(0);
    grid_->horizontalHeader()->setFixedHeight(kRowHeight + 4);
    grid_->horizontalHeader()->setMinimumSectionSize(0);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->setItemDelegate(
        new CellDelegate(grid_, [this](int row, int column, const QString& text, QLineEdit* editor) {
            cellEdited(row, column, text, editor);
        }));
    grid_->viewport()->installEventFilter(this);
    grid_->horizontalHeader()->viewport()->installEventFilter(this);
    // Created with every column, then reduced to the ones shown at start.
    grid_->setColumnCount(static_cast<int>(kGridColumns.size()));
    for (int c = 0; c < grid_->columnCount(); ++c)
        grid_->setHorizontalHeaderItem(
            c, new QTableWidgetItem(kGridColumns[static_cast<std::size_t>(c)].header));
    setGridColumns(static_cast<int>(kGridColumns.size()));
    setGridColumns(kColumnsAtStart);
    setChannelRows(1);
    layout->addWidget(grid_, 1);

    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, central);
        b->setObjectName(name);
        buttons->addWidget(b);
        return b;
    };
    buttonCcwRun_ = button("buttonCcwRun", "CCW Run");
    buttonCcwSteps_ = button("buttonCcwSteps", "CCW Steps");
    buttonAbort_ = button("buttonAbort", "Abort");
    buttonCwSteps_ = button("buttonCwSteps", "CW Steps");
    buttonCwRun_ = button("buttonCwRun", "CW Run");
    layout->addLayout(buttons);
    setCentralWidget(central);
}

void TMainForm::setGridColumns(int count) {
    // The table keeps every column, so cells written to a column past the count (the scan
    // writes columns 8 and 9 before it decides to show them) are there when it grows again.
    columnCount_ = count;
    for (int c = 0; c < grid_->columnCount(); ++c) {
        const GridColumnSpec& layout = kGridColumns[static_cast<std::size_t>(c)];
        grid_->setColumnWidth(c, layout.width);
        grid_->setColumnHidden(c, c >= count || layout.width == 0);
    }
}

void TMainForm::setChannelRows(int count) {
    const int before = grid_->rowCount();
    grid_->setRowCount(count);
    for (int row = before + 1; row <= count; ++row) {
        grid_->setRowHidden(row - 1, true);
        setCell(row, kColSel, " ");
    }
}

void TMainForm::setCell(int row, int column, const QString& text) {
    if (row < 1 || row > grid_->rowCount() || column < 0 || column >= grid_->columnCount()) return;
    QTableWidgetItem* item = grid_->item(row - 1, column);
    if (!item) {
        item = new QTableWidgetItem;
        if (!IsEditableColumn(column)) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        grid_->setItem(row - 1, column, item);
    }
    item->setText(text);
}

QString TMainForm::statusText() const { return statusText_->text(); }

QString TMainForm::linkStatusText() const { return linkStatus_->text(); }

// --- Start-up ---

void TMainForm::searchDevice(const QStringList& arguments) {
    if (arguments.size() == 2 && arguments[0] == "@CMON") {
        state_.monitorMode = true;
        const QString name = arguments[1];
        context_.runner.run(
            [&ctx = context_, name] {
                auto link = ctx.links.create(LinkKind::Pipe);
                if (link) link->Open(name.toStdString());  // the result is not examined
                ctx.current.replace(std::move(link));
            },
            this,
            [this, name] {
                setLinkDescription(LinkKind::Pipe, name);
                applySearch({LinkKind::Pipe, 0, {}});
            });
        return;
    }
    if (arguments.size() == 2) {
        // Two words that do not ask for monitor mode: no link at all.
        applySearch({LinkKind::Ftdi, 0, {}});
        return;
    }
    context_.runner.run(
        [&ctx = context_] {
            SearchResult result;
            auto link = ctx.links.create(LinkKind::Ftdi);
            result.count = link ? link->ListDevices() : 0;
            if (result.count == 0) {
                result.kind = LinkKind::Hid;
                link = ctx.links.create(LinkKind::Hid);
                result.count = link ? link->ListDevices() : 0;
            }
            if (link && result.count == 1) {
                link->OpenDefault();
                link->selector().assign(link->devices()[0].view());
            }
            if (link) result.identifiers = DeviceIdentifiers(*link, result.count);
            ctx.current.replace(std::move(link));
            return result;
        },
        this,
        [this](SearchResult result) {
            if (result.count == 0) {
                state_.connection = ConnectionState::None;
                state_.scanRequest = context_.prompts.askYesNo(
                    this, "Device not found ...\nWould you like to scan the Local Area Network for devices?",
                    kProgramTitle, PromptIcon::Error);
            } else if (result.count == 1) {
                state_.connection = ConnectionState::OneDevice;
                setLinkDescription(result.kind, result.identifiers.value(0));
            } else {
                state_.connection = ConnectionState::SeveralDevices;
            }
            applySearch(result);
        });
}

void TMainForm::applySearch(const SearchResult& result) {
    searchIdentifiers_ = result.identifiers;
    searched_ = true;
    dispatchAfterShow();
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    shown_ = true;
    dispatchAfterShow();
}

void TMainForm::dispatchAfterShow() {
    if (!searched_ || !shown_ || dispatched_) return;
    dispatched_ = true;
    if (state_.monitorMode) {
        setWindowTitle(windowTitle() + ": " + "Brannic's Communication Monitor");
        startModuleScan();
    } else if (state_.connection == ConnectionState::SeveralDevices) {
        if (windows_.cabinetSelect) {
            windows_.cabinetSelect->setDevices(searchIdentifiers_);
            windows_.cabinetSelect->show();
        }
        state_.connection = ConnectionState::None;
    } else if (state_.connection == ConnectionState::OneDevice) {
        setWindowTitle(windowTitle() + ": " + searchIdentifiers_.value(0));
        startModuleScan();
    } else {
        showNotConnected(false);
    }
    if (state_.scanRequest) {
        state_.scanRequest = false;
        scanLan();
    }
    Q_EMIT startupDone();
}

void TMainForm::showNotConnected(bool replaceCaption) {
    const QString base = replaceCaption ? kProgramTitle : windowTitle();
    setWindowTitle(base + ": [Not Connected]");
    statusText_->setText("No Vellumotors found");
    setControllerControls(false);
}

void TMainForm::setControllerControls(bool enabled) {
    for (QAction* a :
         {actionEmergency_, actionDiagnostic_, actionStore_, actionDcLevel_, actionClear_, actionScan_})
        a->setEnabled(enabled);
    buttonAbort_->setEnabled(enabled);
    // What a running move took stays off until the move ends.
    const bool moves = enabled && !moveRunning_;
    for (QPushButton* b : {buttonCcwRun_, buttonCcwSteps_, buttonCwSteps_, buttonCwRun_})
        b->setEnabled(moves);
    grid_->setEnabled(moves);
}

void TMainForm::setConnectedCaption(const QString& identifier) {
    setWindowTitle(kProgramTitle + ": " + identifier);
}

void TMainForm::setLinkDescription(LinkKind kind, const QString& selector) {
    // The link just opened is the one "Reconnect" opens again. A LAN search that found several
    // controllers names none yet; the selection names it later.
    if (!selector.isEmpty()) {
        lastLink_ = LastLink{kind, selector};
        updateReconnect();
    }
    linkKind_ = kind;
    linkDescription_ = QString::fromLatin1(LinkKindName(kind).data()) + " " + selector;
    linkAnswering_ = true;
    linkStatus_->setText(linkDescription_);
}

void TMainForm::refreshLinkStatus() {
    if (linkDescription_.isEmpty()) return;
    const bool answering = context_.current.health().failuresInRow() < kNotAnsweringAfter;
    if (answering == linkAnswering_) return;
    linkAnswering_ = answering;
    linkStatus_->setText(answering ? linkDescription_ : linkDescription_ + ": not answering");
}

// --- Reconnect ---

void TMainForm::updateReconnect() {
    actionReconnect_->setEnabled(lastLink_.has_value() && !scan_ && !moveRunning_ && !reconnecting_);
}

void TMainForm::reconnect() {
    if (!lastLink_ || scan_ || moveRunning_ || reconnecting_) return;
    const LastLink last = *lastLink_;
    reconnecting_ = true;
    updateReconnect();
    context_.runner.run(
        [&ctx = context_, last] {
            ctx.current.replace(nullptr);  // the old link is closed and destroyed first
            auto link = ctx.links.create(last.kind);
            if (!link) return;
            const std::string selector = last.selector.toStdString();
            // The USB drivers open a device they have listed; a LAN or pipe link opens its address
            // directly (a LAN search would broadcast).
            if (last.kind == LinkKind::Ftdi || last.kind == LinkKind::Hid) link->ListDevices();
            link->Open(selector);  // the result is not examined: a silent link fails the scan
            link->selector().assign(selector);
            ctx.current.replace(std::move(link));
        },
        this,
        [this, last] {
            reconnecting_ = false;
            setLinkDescription(last.kind, last.selector);
            startModuleScan();
            updateReconnect();
        });
}

// --- LAN scan ---

void TMainForm::scanLan() {
    actionScanLan_->setEnabled(false);
    context_.runner.run(
        [&ctx = context_] {
            ctx.current.replace(nullptr);  // the old link is closed and destroyed first
            SearchResult result{LinkKind::Lan, 0, {}};
            auto link = ctx.links.create(LinkKind::Lan);
            if (!link) return result;
            result.count = link->ListDevices();
            if (result.count == 1) {
                link->OpenDefault();
                link->selector().assign(link->devices()[0].view());
            }
            result.identifiers = DeviceIdentifiers(*link, result.count);
            ctx.current.replace(std::move(link));
            return result;
        },
        this,
        [this](SearchResult result) {
            actionScanLan_->setEnabled(true);
            if (result.count == 0) {
                context_.prompts.message(this, "No Ethernet devices found", kProgramTitle, PromptIcon::Error);
                showNotConnected(true);
            } else if (result.count == 1) {
                const QString id = result.identifiers.value(0);
                setConnectedCaption(id);
                setLinkDescription(LinkKind::Lan, id);
                startModuleScan();
            } else if (windows_.cabinetSelect) {
                setLinkDescription(LinkKind::Lan, QString());
                windows_.cabinetSelect->setDevices(result.identifiers);
                windows_.cabinetSelect->show();
            }
        });
}

// --- Module scan ---

void TMainForm::startModuleScan() {
    // A scan never runs beside a move (see startMove).
    if (moveRunning_) return;
    if (scan_) {
        // The caller has just changed the link or the user memory: the scan under way reads what
        // is now stale, so it ends between two exchanges and a fresh one starts when it has.
        rescanWanted_ = true;
        scan_->requestInterruption();
        return;
    }
    if (windows_.scanModules) {
        windows_.scanModules->setProgress(0);
        windows_.scanModules->show();
    }
    // The grid is redrawn once when the scan ends rather than at each of its cell changes.
    grid_->setUpdatesEnabled(false);
    scan_ = new TModuleScan(context_, this);
    connect(scan_, &TModuleScan::progress, this, [this](int module) {
        if (windows_.scanModules) windows_.scanModules->setProgress(module);
    });
    connect(scan_, &TModuleScan::channelRows, this, [this](int count) { setChannelRows(count); });
    connect(scan_, &TModuleScan::cell, this, &TMainForm::setCell);
    connect(scan_, &TModuleScan::rowShown, this, [this](int row) {
        grid_->setRowHidden(row - 1, false);
        grid_->setRowHeight(row - 1, kRowHeight);
    });
    connect(scan_, &TModuleScan::scanned, this, &TMainForm::scanFinished);
    // A scan that stopWorkers has already ended and deleted is not touched again.
    connect(scan_, &QThread::finished, this, [this, guard = QPointer<TModuleScan>(scan_)] {
        if (!guard || guard != scan_) return;
        grid_->setUpdatesEnabled(true);
        scan_->wait();
        delete scan_;
        scan_ = nullptr;
        if (rescanWanted_) {
            rescanWanted_ = false;
            startModuleScan();
        }
        updateReconnect();
    });
    // No move starts while the scan uses the link; the scan's end gives the controls back.
    for (QPushButton* b : {buttonCcwRun_, buttonCcwSteps_, buttonCwSteps_, buttonCwRun_})
        b->setEnabled(false);
    grid_->setEnabled(false);
    actionScan_->setEnabled(false);
    scan_->start();
    updateReconnect();
}

void TMainForm::scanFinished(int modulesFound, int countersRead) {
    const bool found = modulesFound > 0;
    if (found) {
        statusText_->setText("Vellumotor controls ready");
        writeMarkers(1);
        if (windows_.scanModules) windows_.scanModules->hide();
        setControllerControls(true);
        actionIpSetup_->setEnabled(true);
    } else {
        statusText_->setText("No Vellumotors found");
        setControllerControls(false);
        actionIpSetup_->setEnabled(false);
        if (windows_.scanModules) windows_.scanModules->hide();
        context_.prompts.message(
            this,
            "Vellumotor Control System not available\n\n-Make sure the correct channel is "
            "selected on the PC interface\n-try to scan again \n   or\n-try to restart the PC "
            "interface",
            kProgramTitle, PromptIcon::Error);
    }
    if (countersRead > 2) setGridColumns(kColumnsWithCounter);
    state_.selectedRow = 1;
    Q_EMIT moduleScanFinished(found);
}

void TMainForm::writeMarkers(int selectedRow) {
    const int rows = std::min(grid_->rowCount(), kMarkerRows);
    for (int row = 1; row <= rows; ++row) setCell(row, kColSel, " ");
    if (grid_->rowCount() > 1 || selectedRow == 1) setCell(selectedRow, kColSel, "=>");
}

// --- Grid ---

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint pos = mouse->position().toPoint();
        if (watched == grid_->viewport()) {
            int row = grid_->rowAt(pos.y()) + 1;
            if (row == 0) row = grid_->rowCount();  // below the rows: the last row
            gridPressed(row, grid_->columnAt(pos.x()), mouse->button(), mouse->globalPosition().toPoint());
        } else if (watched == grid_->horizontalHeader()->viewport()) {
            gridPressed(1, grid_->horizontalHeader()->logicalIndexAt(pos), mouse->button(),
                        mouse->globalPosition().toPoint());
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::gridPressed(int row, int column, Qt::MouseButton button, const QPoint& globalPos) {
    if (row < 1) return;
    grid_->setEditTriggers(IsEditableColumn(column)
                               ? QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                                     QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed
                               : QAbstractItemView::NoEditTriggers);
    const int rows = std::min(grid_->rowCount(), kMarkerRows);
    for (int r = 1; r <= rows; ++r) setCell(r, kColSel, " ");
    if (grid_->rowCount() > 1) setCell(row, kColSel, "=>");
    state_.selectedRow = static_cast<std::uint8_t>(row);
    if (button != Qt::RightButton) return;
    if (column == kColType) typeMenu_->popup(globalPos);
    if (column == kColCounter) counterMenu_->popup(globalPos);
}

void TMainForm::cellEdited(int row, int column, const QString& text, QLineEdit* editor) {
    (void)row;
    const CellCheck check = CheckCell(column, text);
    if (check.text != text) editor->setText(check.text);
    if (check.messages.isEmpty()) return;
    // The box is shown once the editor's signal has returned: it takes the focus, the grid then
    // ends the editor and deletes it, and nothing of the editor's own call may run after that.
    QTimer::singleShot(0, this, [this, messages = check.messages] {
        for (const QString& message : messages)
            context_.prompts.message(this, message, "Error", PromptIcon::Error);
    });
}

void TMainForm::chooseType(int profile) {
    if (state_.selectedRow == 0) return;
    const ProfileTable& profiles = context_.vmdm.profiles();
    if (profile < 0 || profile >= static_cast<int>(profiles.size())) return;
    setCell(state_.selectedRow, kColType,
            QString::fromLatin1(profiles[static_cast<std::size_t>(profile)].name.view()));
}

// --- User memory ---

void TMainForm::storeUserMemory() {
    struct Row {
        std::uint16_t frequency, stepSize, temperature;
        std::string type, tag;
    };
    auto text = [this](int row, int column) {
        const QTableWidgetItem* item = grid_->item(row - 1, column);
        return item ? item->text() : QString();
    };
    std::vector<Row> rows;
    for (int r = 1; r <= grid_->rowCount(); ++r) {
        rows.push_back({static_cast<std::uint16_t>(DecimalValue(text(r, kColFrequency))),
                        static_cast<std::uint16_t>(DecimalValue(text(r, kColStepSize))),
                        static_cast<std::uint16_t>(DecimalValue(text(r, kColTemperature))),
                        text(r, kColType).toLatin1().toStdString(),
                        text(r, kColTag).toLatin1().toStdString()});
    }
    context_.runner.run(
        [&ctx = context_, rows] {
            PCI& pci = ctx.pci;
            ChannelRecord record = pci.channelRecord();
            StoreOutcome outcome;
            unsigned index = 0;
            for (const Row& row : rows) {
                record.frequency = row.frequency;
                record.stepSize = row.stepSize;
                record.temperature = row.temperature;
                record.type.assign(row.type);
                record.tag.assign(row.tag);
                // A type that names no profile keeps the profile values the record last held.
                for (const VMdef& profile : ctx.vmdm.profiles()) {
                    if (profile.name.view() != row.type) continue;
                    record.paramB = static_cast<std::uint16_t>(profile.paramB);
                    record.paramA = static_cast<std::uint16_t>(profile.paramA);
                    record.invertFlag = profile.invertDirection;
                }
                pci.setChannelRecord(record);
                if (pci.StoreChannel(++index)) outcome.refusedRows << static_cast<int>(index);
            }
            outcome.commitRefused = pci.CommitChannels();
            return outcome;
        },
        this, [this](const StoreOutcome& outcome) { storeDone(outcome); });
}

void TMainForm::storeDone(const StoreOutcome& outcome) {
    if (outcome.refusedRows.isEmpty() && !outcome.commitRefused) {
        startModuleScan();
        return;
    }
    // The grid keeps what the user typed, so the refused rows can be mended and stored again;
    // a scan now would put the controller's old values over them.
    QStringList labels;
    for (const int row : outcome.refusedRows) labels << ChannelLabel(row);
    QString text;
    if (!labels.isEmpty())
        text = "The controller refused the settings of " + labels.join(", ") +
               ".\nCheck type and tag of these rows and store again.";
    if (outcome.commitRefused)
        text +=
            QString(text.isEmpty() ? "" : "\n") + "The controller did not save the list in its user memory.";
    context_.prompts.message(this, text, kProgramTitle, PromptIcon::Error);
}

void TMainForm::clearUserMemory() {
    if (!context_.prompts.askYesNo(this, "Are you sure you want to clear all Vellumotor settings?",
                                   kProgramTitle, PromptIcon::Question))
        return;
    context_.runner.run(
        [&ctx = context_] {
            PCI& pci = ctx.pci;
            ChannelRecord record = pci.channelRecord();
            record.frequency = 0;
            record.stepSize = 0;
            record.temperature = 0;
            const std::string erased(1, static_cast<char>(255));
            record.type.assign(erased);
            record.tag.assign(erased);
            pci.setChannelRecord(record);
            StoreOutcome outcome;
            if (pci.StoreChannel(1)) outcome.refusedRows << 1;
            outcome.commitRefused = pci.CommitChannels();
            return outcome;
        },
        this, [this](const StoreOutcome& outcome) { storeDone(outcome); });
}

void TMainForm::showVersion() {
    context_.prompts.message(this, "VMControlSystem 5.3.20181010", "Version Information",
                             PromptIcon::Question);
}

// --- Shutdown ---

void TMainForm::stopWorkers() {
    stopPositionMonitors();
    if (scan_) {
        scan_->requestInterruption();
        scan_->wait();
        delete scan_;
        scan_ = nullptr;
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!isEnabled()) {
        // The diagnostic window or the emergency panel holds this window: it may have a worker
        // or a move of its own under way. The close waits until that window has given this one
        // back, and the window in charge comes to the front.
        event->ignore();
        for (QWidget* window :
             {static_cast<QWidget*>(windows_.diagnostic), static_cast<QWidget*>(windows_.emergencyPanel)})
            if (window && window->isVisible()) {
                window->raise();
                window->activateWindow();
            }
        return;
    }
    if (moveRunning_ && !closeStopSent_) {
        // The program ends with the window: a module left running could no longer be stopped.
        // The monitor ends first, then the stop (one exchange, queued behind a move line still
        // under way) goes out, and the close goes on once it has ended.
        event->ignore();
        closeStopSent_ = true;
        stopPositionMonitors();
        context_.runner.run([&ctx = context_, m = moveModule_] { ctx.vmdm.Stop(m); }, this,
                            [this] { close(); });
        return;
    }
    stopWorkers();
    context_.current.access([](COM_METHOD* link) {
        if (link) link->Close();
    });
    QMainWindow::closeEvent(event);
}

}  // namespace vm::gui
