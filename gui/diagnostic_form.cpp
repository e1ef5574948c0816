#include "gui/diagnostic_form.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QShowEvent>
#include <QSlider>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include "gui/app_context.h"
#include "gui/chart_parts.h"
#include "gui/encoder_calibration_tab.h"
#include "gui/main_form.h"
#include "gui/thread_module_diagnostic.h"
#include "gui/thread_vmdm_measurement.h"
#include "gui/thread_vmdm_test.h"

namespace vm::gui {

namespace {

constexpr int kProgressMax = 600;
constexpr std::uint32_t kAfterStoreMs = 100;

QByteArray Bytes(const QString& text) { return text.toLatin1(); }

}  // namespace

TFormDiagnostic::TFormDiagnostic(AppContext& context, TMainForm& main, QWidget* parent)
    : QWidget(parent, Qt::Window), context_(context), main_(main) {
    setObjectName("FormDiagnostic");
    setWindowTitle("Diagnostic and Calibration");

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");

    auto* diagnostic = new QWidget(tabs_);
    auto* monitor = new QGroupBox("Monitor", diagnostic);
    monitorList_ = new QListWidget(monitor);
    monitorList_->setObjectName("monitorList");
    monitorList_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    (new QVBoxLayout(monitor))->addWidget(monitorList_);
    (new QVBoxLayout(diagnostic))->addWidget(monitor);
    tabs_->addTab(diagnostic, "Diagnostic");

    encoderTab_ = new TEncoderCalibrationTab(context_, *this, tabs_);
    tabs_->addTab(encoderTab_, "Encoder Calibration");

    auto* driver = new QWidget(tabs_);
    buildDriverTab(driver);
    tabs_->addTab(driver, "Actuator Driver Check");

    saveResult_ = new QPushButton("Save Result", this);
    saveResult_->setObjectName("buttonSaveResult");
    close_ = new QPushButton("Close", this);
    close_->setObjectName("buttonClose");
    connect(saveResult_, &QPushButton::clicked, this, &TFormDiagnostic::saveResult);
    connect(close_, &QPushButton::clicked, this, &TFormDiagnostic::closeSequence);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(saveResult_);
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_, 1);
    layout->addLayout(buttons);
    resize(900, 640);
}

TFormDiagnostic::~TFormDiagnostic() { stopWorker(); }

void TFormDiagnostic::buildDriverTab(QWidget* tab) {
    auto* status = new QGroupBox("Amplifier Status and Connections", tab);
    driverList_ = new QListWidget(status);
    driverList_->setObjectName("driverCheckList");
    check_ = new QPushButton("Check", status);
    check_->setObjectName("buttonCheck");
    connect(check_, &QPushButton::clicked, this, &TFormDiagnostic::startDriverCheck);
    auto* statusLayout = new QVBoxLayout(status);
    statusLayout->addWidget(driverList_, 1);
    statusLayout->addWidget(check_);

    driveSignal_ = new QCheckBox("Enable drive signal on output", tab);
    driveSignal_->setObjectName("checkDriveSignal");

    auto* characteristics = new QGroupBox("Amplifier Characteristics", tab);
    amplifierChart_ = new ChartPlace("amplifierChart", characteristics);
    amplifierChart_->setMinimumSize(360, 240);
    auto* input = amplifierChart_->addAxis(Qt::AlignBottom, 0, 255, "Input [Ticks]");
    auto* output = amplifierChart_->addAxis(Qt::AlignLeft, 0, 255, "Output [ticks]");
    auto* sensitivity =
        amplifierChart_->addAxis(Qt::AlignRight, -2, 2, "Sensitivity dout(din)/din (push/pull)");
    characteristic_ = amplifierChart_->addSeries("Characteristic", Qt::black, input, output);
    push_ = amplifierChart_->addSeries("Push", Qt::red, input, sensitivity);
    pull_ = amplifierChart_->addSeries("Pull", Qt::blue, input, sensitivity);
    measure_ = new QPushButton("Measure", characteristics);
    measure_->setObjectName("buttonMeasure");
    measure_->setEnabled(false);
    connect(measure_, &QPushButton::clicked, this, &TFormDiagnostic::startAmplifierMeasurement);
    progress_ = new QProgressBar(characteristics);
    progress_->setObjectName("amplifierProgress");
    progress_->setRange(0, kProgressMax);
    progress_->setValue(0);
    progress_->hide();
    auto* characteristicsLayout = new QVBoxLayout(characteristics);
    characteristicsLayout->addWidget(amplifierChart_, 1);
    auto* measureRow = new QHBoxLayout;
    measureRow->addWidget(measure_);
    measureRow->addWidget(progress_, 1);
    characteristicsLayout->addLayout(measureRow);

    amplifierChannels_ = new QComboBox(tab);
    amplifierChannels_->setObjectName("amplifierChannelList");
    connect(amplifierChannels_, &QComboBox::activated, this, &TFormDiagnostic::amplifierChosen);

    auto* left = new QVBoxLayout;
    left->addWidget(status, 1);
    left->addWidget(driveSignal_);
    left->addWidget(amplifierChannels_);
    auto* layout = new QHBoxLayout(tab);
    layout->addLayout(left, 1);
    layout->addWidget(characteristics, 2);
}

