// The diagnostic window: module diagnostic, driver check, amplifier characteristic, report and
// close sequence, offscreen against the in-process virtual controller in virtual time.
#include <gtest/gtest.h>

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineSeries>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QValueAxis>
#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "gui/diagnostic_form.h"
#include "gui/encoder_calibration_tab.h"
#include "gui/thread_vmdm_measurement.h"
#include "gui/thread_vmdm_test.h"
#include "sim/model.h"
#include "tests/gui/diagnostic_rig.h"

namespace vm::gui::test {
namespace {

QStringList ListItems(const QListWidget* list) { return Lines(list); }
QStringList ComboItems(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}

struct DetectionCase {
    std::string rack;
    QStringList monitor;
    QStringList amplifierItems;
    QStringList encoderItems;
    bool encoderTab;
    bool driverTab;
    bool manualSetupAllowed;
};

const DetectionCase kDetectionCases[] = {
    {"-,C,O,-,C,O",
     {"Auto Detection... ", "   >SUCCESS: -2- Vellumotor Driver Modules detected",
      "--- REQUEST STATUS OF MODULES  --- ", "   >ADRESS -2- CHANNEL -A-:  STATUS OK",
      "   >ADRESS -2- CHANNEL -B-:  STATUS OK", "   >ADRESS -2- CHANNEL -C-:  STATUS OK",
      "   >ADRESS -5- CHANNEL -A-:  STATUS OK", "   >ADRESS -5- CHANNEL -B-:  STATUS OK",
      "   >ADRESS -5- CHANNEL -C-:  STATUS OK", "--- CHECKING OPTICAL COUNTERS ---",
      "   >ADRESS -2- CHANNEL -A-:  COUNTER FOUND", "   >ADRESS -2- CHANNEL -B-:  COUNTER FOUND",
      "   >ADRESS -2- CHANNEL -C-:  COUNTER FOUND", "   >ADRESS -5- CHANNEL -A-:  COUNTER FOUND",
      "   >ADRESS -5- CHANNEL -B-:  COUNTER FOUND", "   >ADRESS -5- CHANNEL -C-:  COUNTER FOUND",
      "You may proceed with Calibration of the Encoder System"},
     {"2A", "2B", "2C", "5A", "5B", "5C"},
     {"2A", "2B", "2C", "5A", "5B", "5C"},
     true,
     true,
     true},
    // A one-channel module and a module without an encoder module.
    {"C1,-,C,-,-,-",
     {"Auto Detection... ", "   >SUCCESS: -2- Vellumotor Driver Modules detected",
      "--- REQUEST STATUS OF MODULES  --- ", "   >ADRESS -1- CHANNEL -A-:  STATUS OK",
      "   >ADRESS -3- CHANNEL -A-:  STATUS OK", "   >ADRESS -3- CHANNEL -B-:  STATUS OK",
      "   >ADRESS -3- CHANNEL -C-:  STATUS OK", "--- CHECKING OPTICAL COUNTERS ---",
      "   >ADRESS -1- CHANNEL -A-:  COUNTER NOT FOUND", "   >ADRESS -3- CHANNEL -A-:  COUNTER NOT FOUND",
      "   >ADRESS -3- CHANNEL -B-:  COUNTER NOT FOUND", "   >ADRESS -3- CHANNEL -C-:  COUNTER NOT FOUND"},
     {"1A", "3A", "3B", "3C"},
     {},
     false,
     true,
     true},
    {"-,-,-,-,R,-",
     {"Auto Detection... ", ">ERROR: -No- Vellumotor Driver Modules detected",
      "|____Make sure the PC interface is in EXTERNAL CONTROL", "|____Try to restart the PC interface"},
     {},
     {},
     false,
     false,
     false},
};

TEST(DiagnosticWindow, ModuleDiagnosticListsModulesChannelsAndCounters) {
    for (const DetectionCase& c : kDetectionCases) {
        SCOPED_TRACE(c.rack);
        DiagnosticRig rig(c.rack);
        TFormDiagnostic& diag = rig.diag();
        diag.encoderTab().manualSetup->setEnabled(true);  // as a previous opening may have left it
        rig.controller->clearTranscript();
        rig.open();
        EXPECT_TRUE(diag.isVisible());
        EXPECT_TRUE(diag.isEnabled());
        EXPECT_FALSE(rig.main().isEnabled());
        EXPECT_EQ(ListItems(diag.monitorList()), c.monitor);
        EXPECT_EQ(ComboItems(diag.amplifierChannels()), c.amplifierItems);
        EXPECT_EQ(ListItems(diag.encoderTab().channelList), c.encoderItems);
        EXPECT_EQ(diag.tabShown(TFormDiagnostic::kTabEncoder), c.encoderTab);
        EXPECT_EQ(diag.tabShown(TFormDiagnostic::kTabDriver), c.driverTab);
        EXPECT_EQ(diag.encoderTab().manualSetup->isEnabled(), c.manualSetupAllowed);
        // Descriptors and counters are read only from the modules that answered.
        for (const std::string& line : rig.sent()) {
            if (line.starts_with("STS")) continue;
            const bool fromDetected = line.starts_with("DESC") ? c.amplifierItems.join("").contains(line[5])
                                                               : line.starts_with("CGV 1");
            EXPECT_TRUE(fromDetected) << line;
        }
    }
}

TEST(DiagnosticWindow, ReopeningHidesTheTabsAndStartsAFreshDetection) {
    DiagnosticRig rig("C,O,C,O,R,-");
    rig.open();
    ASSERT_TRUE(rig.diag().tabShown(TFormDiagnostic::kTabDriver));
    // Both drive modules stop answering: the new detection finds none and offers nothing.
    rig.controller->addFault(Answer("STS", "MNF"));
    rig.open();
    EXPECT_FALSE(rig.diag().tabShown(TFormDiagnostic::kTabEncoder));
    EXPECT_FALSE(rig.diag().tabShown(TFormDiagnostic::kTabDriver));
    EXPECT_EQ(rig.diag().amplifierChannels()->count(), 0);
    EXPECT_EQ(rig.diag().encoderTab().channelList->count(), 0);
    EXPECT_EQ(rig.diag().detectedModules().count, 0);
    EXPECT_EQ(rig.diag().detectedModules().addresses, (std::array<std::uint8_t, 6>{}));
}

TEST(DiagnosticWindow, ChartsAreMadeWhenTheirTabIsFirstShownWithWhatTheyWereGivenBefore) {
    DiagnosticRig rig("C,O,C,O,R,-");
    TFormDiagnostic& diag = rig.diag();
    TEncoderCalibrationTab& encoder = diag.encoderTab();
    // Filled and ranged while nothing is shown yet.
    diag.pushSeries()->replace(QList<QPointF>{{1, 0.5}, {2, 0.75}});
    encoder.highLine->replace(QList<QPointF>{{0, 40}, {2, 40}});
    encoder.timeAxis->setRange(3, 13);
    rig.open();
    struct Case {
        int tab;
        const char* view;
        QLineSeries* series;
        QColor color;
        QList<QPointF> points;
        QStringList titles;
    };
    const Case cases[] = {
        {TFormDiagnostic::kTabDriver,
         "amplifierChart",
         diag.pushSeries(),
         Qt::red,
         {{1, 0.5}, {2, 0.75}},
         {"Input [Ticks]", "Output [ticks]", "Sensitivity dout(din)/din (push/pull)"}},
        {TFormDiagnostic::kTabEncoder,
         "measurementChart",
         encoder.highLine,
         Qt::darkGreen,
         {{0, 40}, {2, 40}},
         {"Time [s]", "Analog Signal [ticks]", "Differential Count", ""}},
    };
    // The window opens on its first tab: the other tabs' charts are not made yet.
    for (const Case& c : cases) EXPECT_EQ(diag.findChild<QChartView*>(c.view), nullptr) << c.view;
    auto* tabs = diag.findChild<QTabWidget*>("tabs");
    for (const Case& c : cases) {
        tabs->setCurrentIndex(c.tab);
        tabs->setCurrentIndex(TFormDiagnostic::kTabDiagnostic);
        tabs->setCurrentIndex(c.tab);
        const QList<QChartView*> views = diag.findChildren<QChartView*>(c.view);
        ASSERT_EQ(views.size(), 1) << c.view;
        EXPECT_TRUE(views[0]->isVisible()) << c.view;
        QChart* chart = views[0]->chart();
        EXPECT_EQ(c.series->chart(), chart) << c.view;
        EXPECT_EQ(c.series->attachedAxes().size(), 2) << c.view;
        EXPECT_EQ(c.series->pen().color(), c.color) << c.view;
        EXPECT_EQ(c.series->points(), c.points) << c.view;
        QStringList titles;
        for (const QAbstractAxis* axis : chart->axes()) titles << axis->titleText();
        EXPECT_EQ(titles, c.titles) << c.view;
    }
    EXPECT_EQ(encoder.timeAxis->min(), 3);
    EXPECT_EQ(encoder.timeAxis->max(), 13);
}

TEST(DriverCheck, FailsafeBitsAndLoadsOnModulesTwoAndFive) {
    DiagnosticRig rig("-,C,O,-,C,O");
    rig.open();
    rig.setDrive(2, 0x41);
    rig.setDrive(5, 0, {15, 20000, 1000});
    rig.check(true);
    const QStringList expected = {
        "--- SEND COMMAND TO VELLUMOTORS --- ",
        "   Channel: 2A : ",
        "      MOVE OK, STOP OK,",
        "   Channel: 2B : ",
        "      MOVE OK, STOP OK,",
        "   Channel: 2C : ",
        "      MOVE OK, STOP OK,",
        "     >ERROR STATUS: 0x41",
        "      >FAILURE: internal *HIGH* voltage rail missing",
        "        INSPECTION OF UNIT IS REQUIRED",
        "      >FAILURE: overcurrent#1 DETECTED on HIGH RAIL:",
        "         1) short circuit to protective earth or reference",
        "         2) capacitive load or drive parameters not correct",
        "        RESET required",
        "   Channel: 5A : ",
        "      MOVE OK, STOP OK,",
        "   Channel: 5B : ",
        "      MOVE OK, STOP OK,",
        "   Channel: 5C : ",
        "      MOVE OK, STOP OK,",
        "     >ERROR STATUS: 0x0",
        "CAPACITANCE: Channel:5A:",
        ">Error: Unable to determine load!",
        "CAPACITANCE: Channel:5B:",
        ">Error: Unable to determine load!",
        "CAPACITANCE: Channel:5C:",
        ">Load Capacitance: 1000 [nF]",
        "    ==== Test Finished ====",
    };
    EXPECT_EQ(ListItems(rig.diag().driverList()), expected);
    EXPECT_EQ(rig.diag().driverList()->currentRow(), rig.diag().driverList()->count() - 1);
    // Module 2: moves, the failsafe state, no capacitance, the final stop. Module 5: the same
    // with a capacitance per channel.
    std::vector<std::string> words;
    for (const std::string& line : rig.sent())
        if (!line.starts_with("STS")) words.push_back(line);
    const std::vector<std::string> expectedWords = {"DESC 2\r",
                                                    "MOV 2 1 100 100 100 11 1 S\r",
                                                    "STP 2\r",
                                                    "MOV 2 1 100 100 100 11 2 S\r",
                                                    "STP 2\r",
                                                    "MOV 2 1 100 100 100 11 3 S\r",
                                                    "STP 2\r",
                                                    "GFS 2\r",
                                                    "STP 2\r",
                                                    "DESC 5\r",
                                                    "MOV 5 1 100 100 100 11 1 S\r",
                                                    "STP 5\r",
                                                    "MOV 5 1 100 100 100 11 2 S\r",
                                                    "STP 5\r",
                                                    "MOV 5 1 100 100 100 11 3 S\r",
                                                    "STP 5\r",
                                                    "GFS 5\r",
                                                    "SCM 5 1\r",
                                                    "RCV 5\r",
                                                    "SCM 5 2\r",
                                                    "RCV 5\r",
                                                    "SCM 5 3\r",
                                                    "RCV 5\r",
                                                    "STP 5\r"};
    EXPECT_EQ(words, expectedWords);
    // The one-second drive signal: the stop comes 1000 ms after its move.
    const auto transcript = rig.controller->transcript();
    for (std::size_t k = 0; k + 1 < transcript.size(); ++k)
        if (transcript[k].line.starts_with("MOV")) {
            EXPECT_EQ(transcript[k + 1].timeUs - transcript[k].timeUs, 1'000'000) << transcript[k].line;
        }
}

TEST(DriverCheck, WithoutDriveSignalAndAnUnreadableFailsafeTheModuleIsSkipped) {
    DiagnosticRig rig("C1,O,-,-,-,-");
    rig.open();
    rig.controller->addFault(Answer("GFS", "MNF", 1));
    rig.check(false);
    EXPECT_EQ(ListItems(rig.diag().driverList()),
              (QStringList{"--- SEND COMMAND TO VELLUMOTORS --- ",
                           "   Channel: 1A : ", "    ==== Test Finished ===="}));
    EXPECT_EQ(rig.sent(), (std::vector<std::string>{"DESC 1\r", "GFS 1\r"}));
}

// The failsafe texts themselves are the device model's (tests/gui_model).
TEST(DriverCheck, LoadTexts) {
    const std::pair<std::uint16_t, const char*> loads[] = {
        {19, ">Error: Unable to determine load!"}, {20, ">Load Capacitance: 20 [nF]"},
        {10000, ">Load Capacitance: 10000 [nF]"},  {10001, ">Error: Unable to determine load!"},
        {0, ">Error: Unable to determine load!"},  {65535, ">Error: Unable to determine load!"}};
    for (const auto& [nf, text] : loads) EXPECT_EQ(CapacitanceLine(nf), text) << nf;
}

TEST(AmplifierMeasurement, BytesAreScaledToFullRangeInEightBits) {
    const std::pair<int, int> cases[] = {{0, 0}, {100, 112}, {227, 255}, {228, 0}, {255, 30}};
    for (const auto& [in, out] : cases)
        EXPECT_EQ(ScaleAmplifierByte(static_cast<std::uint8_t>(in)), out) << in;
}

TEST(AmplifierMeasurement, SensitivityMatchesAnIndependentComputation) {
    AmplifierBytes bytes{};
    for (int i = 0; i < 512; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((i * i / 7 + 3 * i) % 256);
    const AmplifierCurves curves = ComputeAmplifierCurves(bytes);
    // Differences of neighbours, then a running mean of four (forward, over the values already
    // smoothed), then the same backward.
    auto expected = [&](int base) {
        std::vector<double> d(256, 0.0);
        for (int k = 1; k <= 255; ++k) d[k] = double(bytes[base + k]) - double(bytes[base + k - 1]);
        for (int k = 3; k <= 254; ++k) d[k] = (d[k] + d[k - 1] + d[k - 2] + d[k - 3]) * 0.25;
        for (int k = 250; k > 0; --k) d[k] = (d[k] + d[k + 1] + d[k + 2] + d[k + 3]) * 0.25;
        return d;
    };
    const std::vector<double> push = expected(0);
    const std::vector<double> pull = expected(255);
    for (std::size_t k = 0; k < 256; ++k) {
        EXPECT_NEAR(curves.push[k], push[k], 1e-9) << k;
        EXPECT_NEAR(curves.pull[k], pull[k], 1e-9) << k;
    }
    EXPECT_EQ(curves.push[0], 0.0);
    EXPECT_EQ(curves.pull[0], 0.0);
}

TEST(AmplifierMeasurement, AgainstTheVirtualControllerDrawsTheWholeCurve) {
    DiagnosticRig rig("C,O,C,O,R,-");
    rig.open();
    rig.measure("3B");
    TFormDiagnostic& diag = rig.diag();
    EXPECT_EQ(diag.diagnosticChannel().module, 3);
    EXPECT_EQ(diag.diagnosticChannel().channel, 2);
    const QStringList lines = ListItems(diag.driverList());
    ASSERT_EQ(lines.size(), 34);
    EXPECT_EQ(lines.front(), "AMPLIFIER MEASUREMENT: 3B");
    EXPECT_EQ(lines[1], " 0  0  1  2  3  4  5  6  7  8  8  A  B  C  D  E");
    EXPECT_EQ(lines[16], "EF F0 F1 F2 F3 F4 F4 F6 F7 F8 F9 FA FB FC FD FF");
    EXPECT_EQ(lines.back(), "==== TEST FINISHED ====");
    EXPECT_EQ(diag.driverList()->currentRow(), 33);
    ASSERT_EQ(diag.characteristicSeries()->count(), 512);
    ASSERT_EQ(diag.pushSeries()->count(), 255);
    ASSERT_EQ(diag.pullSeries()->count(), 255);
    // The push half runs up the input axis, the pull half back down.
    EXPECT_EQ(diag.characteristicSeries()->at(255), QPointF(255, 255));
    EXPECT_EQ(diag.characteristicSeries()->at(256), QPointF(256, 255));
    EXPECT_EQ(diag.characteristicSeries()->at(511), QPointF(1, 0));
    EXPECT_NEAR(diag.pushSeries()->at(128).y(), 1.0, 0.2);
    EXPECT_NEAR(diag.pullSeries()->at(128).y(), -1.0, 0.2);
    EXPECT_FALSE(diag.findChild<QProgressBar*>("amplifierProgress")->isVisible());
    EXPECT_TRUE(diag.isEnabled());
    const std::vector<std::string> sent = rig.sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "SAM 3 2\r");
    EXPECT_EQ(sent.back(), "RAV 3 63\r");
    EXPECT_EQ(
        std::count_if(sent.begin(), sent.end(), [](const std::string& l) { return l.starts_with("RAV 3 "); }),
        64);
}

TEST(AmplifierMeasurement, RepliesAreScaledOnTheWayToTheList) {
    DiagnosticRig rig("C,O,-,-,-,-");
    rig.open();
    rig.controller->addFault(Answer("RAV", "_RAV 227 100 0 1 2 3 4 5"));
    rig.measure("1A");
    const QStringList lines = ListItems(rig.diag().driverList());
    ASSERT_EQ(lines.size(), 34);
    for (int k = 1; k <= 32; ++k) EXPECT_EQ(lines[k], "FF 70  0  1  2  3  4  5 FF 70  0  1  2  3  4  5") << k;
}

// A measurement the module refuses (a moving channel answers "CNR") or never ends is no result: an
// error line, no table, and the chart of the measurement before is taken away.
TEST(AmplifierMeasurement, AFailedMeasurementShowsNoTableAndNoChart) {
    struct Case {
        const char* name;
        sim::FaultRule fault;
        QString error;
        std::size_t sent;
        int progressShown;  // the bar's last value of 600
    };
    const Case cases[] = {
        {"refused", Answer("SAM", "CNR"), ">ERROR: amplifier measurement refused by the module", 1, 0},
        {"never ends", Answer("STS", "_SAM"), ">ERROR: amplifier measurement did not finish within 100 s",
         1u + TVMDMMeasurement::kMaxPolls,
         TVMDMMeasurement::kMaxPolls * 600 / TVMDMMeasurement::kProgressSteps},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiagnosticRig rig("C,O,-,-,-,-");
        rig.open();
        rig.measure("1A");
        ASSERT_EQ(rig.diag().characteristicSeries()->count(), 512);
        rig.controller->addFault(c.fault);
        int progressShown = -1;
        QObject::connect(rig.diag().findChild<QProgressBar*>("amplifierProgress"),
                         &QProgressBar::valueChanged, [&progressShown](int value) { progressShown = value; });
        rig.diag().driverList()->clear();
        rig.measure("1A");
        EXPECT_EQ(ListItems(rig.diag().driverList()), (QStringList{"AMPLIFIER MEASUREMENT: 1A", c.error}));
        EXPECT_EQ(rig.sent().size(), c.sent);
        EXPECT_EQ(rig.diag().characteristicSeries()->count(), 0);
        EXPECT_EQ(rig.diag().pushSeries()->count(), 0);
        EXPECT_EQ(progressShown, c.progressShown);
        EXPECT_TRUE(rig.diag().isEnabled());
    }
}

// After the detection the list shows its first item, and "Measure" measures that one, whatever the
// encoder tab chose meanwhile.
TEST(AmplifierMeasurement, MeasuresTheItemTheListShows) {
    DiagnosticRig rig("C,O,C,O,-,-");
    rig.open();
    TFormDiagnostic& diag = rig.diag();
    EXPECT_EQ(diag.amplifierChannels()->currentText(), "1A");
    diag.setDiagnosticChannel({3, 2});
    diag.findChild<QTabWidget*>("tabs")->setCurrentIndex(TFormDiagnostic::kTabDriver);
    QPushButton* measure = diag.findChild<QPushButton*>("buttonMeasure");
    EXPECT_TRUE(measure->isEnabled());
    rig.controller->clearTranscript();
    QTest::mouseClick(measure, Qt::LeftButton);
    ASSERT_TRUE(rig.idle());
    ASSERT_FALSE(rig.sent().empty());
    EXPECT_EQ(rig.sent().front(), "SAM 1 1\r");
}

// The report of a small session: one module with one channel, nothing measured.
const char kSmallReport[] =
    "1) === INITIAL DIAGNOSTIC ===\n"
    "Auto Detection... \n"
    "   >SUCCESS: -1- Vellumotor Driver Modules detected\n"
    "--- REQUEST STATUS OF MODULES  --- \n"
    "   >ADRESS -1- CHANNEL -A-:  STATUS OK\n"
    "--- CHECKING OPTICAL COUNTERS ---\n"
    "   >ADRESS -1- CHANNEL -A-:  COUNTER FOUND\n"
    "You may proceed with Calibration of the Encoder System\n"
    "\n"
    "2) === ACTUATOR DIAGNOSTIC ===\n"
    "--- SEND COMMAND TO VELLUMOTORS --- \n"
    "   Channel: 1A : \n"
    "     >ERROR STATUS: 0x0\n"
    "CAPACITANCE: Channel:1A:\n"
    ">Load Capacitance: 1000 [nF]\n"
    "    ==== Test Finished ====\n"
    "\n"
    "3) === USED VELLUMOTOR SETTINGS ===\n"
    "Sel\tChan\tTag\tType\tT [K]\tf [Hz]\tR [%]\tN [-]\tTR\tinc []\t\n"
    "=>\t1A\t-\tPROFILE1\t293\t200\t100\t100\t6000\t0\t\n"
    " \t1B\t-\tPROFILE1\t293\t200\t100\t100\t6000\t0\t\n"
    " \t1C\t-\tPROFILE1\t293\t200\t100\t100\t6000\t0\t\n"
    "\n"
    "4a) === ENCODER DIAGNOSTIC: Settings ===\n"
    " Selected Module-Channel: 1-1\n"
    " Detector Settings\n"
    "\tGET\tSET\n"
    " GAIN\t?\t?\n"
    " HIGH\t?\t?\n"
    " LOW\t?\t?\n"
    "\n"
    "4b) === ENCODER DIAGNOSTIC: Measurement Log ===\n";

QByteArray ReadAll(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

TEST(DiagnosticReport, SmallSessionByteForByte) {
    DiagnosticRig rig("C1,O,-,-,-,-");
    rig.open();
    rig.check(false);
    rig.diag().amplifierChannels()->setCurrentIndex(0);
    Q_EMIT rig.diag().amplifierChannels()->activated(0);
    const std::string log = "Time[s]\tAnalog[]\tCount[]\n0.000000\t120\t5\n";
    rig.dir.file("VMdiag.log", log);

    // Cancel writes nothing.
    rig.prompts.saveAnswer.clear();
    rig.diag().saveResult();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(rig.dir.path("TRELDAXdiagnostic.log"))));

