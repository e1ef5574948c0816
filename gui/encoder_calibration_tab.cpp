#include "gui/encoder_calibration_tab.h"

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
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

#include "gui/app_context.h"
#include "gui/calibration_tool.h"
#include "gui/chart_parts.h"
#include "gui/diagnostic_form.h"
#include "gui/grid_layout.h"
#include "gui/thread_oem_auto_calibration.h"
#include "gui/thread_oem_get_thresholds.h"
#include "gui/thread_oem_measurement.h"
#include "gui/thread_oem_set_thresholds.h"

namespace vm::gui {

namespace {

// The points a chart of the window needs: per time slot of the visible span its lowest and its
// highest point, in time order. A fast link gives some 100000 samples in 10 s, far more than the
// chart has pixels, and drawing them all would take the event loop's time for nothing.
QList<QPointF> Envelope(const QList<QPointF>& points, double from, double span) {
    constexpr int kSlots = 1000;
    if (points.size() <= 2 * kSlots) return points;
    QList<QPointF> out;
    out.reserve(2 * kSlots + 2);
    qsizetype i = 0;
    for (int slot = 0; slot < kSlots && i < points.size(); ++slot) {
        const double end = from + span * (slot + 1) / kSlots;
        if (points[i].x() >= end && slot + 1 < kSlots) continue;
        QPointF low = points[i];
        QPointF high = points[i];
        for (; i < points.size() && (points[i].x() < end || slot + 1 == kSlots); ++i) {
            if (points[i].y() < low.y()) low = points[i];
            if (points[i].y() > high.y()) high = points[i];
        }
        if (low.x() <= high.x()) {
            out << low;
            if (high != low) out << high;
        } else {
            out << high << low;
        }
    }
    return out;
}

}  // namespace

TEncoderCalibrationTab::TEncoderCalibrationTab(AppContext& context, TFormDiagnostic& host, QWidget* parent)
    : QWidget(parent), logPath(kMeasurementLogName), context_(context), host_(host) {
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
    cancelReopenButton = name(new QPushButton("Cancel Reopen", select), "buttonCancelReopen");
    cancelReopenButton->hide();
    selectLayout->addWidget(cancelReopenButton);

    auto* data = new QGroupBox("Measurement data", this);
    auto* dataLayout = new QVBoxLayout(data);
    chart = new ChartPlace("measurementChart", data);
    chart->setMinimumSize(360, 220);
    timeAxis = chart->addAxis(Qt::AlignBottom, 0, 10, "Time [s]");
    analogAxis = chart->addAxis(Qt::AlignLeft, 0, 255, "Analog Signal [ticks]");
    differentialAxis = chart->addAxis(Qt::AlignRight, -2, 2, "Differential Count");
    thresholdAxis = chart->addAxis(Qt::AlignTop, 0, 1, QString());
    thresholdAxis->setLabelsVisible(false);
    analogSeries = chart->addSeries("Analog", Qt::black, timeAxis, analogAxis);
    differentialSeries = chart->addSeries("Differential", Qt::red, timeAxis, differentialAxis);
    highLine = chart->addSeries("High", Qt::darkGreen, thresholdAxis, analogAxis);
    lowLine = chart->addSeries("Low", Qt::blue, thresholdAxis, analogAxis);
    dataLayout->addWidget(chart, 1);
    auto* values = new QHBoxLayout;
    counterValue = name(new QLabel("NaN", data), "counterValue");
    adcValue = name(new QLabel("NaN", data), "adcValue");
    values->addWidget(new QLabel("Counter Value", data));
    values->addWidget(counterValue);
    values->addWidget(new QLabel("ADC Value", data));
    values->addWidget(adcValue);
    dataLayout->addLayout(values);
    status = name(new QLabel(data), "calibrationStatus");
    status->setWordWrap(true);
    dataLayout->addWidget(status);

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

    tool_ = new CalibrationTool(this);
    refresh_ = new QTimer(this);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, &TEncoderCalibrationTab::refresh);
    connect(channelList, &QListWidget::itemClicked, this, &TEncoderCalibrationTab::channelClicked);
    connect(temperature, &QComboBox::activated, this, &TEncoderCalibrationTab::temperatureChosen);
    connect(manualSetup, &QPushButton::clicked, this, &TEncoderCalibrationTab::manualSetupPressed);
    connect(getValues, &QPushButton::clicked, this, &TEncoderCalibrationTab::getDetector);
    connect(setValues, &QPushButton::clicked, this, &TEncoderCalibrationTab::setDetector);
    connect(autoCalibration, &QPushButton::clicked, this, &TEncoderCalibrationTab::startAutoCalibration);
    connect(cancelReopenButton, &QPushButton::clicked, this, &TEncoderCalibrationTab::cancelReopen);
    connect(lowBar, &QSlider::valueChanged, this, &TEncoderCalibrationTab::lowMoved);
    connect(highBar, &QSlider::valueChanged, this, &TEncoderCalibrationTab::highMoved);
}

