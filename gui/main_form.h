#pragma once
// The main window: start-up device search, the actuator grid filled by the module scan, the
// user-memory store and clear, "Scan LAN" and the menu that opens every other window.
#include <QList>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <optional>

#include "gui/grid_layout.h"
#include "gui/link_factory.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableWidget;
class QTimer;

namespace vm::gui {

struct AppContext;
class TFormScanModules;
class TFormCabinetSelect;
class TFormIPSetup;
class TFormIPConnect;
class TModuleScan;
class TFormEmergencyPanel;
class TFormDCSet;
class TOEMGetPosition;
class TFormDiagnostic;

enum class ConnectionState { None, OneDevice, SeveralDevices };

// Shared with the dialogs and the position monitor.
struct WindowState {
    std::uint8_t selectedRow = 1;  // 1-based grid row of the last press
    ConnectionState connection = ConnectionState::None;
    bool monitorMode = false;
    bool scanRequest = false;              // Yes to the start-up LAN question
    std::atomic<bool> stopRequest{false};  // Abort asks the position monitor to stop the move
    std::uint8_t positionRow = 1;
};

inline const QString kMainCaption = QStringLiteral("Vellumotor Control System ");

class TMainForm final : public QMainWindow {
    Q_OBJECT

  public:
    // The windows this one opens; they are created after it.
    struct Windows {
        TFormScanModules* scanModules = nullptr;
        TFormDiagnostic* diagnostic = nullptr;
        TFormCabinetSelect* cabinetSelect = nullptr;
        TFormEmergencyPanel* emergencyPanel = nullptr;
        TFormDCSet* dcSet = nullptr;
        TFormIPSetup* ipSetup = nullptr;
        TFormIPConnect* ipConnect = nullptr;
    };

    // Builds the window and starts the device search (or the monitor link) that its arguments
    // ask for: none, or "@CMON" and a pipe name.
    TMainForm(AppContext& context, const QStringList& arguments, QWidget* parent = nullptr);
    ~TMainForm() override;
    void setWindows(const Windows& windows) { windows_ = windows; }

    // The connection logic the dialogs share.
    // Sets the caption to "Vellumotor Control System: " + identifier (replacing it).
    void setConnectedCaption(const QString& identifier);
    // The link field at the right of the status bar.
    void setLinkDescription(LinkKind kind, const QString& selector);
    // The same for the link of the kind already shown, opened with a new selector.
    void setLinkSelector(const QString& selector) { setLinkDescription(linkKind_, selector); }
    // Shows the module-scan window and starts a scan; ignored while one runs.
    void startModuleScan();
    bool scanRunning() const { return scan_ != nullptr; }
    bool moveRunning() const { return moveRunning_; }

    // Menu actions.
    void scanLan();
    void storeUserMemory();
    void clearUserMemory();
    void showVersion();
    // Opens the last opened link again (same kind and selector) and scans it.
    void reconnect();
    void chooseType(int profile);
    // Looks at how the link answered lately and updates the link field.
    void refreshLinkStatus();

    QTableWidget* grid() const { return grid_; }
    // Columns of the grid in use: 8 at start, 10 after a scan that read more than two counters.
    int gridColumns() const { return columnCount_; }
    WindowState& state() { return state_; }
    int selectedRow() const { return state_.selectedRow; }
    QString statusText() const;
    QString linkStatusText() const;

    // Moves and the counter menu (main_form_moves.cpp). Direction 1 is clockwise.
    void runPressed(std::uint8_t direction);
    void stepsPressed(std::uint8_t direction);
    void abortPressed();
    // Clears the stop request and starts the position monitor for the selected row.
    void startPositionMonitor();
    bool positionMonitorRunning() const { return monitor_ != nullptr; }
    // Counter menu: "Reset" and "Get Position" for the selected row.
    void resetCounter();
    void getPosition();

  Q_SIGNALS:
    // After the start-up dispatch that follows the device search and the first show.
    void startupDone();
    void moduleScanFinished(bool found);

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct SearchResult;
    // What a store or clear left refused: the 1-based rows whose record the controller did not
    // take, and whether it refused to save the list.
    struct StoreOutcome {
        QList<int> refusedRows;
        bool commitRefused = false;
    };
    void storeDone(const StoreOutcome& outcome);

    void buildMenus();
    void buildGrid();
    void searchDevice(const QStringList& arguments);
    void applySearch(const SearchResult& result);
    void dispatchAfterShow();
    void showNotConnected(bool replaceCaption);
    void setControllerControls(bool enabled);
    void setGridColumns(int count);
    void setChannelRows(int count);
    void setCell(int row, int column, const QString& text);
    void writeMarkers(int selectedRow);
    void gridPressed(int row, int column, Qt::MouseButton button, const QPoint& globalPos);
    void cellEdited(int row, int column, const QString& text, QLineEdit* editor);
    void scanFinished(int modulesFound, int countersRead);
    void stopWorkers();
    void updateReconnect();
    void buildMoveControls();
    void setMoveControls(bool enabled);
    void startMove(std::uint8_t direction, bool steps);
    void launchPositionMonitor();
    void stopPositionMonitors();

    AppContext& context_;
    Windows windows_;
    WindowState state_;
    bool searched_ = false;
    bool shown_ = false;
    bool dispatched_ = false;
    QString searchIdentifier_;
    QStringList searchIdentifiers_;

    QTableWidget* grid_ = nullptr;
    int columnCount_ = 0;
    QMenu* fileMenu_ = nullptr;
    QMenu* typeMenu_ = nullptr;
    QLabel* statusText_ = nullptr;
    QLabel* linkStatus_ = nullptr;
    QTimer* linkTimer_ = nullptr;
    QString linkDescription_;
    LinkKind linkKind_ = LinkKind::Ftdi;
    bool linkAnswering_ = true;
    QAction* actionScanLan_ = nullptr;
    QAction* actionManualIp_ = nullptr;
    QAction* actionReconnect_ = nullptr;
    QAction* actionIpSetup_ = nullptr;
    QAction* actionEmergency_ = nullptr;
    QAction* actionScan_ = nullptr;
    QAction* actionDiagnostic_ = nullptr;
    QAction* actionDcLevel_ = nullptr;
    QAction* actionStore_ = nullptr;
    QAction* actionClear_ = nullptr;
    QAction* actionExit_ = nullptr;
    QPushButton* buttonCcwRun_ = nullptr;
    QPushButton* buttonCcwSteps_ = nullptr;
    QPushButton* buttonAbort_ = nullptr;
    QPushButton* buttonCwSteps_ = nullptr;
    QPushButton* buttonCwRun_ = nullptr;
    TModuleScan* scan_ = nullptr;
    QMenu* counterMenu_ = nullptr;
    TOEMGetPosition* monitor_ = nullptr;
    bool moveRunning_ = false;     // from a move press until its controls come back
    std::uint8_t moveModule_ = 0;  // the module of the last move pressed
    bool closeStopSent_ = false;   // the close has stopped the moving module and may go on
    bool rescanWanted_ = false;    // a scan was asked for while one ran
    struct LastLink {
        LinkKind kind;
        QString selector;
    };
    std::optional<LastLink> lastLink_;
    bool reconnecting_ = false;
};

}  // namespace vm::gui
