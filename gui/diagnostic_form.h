#pragma once
// "Diagnostic and Calibration": the module diagnostic, the driver check with its amplifier
// characteristic, the encoder calibration tab, and the diagnostic report. Opened from the main
// window, which stays disabled while this window is open. At most one worker runs at a time,
// and the window is disabled while it runs.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QWidget>

#include "gui/diagnostic_state.h"

class QCheckBox;
class QComboBox;
class QLineSeries;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QThread;

namespace vm::gui {

struct AppContext;
class TMainForm;
class TEncoderCalibrationTab;
class ChartPlace;

class TFormDiagnostic final : public QWidget {
    Q_OBJECT

  public:
    // Tab indexes.
    enum Tab { kTabDiagnostic = 0, kTabEncoder = 1, kTabDriver = 2 };

    TFormDiagnostic(AppContext& context, TMainForm& main, QWidget* parent = nullptr);
    ~TFormDiagnostic() override;

    // The main menu's "Diagnostic / Calibration": hides the two tabs, shows the window, clears
    // the lists and starts the module diagnostic.
    void openFromMenu();
    // "Check", "Measure", "Save Result" and "Close".
    void startDriverCheck();
    void startAmplifierMeasurement();
    void saveResult();
    void closeSequence();

    // A worker of this window or of the encoder tab runs.
    bool busy() const;
    bool tabShown(Tab tab) const;
    const DetectedModules& detectedModules() const { return detected_; }
    DiagnosticChannel diagnosticChannel() const { return channel_; }
    void setDiagnosticChannel(DiagnosticChannel channel) { channel_ = channel; }
    bool settingsChanged() const { return settingsChanged_; }
    void setSettingsChanged(bool changed) { settingsChanged_ = changed; }
    // A detector setting of the channel was written: the close sequence offers to store it.
    void detectorWritten(DiagnosticChannel channel);
    const QList<DiagnosticChannel>& writtenChannels() const { return written_; }

    QListWidget* monitorList() const { return monitorList_; }
    QListWidget* driverList() const { return driverList_; }
    QComboBox* amplifierChannels() const { return amplifierChannels_; }
    QLineSeries* characteristicSeries() const { return characteristic_; }
    QLineSeries* pushSeries() const { return push_; }
    QLineSeries* pullSeries() const { return pull_; }
    TEncoderCalibrationTab& encoderTab() const { return *encoderTab_; }
    QPushButton* closeButton() const { return close_; }
    QPushButton* saveButton() const { return saveResult_; }
    QPushButton* checkButton() const { return check_; }

    // The report as "Save Result" writes it, with the measurement log given.
    QByteArray report(const QByteArray* measurementLog) const;

  Q_SIGNALS:
    // A worker of this window has ended and the window is enabled again.
    void workerFinished();
    // The close sequence has ended (the window is hidden).
    void closed();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildDriverTab(QWidget* tab);
    void startModuleDiagnostic();
    // Disables the window, runs the worker and enables the window when it ends.
    void startWorker(QThread* worker);
    void stopWorker();
    void addDriverLine(const QString& text);
    void amplifierChosen(int index);
    void finishClose();

    AppContext& context_;
    TMainForm& main_;
    DetectedModules detected_;
    DiagnosticChannel channel_;
    bool settingsChanged_ = false;
    QList<DiagnosticChannel> written_;  // in the order first written
    bool closing_ = false;
    QThread* worker_ = nullptr;

    QTabWidget* tabs_ = nullptr;
    QListWidget* monitorList_ = nullptr;
    TEncoderCalibrationTab* encoderTab_ = nullptr;
    QListWidget* driverList_ = nullptr;
    QPushButton* check_ = nullptr;
    QCheckBox* driveSignal_ = nullptr;
    ChartPlace* amplifierChart_ = nullptr;  // the chart is made when the tab is first shown
    QLineSeries* characteristic_ = nullptr;
    QLineSeries* push_ = nullptr;
    QLineSeries* pull_ = nullptr;
    QPushButton* measure_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QComboBox* amplifierChannels_ = nullptr;
    QPushButton* saveResult_ = nullptr;
    QPushButton* close_ = nullptr;
};

// The measurement log's name, in the program's working directory.
inline const QString kMeasurementLogName = QStringLiteral("VMdiag.log");

}  // namespace vm::gui
