#include "gui/encoder_calibration_tab.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QPen>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>
#include <QValueAxis>

namespace vm::gui {

namespace {

QValueAxis* Axis(QChart* chart, Qt::Alignment side, double low, double high, const QString& title) {
    auto* axis = new QValueAxis(chart);
    axis->setRange(low, high);
    axis->setTitleText(title);
    chart->addAxis(axis, side);
    return axis;
}

QLineSeries* Series(QChart* chart, const QString& name, const QColor& color, QAbstractAxis* x,
                    QAbstractAxis* y) {
    auto* series = new QLineSeries(chart);
    series->setName(name);
    chart->addSeries(series);
    // After addSeries, which gives the series the theme's colour.
    series->setPen(QPen(color, 1.5));
    series->attachAxis(x);
    series->attachAxis(y);
    return series;
}

}  // namespace

TEncoderCalibrationTab::TEncoderCalibrationTab(QWidget* parent) : QWidget(parent) {
    setObjectName("EncoderCalibrationTab");
    auto name = [](auto* widget, const char* objectName) {
        widget->setObjectName(objectName);
        return widget;
    };

    auto* select = new QGroupBox("Channel Select", this);
    auto* selectLayout = new QVBoxLayout(select);
    channelList = name(new QListWidget(select), "encoderChannelList");
    moveCw = name(new QRadioButton("Move CW", select), "moveCw");
    moveCcw = name(new QRadioButton("Move CCW", select), "moveCcw");
    moveCw->setChecked(true);
    moveCw->setEnabled(false);
    moveCcw->setEnabled(false);
    temperature = name(new QComboBox(select), "temperatureList");
    temperature->addItems({"1", "4", "10", "20", "77", "293"});
    temperature->setEnabled(false);
    autoCalibration = name(new QPushButton("Auto Calibration", select), "buttonAutoCalibration");
    manualSetup = name(new QPushButton("Manual Setup", select), "buttonManualSetup");
    autoCalibration->setEnabled(false);
    manualSetup->setEnabled(false);
    selectLayout->addWidget(channelList, 1);
    selectLayout->addWidget(moveCw);
    selectLayout->addWidget(moveCcw);
    auto* temperatureRow = new QHBoxLayout;
    temperatureRow->addWidget(new QLabel("Temperature [K]", select));
    temperatureRow->addWidget(temperature);
    selectLayout->addLayout(temperatureRow);
    selectLayout->addWidget(autoCalibration);
    selectLayout->addWidget(manualSetup);

    auto* data = new QGroupBox("Measurement data", this);
    auto* dataLayout = new QVBoxLayout(data);
    auto* chart = new QChart;
    chart->legend()->hide();
    timeAxis = Axis(chart, Qt::AlignBottom, 0, 10, "Time [s]");
    analogAxis = Axis(chart, Qt::AlignLeft, 0, 255, "Analog Signal [ticks]");
    differentialAxis = Axis(chart, Qt::AlignRight, -2, 2, "Differential Count");
    thresholdAxis = Axis(chart, Qt::AlignTop, 0, 1, QString());
    thresholdAxis->setLabelsVisible(false);
    analogSeries = Series(chart, "Analog", Qt::black, timeAxis, analogAxis);
    differentialSeries = Series(chart, "Differential", Qt::red, timeAxis, differentialAxis);
    highLine = Series(chart, "High", Qt::darkGreen, thresholdAxis, analogAxis);
    lowLine = Series(chart, "Low", Qt::blue, thresholdAxis, analogAxis);
    chartView = name(new QChartView(chart, data), "measurementChart");
    chartView->setMinimumSize(360, 220);
    dataLayout->addWidget(chartView, 1);
    auto* values = new QHBoxLayout;
    counterValue = name(new QLabel("NaN", data), "counterValue");
    adcValue = name(new QLabel("NaN", data), "adcValue");
    values->addWidget(new QLabel("Counter Value", data));
    values->addWidget(counterValue);
    values->addWidget(new QLabel("ADC Value", data));
    values->addWidget(adcValue);
    dataLayout->addLayout(values);

    auto* detection = new QGroupBox("Detection Parameters: Gain / Compare", this);
    auto* grid = new QGridLayout(detection);
    grid->addWidget(new QLabel("Set", detection), 0, 2);
    grid->addWidget(new QLabel("Get", detection), 0, 3);
    auto row = [&](int r, const QString& caption, const char* bar, const char* set, const char* get,
                   QSlider*& slider, QLabel*& setLabel, QLabel*& getLabel) {
        slider = name(new QSlider(Qt::Horizontal, detection), bar);
        slider->setRange(0, 255);
        slider->setEnabled(false);
        setLabel = name(new QLabel("?", detection), set);
        getLabel = name(new QLabel("?", detection), get);
        grid->addWidget(new QLabel(caption, detection), r, 0);
        grid->addWidget(slider, r, 1);
        grid->addWidget(setLabel, r, 2);
        grid->addWidget(getLabel, r, 3);
    };
    row(1, "Gain", "gainBar", "gainSet", "gainGet", gainBar, gainSet, gainGet);
    row(2, "High ", "highBar", "highSet", "highGet", highBar, highSet, highGet);
    row(3, "Low", "lowBar", "lowSet", "lowGet", lowBar, lowSet, lowGet);
    getValues = name(new QPushButton("Get Values", detection), "buttonGetValues");
    setValues = name(new QPushButton("Set Values", detection), "buttonSetValues");
    getValues->setEnabled(false);
    setValues->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(getValues);
    buttons->addWidget(setValues);
    grid->addLayout(buttons, 4, 0, 1, 4);

    auto* layout = new QGridLayout(this);
    layout->addWidget(select, 0, 0, 2, 1);
    layout->addWidget(data, 0, 1);
    layout->addWidget(detection, 1, 1);
    layout->setColumnStretch(1, 1);
}

}  // namespace vm::gui