TEncoderCalibrationTab::~TEncoderCalibrationTab() {
    // Workers end before the state they share goes: the detector thread first (the sampler lets
    // go of the link once interrupted), then the sampler, then the hand-over.
    if (detector_) {
        detector_->requestInterruption();
        detector_->wait();
        delete detector_;
    }
    if (measurement_) {
        stop_.store(true);
        measurement_->requestInterruption();
        measurement_->wait();
        delete measurement_;
    }
    delete calibration_;
}

bool TEncoderCalibrationTab::busy() const {
    return measurement_ != nullptr || detector_ != nullptr || calibration_ != nullptr;
}

QString TEncoderCalibrationTab::statusText() const { return status->text(); }

// --- Channel, temperature, track bars ---

void TEncoderCalibrationTab::channelClicked() {
    const QListWidgetItem* item = channelList->currentItem();
    const auto channel = item ? ParseChannelItem(item->text()) : std::nullopt;
    if (!channel) return;
    host_.setDiagnosticChannel(*channel);
    temperature->setEnabled(true);
    moveCw->setEnabled(true);
    moveCcw->setEnabled(true);
}

void TEncoderCalibrationTab::temperatureChosen() {
    // While the tool calibrates or a measurement runs the buttons keep the state that run gave them.
    if (calibration_ || measurement_) return;
    // After a reopening the list stays enabled while no channel is chosen; that choice is ignored.
    const QList<QListWidgetItem*> selected = channelList->selectedItems();
    const auto channel = selected.isEmpty() ? std::nullopt : ParseChannelItem(selected.front()->text());
    if (!channel) return;
    host_.setDiagnosticChannel(*channel);
    if (channelList->count() > 0) {
        manualSetup->setEnabled(true);
        autoCalibration->setEnabled(true);
    }
}

void TEncoderCalibrationTab::lowMoved(int value) {
    if (!applying_ && value > highBar->value()) lowBar->setValue(highBar->value());
}

void TEncoderCalibrationTab::highMoved(int value) {
    if (!applying_ && value < lowBar->value()) highBar->setValue(lowBar->value());
}

// --- Manual measurement ---

void TEncoderCalibrationTab::manualSetupPressed() {
    if (running_) {
        running_ = false;
        stop_.store(true);
        manualSetup->setText("Manual Setup");
        return;
    }
    const DiagnosticChannel channel = host_.diagnosticChannel();
    if (measurement_ || calibration_ || channel.module == 0) return;
    running_ = true;
    manualSetup->setText("Stop");
    stop_.store(false);

    auto direction = TOEMMeasurement::Direction::None;
    if (moveCw->isChecked())
        direction = TOEMMeasurement::Direction::Cw;
    else if (moveCcw->isChecked())
        direction = TOEMMeasurement::Direction::Ccw;
    const auto kelvin = static_cast<std::uint16_t>(DecimalValue(temperature->currentText()));

    measured_ = channel;
    setMeasuringControls(true);
    status->clear();
    analogPoints_.clear();
    differentialPoints_.clear();
    analogSeries->clear();
    differentialSeries->clear();
    timeAxis->setRange(0, kTimeWindowS);
    shown_ = 0;

    measurement_ = new TOEMMeasurement(context_, channel.module, channel.channel, direction, kelvin,
                                       handshake_, stop_, logPath, this);
    connect(measurement_, &TOEMMeasurement::logFailed, this, [this](const QString& path) {
        status->setText("The measurement log " + path + " could not be written");
    });
    connect(measurement_, &QThread::finished, this, &TEncoderCalibrationTab::measurementEnded);
    measurement_->start();
    refresh_->start();
}