bool TFormDiagnostic::busy() const { return worker_ != nullptr || encoderTab_->busy(); }

bool TFormDiagnostic::tabShown(Tab tab) const { return tabs_->isTabVisible(tab); }

// --- Opening ---

void TFormDiagnostic::openFromMenu() {
    if (busy()) return;
    tabs_->setTabVisible(kTabEncoder, false);
    tabs_->setTabVisible(kTabDriver, false);
    show();
    raise();
    monitorList_->clear();
    encoderTab_->channelList->clear();
    driverList_->clear();
    amplifierChannels_->clear();
    measure_->setEnabled(false);
    // The outcome of an earlier session says nothing about this one.
    encoderTab_->status->clear();
    startModuleDiagnostic();
}

void TFormDiagnostic::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Only when the program shows the window, not when the window system restores it.
    if (event->spontaneous()) return;
    monitorList_->clear();
    // Low first: with High still above it nothing snaps, and High then goes to 0 as well.
    encoderTab_->lowBar->setValue(0);
    encoderTab_->highBar->setValue(0);
    main_.setEnabled(false);
}

// --- Workers ---

void TFormDiagnostic::startWorker(QThread* worker) {
    worker_ = worker;
    setEnabled(false);
    connect(worker, &QThread::finished, this, [this] {
        worker_->wait();
        delete worker_;
        worker_ = nullptr;
        setEnabled(true);
        Q_EMIT workerFinished();
    });
    worker->start();
}

void TFormDiagnostic::stopWorker() {
    if (!worker_) return;
    worker_->requestInterruption();
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
}

void TFormDiagnostic::startModuleDiagnostic() {
    auto* worker = new TModuleDiagnostic(context_, this);
    connect(worker, &TModuleDiagnostic::line, monitorList_,
            [this](const QString& text) { monitorList_->addItem(text); });
    connect(worker, &TModuleDiagnostic::modulesDetected, this, [this](const QList<int>& addresses) {
        // Positions past the count are cleared too, so the driver check never drives a module
        // that the latest detection did not find.
        detected_ = {};
        for (int a : addresses) detected_.addresses[detected_.count++] = static_cast<std::uint8_t>(a);
    });
    connect(worker, &TModuleDiagnostic::amplifierChannel, this,
            [this](const QString& item) { amplifierChannels_->addItem(item); });
    connect(worker, &TModuleDiagnostic::encoderChannel, this,
            [this](const QString& item) { encoderTab_->channelList->addItem(item); });
    connect(worker, &TModuleDiagnostic::noModules, this,
            [this] { encoderTab_->manualSetup->setEnabled(false); });
    connect(worker, &TModuleDiagnostic::showEncoderTab, this,
            [this] { tabs_->setTabVisible(kTabEncoder, true); });
    connect(worker, &TModuleDiagnostic::showDriverTab, this,
            [this] { tabs_->setTabVisible(kTabDriver, true); });
    // The list shows its first item once filled; "Measure" measures the item shown.
    connect(worker, &QThread::finished, this,
            [this] { measure_->setEnabled(amplifierChannels_->count() > 0); });
    startWorker(worker);
}

