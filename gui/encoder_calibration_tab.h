#pragma once
// The controls of the diagnostic window's "Encoder Calibration" tab: the encoder channel list,
// the move direction and temperature, the measurement chart with the counter and analog values,
// and the detector gain and thresholds with their set and read values.
#include <QWidget>

class QAbstractAxis;
class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QLineSeries;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSlider;
class QValueAxis;

namespace vm::gui {

class TEncoderCalibrationTab final : public QWidget {
    Q_OBJECT

  public:
    explicit TEncoderCalibrationTab(QWidget* parent = nullptr);

    QListWidget* channelList = nullptr;
    QRadioButton* moveCw = nullptr;
    QRadioButton* moveCcw = nullptr;
    QComboBox* temperature = nullptr;
    QPushButton* autoCalibration = nullptr;
    QPushButton* manualSetup = nullptr;

    QChartView* chartView = nullptr;
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
};

}  // namespace vm::gui