void TEncoderCalibrationTab::refresh() {
    if (!measurement_) return;
    const std::size_t available = measurement_->published();
    if (available == shown_) return;
    const double first = measurement_->sample(0).time;
    double t = 0;
    for (std::size_t n = shown_; n < available; ++n) {
        const EncoderSample& s = measurement_->sample(n);
        t = s.time - first;
        if (n == 0) continue;
        differentialPoints_.append(QPointF(t, s.count - measurement_->sample(n - 1).count));
        analogPoints_.append(QPointF(t, s.analog));
    }
    const EncoderSample& last = measurement_->sample(available - 1);
    adcValue->setText(QString::number(last.analog));
    counterValue->setText(QString::number(last.count));
    shown_ = available;
    // Only the points of the visible 10 s stay in the series, so drawing stays as cheap as the
    // window is wide in time, however long the measurement runs.
    const double from = t > kTimeWindowS ? t - kTimeWindowS : 0.0;
    timeAxis->setRange(from, t > kTimeWindowS ? t : kTimeWindowS);
    auto trim = [from](QList<QPointF>& points) {
        qsizetype keep = 0;
        while (keep < points.size() && points[keep].x() < from) ++keep;
        if (keep > 0) points.remove(0, keep);
    };
    trim(analogPoints_);
    trim(differentialPoints_);
    analogSeries->replace(Envelope(analogPoints_, from, kTimeWindowS));
    differentialSeries->replace(Envelope(differentialPoints_, from, kTimeWindowS));
}

void TEncoderCalibrationTab::measurementEnded() {
    refresh();
    refresh_->stop();
    measurement_->wait();
    delete measurement_;
    measurement_ = nullptr;
    setMeasuringControls(false);
    Q_EMIT measurementFinished();
}

void TEncoderCalibrationTab::setMeasuringControls(bool measuring) {
    // The detector is tuned only while a measurement shows its effect, so the track bars are
    // usable exactly when "Set Values" is. The channel list is not: the detector threads and the
    // chart belong to the channel being measured.
    for (QWidget* w : std::initializer_list<QWidget*>{setValues, getValues, gainBar, highBar, lowBar})
        w->setEnabled(measuring);
    for (QWidget* w : std::initializer_list<QWidget*>{autoCalibration, channelList, host_.closeButton(),
                                                      host_.saveButton()})
        w->setEnabled(!measuring);
}

// --- Detector settings ---

void TEncoderCalibrationTab::setThreshold(QLineSeries* line, int value) {
    // The level now in force, as a flat line across the chart; the last one read or written
    // replaces the one before.
    line->replace(QList<QPointF>{{0, double(value)}, {2, double(value)}});
}

void TEncoderCalibrationTab::showDetector(int high, int low, int gain) {
    setThreshold(highLine, high);
    setThreshold(lowLine, low);
    // The module's values are shown as they are, without the snapping of a user's move.
    applying_ = true;
    highBar->setValue(high);
    lowBar->setValue(low);
    gainBar->setValue(gain);
    applying_ = false;
    highGet->setText(QString::number(high));
    lowGet->setText(QString::number(low));
    gainGet->setText(QString::number(gain));
}

void TEncoderCalibrationTab::getDetector() {
    if (detector_) return;
    const DiagnosticChannel channel = measured_;
    auto* reader = new TOEMGetThresHolds(context_, channel.module, channel.channel, handshake_, this);
    connect(reader, &TOEMGetThresHolds::detectorRead, this, &TEncoderCalibrationTab::showDetector);
    detector_ = reader;
    connect(reader, &QThread::finished, this, [this] {
        detector_->wait();
        delete detector_;
        detector_ = nullptr;
        Q_EMIT detectorFinished();
    });
    reader->start();
}

void TEncoderCalibrationTab::setDetector() {
    if (detector_) return;
    const DiagnosticChannel channel = measured_;
    const int high = highBar->value();
    const int low = lowBar->value();
    const int gain = gainBar->value();
    highSet->setText(QString::number(high));
    lowSet->setText(QString::number(low));
    gainSet->setText(QString::number(gain));
    auto* writer = new TOEMSetThresHolds(context_, channel.module, channel.channel,
                                         static_cast<std::uint8_t>(high), static_cast<std::uint8_t>(low),
                                         static_cast<std::uint8_t>(gain), handshake_, this);
    connect(writer, &TOEMSetThresHolds::highWritten, this, [this, channel](int value) {
        highGet->setText(QString::number(value));
        setThreshold(highLine, value);
        host_.detectorWritten(channel);
    });
    connect(writer, &TOEMSetThresHolds::lowWritten, this, [this, channel](int value) {
        lowGet->setText(QString::number(value));
        setThreshold(lowLine, value);
        host_.detectorWritten(channel);
    });
    connect(writer, &TOEMSetThresHolds::gainWritten, this, [this, channel](int value) {
        gainGet->setText(QString::number(value));
        host_.detectorWritten(channel);
    });
    connect(writer, &TOEMSetThresHolds::noPause, this, [this] {
        status->setText("Detector settings not written: the measurement did not pause within 10 s");
    });
    detector_ = writer;
    connect(writer, &QThread::finished, this, [this] {
        detector_->wait();
        delete detector_;
        detector_ = nullptr;
        Q_EMIT detectorFinished();
    });
    writer->start();
}

// --- Automatic calibration ---