void TFormDiagnostic::addDriverLine(const QString& text) {
    driverList_->addItem(text);
    driverList_->setCurrentRow(driverList_->count() - 1);
}

void TFormDiagnostic::startDriverCheck() {
    if (busy()) return;
    driverList_->clear();
    auto* worker = new TVMDMTest(context_, detected_, driveSignal_->isChecked(), this);
    connect(worker, &TVMDMTest::line, this, &TFormDiagnostic::addDriverLine);
    startWorker(worker);
}

void TFormDiagnostic::amplifierChosen(int index) {
    const auto channel = ParseChannelItem(amplifierChannels_->itemText(index));
    if (!channel) return;
    channel_ = *channel;
    measure_->setEnabled(true);
}

void TFormDiagnostic::startAmplifierMeasurement() {
    if (busy()) return;
    // The channel is the one the list shows: the encoder tab may have chosen another since.
    const auto shown = ParseChannelItem(amplifierChannels_->currentText());
    if (!shown) return;
    channel_ = *shown;
    progress_->setValue(0);
    progress_->show();
    auto* worker = new TVMDMMeasurement(context_, channel_.module, channel_.channel, this);
    connect(worker, &TVMDMMeasurement::line, this, &TFormDiagnostic::addDriverLine);
    // The bar is scaled to the longest measurement: the poll bound and the table's bytes.
    connect(worker, &TVMDMMeasurement::progress, this, [this](int value) {
        progress_->setValue(std::min(value, TVMDMMeasurement::kProgressSteps) * kProgressMax /
                            TVMDMMeasurement::kProgressSteps);
    });
    connect(worker, &TVMDMMeasurement::failed, this, [this] {
        characteristic_->clear();
        push_->clear();
        pull_->clear();
    });
    connect(
        worker, &TVMDMMeasurement::curves, this,
        [this](const QList<QPointF>& characteristic, const QList<QPointF>& push, const QList<QPointF>& pull) {
            characteristic_->replace(characteristic);
            push_->replace(push);
            pull_->replace(pull);
        });
    connect(worker, &QThread::finished, progress_, &QWidget::hide);
    startWorker(worker);
}

// --- Report ---

QByteArray TFormDiagnostic::report(const QByteArray* measurementLog) const {
    QByteArray out;
    auto lines = [&out](const QListWidget* list) {
        for (int i = 0; i < list->count(); ++i) out += Bytes(list->item(i)->text()) + "\n";
    };
    out += "1) === INITIAL DIAGNOSTIC ===\n";
    lines(monitorList_);
    out += "\n2) === ACTUATOR DIAGNOSTIC ===\n";
    lines(driverList_);
    out += "\n3) === USED VELLUMOTOR SETTINGS ===\n";
    const QTableWidget* grid = main_.grid();
    const int columns = main_.gridColumns();
    for (int c = 0; c < columns; ++c) {
        const QTableWidgetItem* header = grid->horizontalHeaderItem(c);
        out += Bytes(header ? header->text() : QString()) + "\t";
    }
    out += "\n";
    for (int r = 0; r < grid->rowCount(); ++r) {
        for (int c = 0; c < columns; ++c) {
            const QTableWidgetItem* item = grid->item(r, c);
            out += Bytes(item ? item->text() : QString()) + "\t";
        }
        out += "\n";
    }
    out += "\n4a) === ENCODER DIAGNOSTIC: Settings ===\n";
    out += Bytes(QString::asprintf(" Selected Module-Channel: %d-%d\n", channel_.module, channel_.channel));
    out += " Detector Settings\n\tGET\tSET\n";
    const TEncoderCalibrationTab& e = *encoderTab_;
    out += Bytes(" GAIN\t" + e.gainGet->text() + "\t" + e.gainSet->text() + "\n HIGH\t" + e.highGet->text() +
                 "\t" + e.highSet->text() + "\n LOW\t" + e.lowGet->text() + "\t" + e.lowSet->text() + "\n\n");
    out += "4b) === ENCODER DIAGNOSTIC: Measurement Log ===\n";
    if (measurementLog) out += *measurementLog;
    return out;
}