    // A name without extension gets ".log".
    rig.prompts.saveAnswer = QString::fromStdString(rig.dir.path("session"));
    rig.diag().saveResult();
    EXPECT_EQ(ReadAll(rig.dir.path("session.log")),
              QByteArray(kSmallReport) + QByteArray::fromStdString(log));
    EXPECT_TRUE(rig.prompts.shown.empty());

    // Without a measurement log the report ends after its header.
    QFile::remove("VMdiag.log");
    rig.prompts.saveAnswer = QString::fromStdString(rig.dir.path("nolog.log"));
    rig.diag().saveResult();
    EXPECT_EQ(ReadAll(rig.dir.path("nolog.log")), QByteArray(kSmallReport));
    EXPECT_EQ(rig.prompts.texts(), QStringList{"The file could not be opened"});

    // A file that cannot be created: a message and nothing written.
    rig.prompts.shown.clear();
    rig.prompts.saveAnswer = QString::fromStdString(rig.dir.path("missing/dir/report.log"));
    rig.diag().saveResult();
    EXPECT_EQ(rig.prompts.texts(), QStringList{"The file could not be saved"});
    EXPECT_EQ(rig.prompts.shown[0].title, "Vellumotor Control System");
    EXPECT_EQ(rig.prompts.shown[0].icon, PromptIcon::Error);
}

struct CloseCase {
    const char* name;
    QStringList written;  // channels whose detector settings were written
    bool answer;
    int failingStores;
    std::vector<std::string> sent;
    QStringList prompts;
};

const QString kStoreQuestion =
    "Would you like to store the new settings?\nThe system uses these settings at next time startup.";

// Every written channel is stored, and only those: the encoder module at 12 that the map fix-up
// invents for this rack is never asked.
const CloseCase kCloseCases[] = {
    {"unchanged", {}, true, 0, {}, {}},
    {"changed, No", {"5A"}, false, 0, {}, {kStoreQuestion}},
    {"changed, Yes",
     {"1B", "1C", "5A", "1B"},
     true,
     0,
     {"MSS 11 2\r", "MSS 11 3\r", "MSS 15 1\r"},
     {kStoreQuestion}},
    {"changed, Yes, two stores fail",
     {"1B", "5A", "5C"},
     true,
     2,
     {"MSS 11 2\r", "MSS 15 1\r", "MSS 15 3\r"},
     {kStoreQuestion, "Store command failed: 1B, 5A"}},
};

TEST(DiagnosticClose, StoresWhenAskedAndResetsTheMeasurementLog) {
    for (const CloseCase& c : kCloseCases) {
        SCOPED_TRACE(c.name);
        DiagnosticRig rig("C,O,-,-,C,O");
        rig.open();
        TFormDiagnostic& diag = rig.diag();
        diag.setDiagnosticChannel({3, 2});
        for (const QString& item : c.written) diag.detectorWritten(*ParseChannelItem(item));
        diag.encoderTab().manualSetup->setEnabled(true);
        diag.encoderTab().autoCalibration->setEnabled(true);
        rig.prompts.answers = {c.answer};
        if (c.failingStores) rig.controller->addFault(Answer("MSS", "CNR", c.failingStores));
        rig.controller->clearTranscript();
        const std::int64_t before = rig.clock.elapsedMs();
        bool closed = false;
        QObject::connect(&diag, &TFormDiagnostic::closed, [&closed] { closed = true; });
        diag.findChild<QPushButton*>("buttonClose")->click();
        ASSERT_TRUE(WaitFor([&] { return closed; }));
        EXPECT_EQ(rig.sent(), c.sent);
        EXPECT_EQ(rig.prompts.texts(), c.prompts);
        if (c.failingStores) {
            EXPECT_EQ(rig.prompts.shown.back().title, "Vellumotor Control");
            EXPECT_EQ(rig.prompts.shown.back().icon, PromptIcon::Error);
        }
        // 100 ms after every store that worked.
        EXPECT_EQ(rig.clock.elapsedMs() - before,
                  100 * (static_cast<std::int64_t>(c.sent.size()) - c.failingStores));
        EXPECT_FALSE(diag.isVisible());
        EXPECT_TRUE(rig.main().isEnabled());
        EXPECT_FALSE(diag.settingsChanged());
        EXPECT_EQ(ReadAll(rig.dir.path("VMdiag.log")), "No measurement data available\n");
        EXPECT_EQ(diag.diagnosticChannel().module, 0);
        EXPECT_EQ(diag.diagnosticChannel().channel, 0);
        EXPECT_FALSE(diag.encoderTab().manualSetup->isEnabled());
        EXPECT_FALSE(diag.encoderTab().autoCalibration->isEnabled());
    }
}

TEST(DiagnosticClose, ALogThatCannotBeReplacedIsReported) {
    DiagnosticRig rig("C,O,C,O,R,-");
    rig.open();
    ASSERT_TRUE(QDir().mkdir("VMdiag.log"));  // a directory in its place cannot be opened as a file
    rig.diag().setDiagnosticChannel({1, 1});
    rig.diag().encoderTab().manualSetup->setEnabled(true);
    rig.diag().closeSequence();
    EXPECT_EQ(rig.prompts.texts(), QStringList{"Temporary measurement data cannot be removed"});
    EXPECT_FALSE(rig.diag().isVisible());
    EXPECT_TRUE(rig.main().isEnabled());
    EXPECT_EQ(rig.diag().diagnosticChannel().module, 1);
    EXPECT_TRUE(rig.diag().encoderTab().manualSetup->isEnabled());
}

TEST(DiagnosticWindow, ChannelItems) {
    const std::pair<QString, std::optional<std::pair<int, int>>> cases[] = {
        {"2A", std::pair{2, 1}}, {"6C", std::pair{6, 3}}, {"1D", std::nullopt}, {"0A", std::nullopt},
        {"2", std::nullopt},     {"2AB", std::nullopt},   {"", std::nullopt}};
    for (const auto& [item, expected] : cases) {
        const auto channel = ParseChannelItem(item);
        ASSERT_EQ(channel.has_value(), expected.has_value()) << item.toStdString();
        if (channel) {
            EXPECT_EQ(std::pair(int{channel->module}, int{channel->channel}), *expected);
        }
    }
    EXPECT_EQ(ChannelItem(5, 2), "5B");
}

}  // namespace
}  // namespace vm::gui::test
