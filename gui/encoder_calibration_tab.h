#pragma once
// The controls of the diagnostic window's "Encoder Calibration" tab: the encoder channel list,
// the move direction and temperature, the measurement chart with the counter and analog values,
// and the detector gain and thresholds with their set and read values; and the workers behind
// them: the encoder measurement, the detector reader and writer, and the hand-over of the
// controller to the command-line tool for the automatic calibration.
#include <QList>
#include <QPointF>
#include <QWidget>
#include <atomic>
#include <cstddef>

#include "gui/diagnostic_state.h"
#include "gui/encoder_handshake.h"

class QComboBox;
class QLabel;
class QLineSeries;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSlider;
class QThread;
class QTimer;
class QValueAxis;

namespace vm::gui {

struct AppContext;
class TFormDiagnostic;
class CalibrationTool;
class ChartPlace;
class TOEMMeasurement;
class TOEMAutoCalibration;

class TEncoderCalibrationTab final : public QWidget {
    Q_OBJECT

  public:
    // How often the chart and value labels follow a running measurement.
    static constexpr int kRefreshMs = 40;
    // The time axis shows this many seconds.
    static constexpr double kTimeWindowS = 10.0;

    TEncoderCalibrationTab(AppContext& context, TFormDiagnostic& host, QWidget* parent = nullptr);
    ~TEncoderCalibrationTab() override;

    // "Manual Setup", "Get Values", "Set Values", "Auto Calibration".
    void manualSetupPressed();
    void getDetector();
    void setDetector();
    void startAutoCalibration();
    // Stops reopening the link after a calibration; the link stays closed.
    void cancelReopen();

    // A measurement, a detector thread or a calibration hand-over is under way.
    bool busy() const;
    bool measuring() const { return measurement_ != nullptr; }
    bool measurementRunning() const { return running_; }
    bool calibrating() const { return calibration_ != nullptr; }
    std::size_t samplesShown() const { return shown_; }
    CalibrationTool& tool() { return *tool_; }
    EncoderHandshake& handshake() { return handshake_; }
    // The text under the chart that says how the calibration hand-over went.
    QString statusText() const;
    // The measurement log, in the working directory.
    QString logPath;

    QListWidget* channelList = nullptr;
    QRadioButton* moveCw = nullptr;
    QRadioButton* moveCcw = nullptr;
    QComboBox* temperature = nullptr;
    QPushButton* autoCalibration = nullptr;
    QPushButton* manualSetup = nullptr;

    // The chart is made when the tab is first shown.
    ChartPlace* chart = nullptr;
    QValueAxis* timeAxis = nullptr;
    QValueAxis* analogAxis = nullptr;
    QValueAxis* differentialAxis = nullptr;
    QValueAxis* thresholdAxis = nullptr;
    QLineSeries* analogSeries = nullptr;
    QLineSeries* differentialSeries = nullptr;
    QLineSeries* highLine = nullptr;
    QLineSeries* lowLine = nullptr;
    QLabel* counterValue = nullptr;
    QLabel* adcValue = nullptr;

    QSlider* gainBar = nullptr;
    QSlider* highBar = nullptr;
    QSlider* lowBar = nullptr;
    QLabel* gainSet = nullptr;
    QLabel* highSet = nullptr;
    QLabel* lowSet = nullptr;
    QLabel* gainGet = nullptr;
    QLabel* highGet = nullptr;
    QLabel* lowGet = nullptr;
    QPushButton* getValues = nullptr;
    QPushButton* setValues = nullptr;
    QPushButton* cancelReopenButton = nullptr;
    QLabel* status = nullptr;

  Q_SIGNALS:
    void measurementFinished();
    void detectorFinished();
    void calibrationFinished();

  private:
    void channelClicked();
    void temperatureChosen();
    void lowMoved(int value);
    void highMoved(int value);
    void refresh();
    void measurementEnded();
    void setMeasuringControls(bool measuring);
    void setThreshold(QLineSeries* line, int value);
    void showDetector(int high, int low, int gain);
    void setCalibrationControls(bool enabled);
    void launchTool(const QString& selector);
    QString toolOutcome() const;
    void calibrationEnded(const QString& text);
    void readBackDetector();

    AppContext& context_;
    TFormDiagnostic& host_;
    EncoderHandshake handshake_;
    std::atomic<bool> stop_{false};
    bool running_ = false;
    bool applying_ = false;  // bars moved by a read, not by the user: no snapping
    TOEMMeasurement* measurement_ = nullptr;
    QThread* detector_ = nullptr;
    TOEMAutoCalibration* calibration_ = nullptr;
    CalibrationTool* tool_ = nullptr;
    int calibrationTemperature_ = 0;
    QString toolProgram_;
    DiagnosticChannel measured_;    // the channel of the running measurement
    DiagnosticChannel calibrated_;  // the channel handed to the tool
    QTimer* refresh_ = nullptr;
    std::size_t shown_ = 0;
    QList<QPointF> analogPoints_;
    QList<QPointF> differentialPoints_;
};

}  // namespace vm::gui