void TEncoderCalibrationTab::setCalibrationControls(bool enabled) {
    host_.closeButton()->setEnabled(enabled);
    host_.saveButton()->setEnabled(enabled);
    host_.checkButton()->setEnabled(enabled);
    for (QWidget* w :
         std::initializer_list<QWidget*>{manualSetup, channelList, moveCw, moveCcw, autoCalibration})
        w->setEnabled(enabled);
}

void TEncoderCalibrationTab::startAutoCalibration() {
    const DiagnosticChannel channel = host_.diagnosticChannel();
    if (busy() || channel.module == 0) return;
    // The tool is looked for before the link is touched: without it the link stays as it is.
    toolProgram_ = FindTool("vmcli");
    if (toolProgram_.isEmpty()) {
        const QString text =
            "The calibration tool vmcli was found neither next to this program nor on the search path";
        status->setText(text);
        context_.prompts.message(this, text, kProgramTitle, PromptIcon::Error);
        return;
    }
    calibrated_ = channel;
    setCalibrationControls(false);
    calibrationTemperature_ = static_cast<int>(DecimalValue(temperature->currentText()));
    status->setText("Calibration handed to vmcli; the link is reopened when it ends");
    cancelReopenButton->show();
    calibration_ = new TOEMAutoCalibration(context_, this);
    connect(calibration_, &TOEMAutoCalibration::linkClosed, this, &TEncoderCalibrationTab::launchTool);
    connect(calibration_, &TOEMAutoCalibration::refused, this, [this] {
        const QString text = "No controller link to hand over to vmcli";
        calibrationEnded(text + "; the link was left as it was");
        context_.prompts.message(this, text, kProgramTitle, PromptIcon::Error);
    });
    connect(calibration_, &TOEMAutoCalibration::reopening, this,
            [this] { status->setText(toolOutcome() + "; reopening the controller link..."); });
    connect(calibration_, &TOEMAutoCalibration::reopened, this, [this] {
        calibrationEnded(toolOutcome() + "; controller link reopened");
        readBackDetector();
    });
    connect(calibration_, &TOEMAutoCalibration::gaveUp, this, [this](bool cancelled) {
        calibrationEnded(toolOutcome() +
                         (cancelled ? "; reopening cancelled: the controller link stays closed"
                                    : "; the controller link could not be reopened within 10 minutes"));
    });
    calibration_->start();
}

QString TEncoderCalibrationTab::toolOutcome() const {
    return tool_->outcome().isEmpty() ? QStringLiteral("vmcli did not run") : tool_->outcome();
}

void TEncoderCalibrationTab::launchTool(const QString& selector) {
    if (!calibration_) return;
    // The channel list names drive modules; the tool wants the slot of their encoder module.
    const QStringList arguments = CalibrationArguments(selector, EncoderSlot(calibrated_.module),
                                                       calibrated_.channel, calibrationTemperature_);
    disconnect(tool_, &CalibrationTool::finished, this, nullptr);
    connect(tool_, &CalibrationTool::finished, this, [this] {
        if (calibration_) calibration_->toolEnded();
    });
    if (!tool_->start(toolProgram_, arguments)) {
        context_.prompts.message(this, "The calibration tool " + toolProgram_ + " could not be started",
                                 kProgramTitle, PromptIcon::Error);
        calibration_->toolEnded();
    }
}

void TEncoderCalibrationTab::cancelReopen() {
    if (!calibration_) return;
    // The tool may still be using the controller: the controls stay disabled until it ends, and
    // the cancel only keeps the link closed afterwards.
    calibration_->cancel();
    cancelReopenButton->hide();
    status->setText("The controller link stays closed when vmcli ends");
}

void TEncoderCalibrationTab::calibrationEnded(const QString& text) {
    calibration_->wait();
    delete calibration_;
    calibration_ = nullptr;
    cancelReopenButton->hide();
    status->setText(text);
    setCalibrationControls(true);
    Q_EMIT calibrationFinished();
}

void TEncoderCalibrationTab::readBackDetector() {
    // What the calibration left in the detector, shown as a read would show it.
    const DiagnosticChannel channel = calibrated_;
    struct Read {
        bool failed;
        int high, low, gain;
    };
    context_.runner.run(
        [&ctx = context_, channel] {
            auto lock = ctx.current.hold();
            const bool failed = ctx.oem.ReadDetector(channel.module, channel.channel);
            return Read{failed, ctx.oem.high(), ctx.oem.low(), ctx.oem.gain()};
        },
        this,
        [this](const Read& r) {
            if (!r.failed) showDetector(r.high, r.low, r.gain);
        });
}

}  // namespace vm::gui