void TFormDiagnostic::saveResult() {
    // The log is read from the directory that was current before the dialog, which may change it.
    const QString logPath = QDir(QDir::currentPath()).filePath(kMeasurementLogName);
    QString name = context_.prompts.saveFileName(this, "Save Diagnostic", "TRELDAXdiagnostic.log",
                                                 "Log files (*.log);;All files (*)");
    if (name.isEmpty()) return;
    if (QFileInfo(name).suffix().isEmpty()) name += ".log";

    // Written to a temporary file beside the chosen one and renamed at the end, so a failed write
    // never leaves half a report under the chosen name.
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly)) {
        context_.prompts.message(this, "The file could not be saved", kProgramTitle, PromptIcon::Error);
        return;
    }
    QFile log(logPath);
    QByteArray content;
    const bool logRead = log.open(QIODevice::ReadOnly);
    if (logRead) content = log.readAll();
    file.write(report(logRead ? &content : nullptr));
    if (!logRead)
        context_.prompts.message(this, "The file could not be opened", kProgramTitle, PromptIcon::Error);
    if (!file.commit())
        context_.prompts.message(this, "The file could not be saved", kProgramTitle, PromptIcon::Error);
}

// --- Closing ---

void TFormDiagnostic::closeSequence() {
    if (busy() || closing_) return;
    const bool store =
        settingsChanged_ &&
        context_.prompts.askYesNo(this,
                                  "Would you like to store the new settings?\nThe system uses these settings "
                                  "at next time startup.",
                                  "Store parameters for next time use", PromptIcon::Question);
    if (!store) {
        finishClose();
        return;
    }
    closing_ = true;
    setEnabled(false);
    // Every channel whose detector settings were written is stored; nothing else, so a module the
    // detection did not find is never asked.
    context_.runner.run(
        [&ctx = context_, channels = written_] {
            QStringList failed;
            for (const DiagnosticChannel& c : channels) {
                if (ctx.oem.StoreDetector(c.module, c.channel))
                    failed << ChannelItem(c.module, c.channel);
                else
                    ctx.clock.sleepMs(kAfterStoreMs);
            }
            return failed;
        },
        this,
        [this](const QStringList& failed) {
            if (!failed.isEmpty())
                context_.prompts.message(this, "Store command failed: " + failed.join(", "),
                                         "Vellumotor Control", PromptIcon::Error);
            setEnabled(true);
            finishClose();
        });
}

void TFormDiagnostic::detectorWritten(DiagnosticChannel channel) {
    settingsChanged_ = true;
    for (const DiagnosticChannel& c : written_)
        if (c.module == channel.module && c.channel == channel.channel) return;
    written_.push_back(channel);
}

void TFormDiagnostic::finishClose() {
    settingsChanged_ = false;
    written_.clear();
    closing_ = true;
    close();
    closing_ = false;
    main_.setEnabled(true);
    QFile log(kMeasurementLogName);
    const QByteArray empty = "No measurement data available\n";
    if (log.open(QIODevice::WriteOnly | QIODevice::Truncate) && log.write(empty) == empty.size() &&
        log.flush()) {
        channel_ = {};
        encoderTab_->manualSetup->setEnabled(false);
        encoderTab_->autoCalibration->setEnabled(false);
        main_.raise();
        main_.activateWindow();
    } else {
        context_.prompts.message(this, "Temporary measurement data cannot be removed", kProgramTitle,
                                 PromptIcon::Error);
    }
    Q_EMIT closed();
}

void TFormDiagnostic::closeEvent(QCloseEvent* event) {
    if (closing_) {
        QWidget::closeEvent(event);
        return;
    }
    // The window manager's close button takes the same way as "Close"; while a worker runs the
    // window stays, as its buttons do.
    event->ignore();
    closeSequence();
}

}  // namespace vm::gui
