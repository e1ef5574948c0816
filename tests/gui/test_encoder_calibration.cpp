// The encoder calibration tab: the enable rules, the manual measurement and its log, the detector
// reader and writer borrowing the link from the sampler, and the hand-over of the controller to
// the command-line tool (a stand-in program here; the real vmcli in test_calibration_e2e.cpp).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gui/calibration_tool.h"
#include "gui/encoder_calibration_tab.h"
#include "gui/thread_oem_auto_calibration.h"
#include "gui/thread_oem_measurement.h"
#include "link/pipe_com.h"
#include "tests/gui/diagnostic_rig.h"
#include "tests/gui/modal_box.h"
#include "tests/support/pipe_support.h"

namespace vm::gui::test {
namespace {

// A diagnostic window opened on the rack, with channel 1A and 4 K chosen in the encoder tab.
struct EncoderRig : DiagnosticRig {
    explicit EncoderRig(const std::string& rack = "C,O,C,O,R,-", const QString& item = "1A")
        : DiagnosticRig(rack) {
        open();
        diag().findChild<QTabWidget*>("tabs")->setCurrentWidget(&tab());
        choose(item, "4");
    }
    TEncoderCalibrationTab& tab() { return diag().encoderTab(); }
    void choose(const QString& item, const QString& kelvin) {
        QListWidget* list = tab().channelList;
        const auto found = list->findItems(item, Qt::MatchExactly);
        ASSERT_FALSE(found.isEmpty());
        list->setCurrentItem(found.front());
        Q_EMIT list->itemClicked(found.front());
        const int index = tab().temperature->findText(kelvin);
        tab().temperature->setCurrentIndex(index);
        Q_EMIT tab().temperature->activated(index);
    }
    // The counter answers `samples` times, then every read fails: the sampler stores that many
    // samples and goes on sampling until stopped (against the in-process controller it would
    // otherwise reach its bound within a fraction of a second).
    void limitSamples(int samples, const std::string& reply = "_CGV 131077 120") {
        controller->addFault(Answer("CGV", reply, samples));
        controller->addFault(Answer("CGV", "MNF"));
    }
    // Lines the controller receives from now on, a run of the same line kept once.
    std::shared_ptr<std::vector<std::string>> record() {
        auto lines = std::make_shared<std::vector<std::string>>();
        controller->setLineObserver([lines](const sim::TranscriptEntry& e) {
            if (lines->empty() || lines->back() != e.line) lines->push_back(e.line);
        });
        return lines;
    }
    void neitherDirection() {
        tab().moveCw->setAutoExclusive(false);
        tab().moveCw->setChecked(false);
        tab().moveCcw->setChecked(false);
    }
    // Starts a measurement and waits until the sampler has stored at least `samples`.
    void startMeasurement(std::size_t samples = 1) {
        tab().manualSetup->click();
        ASSERT_TRUE(tab().measuring());
        ASSERT_TRUE(WaitFor([&] {
            QCoreApplication::processEvents();
            return tab().samplesShown() >= samples || !tab().measuring();
        }));
    }
    void stopMeasurement() {
        bool done = false;
        QObject::connect(&tab(), &TEncoderCalibrationTab::measurementFinished, [&done] { done = true; });
        tab().manualSetup->click();
        ASSERT_TRUE(WaitFor([&] { return done || !tab().measuring(); }));
    }
    // The detector threads sleep 1 ms of virtual time per check, which passes at once; let each of
    // those sleeps wait until the sampler, a thread of its own, has seen the request.
    void letTheSamplerAnswer() {
        EncoderHandshake& h = tab().handshake();
        clock.setObserver([&h](std::int64_t) {
            for (int i = 0; i < 1'000'000 && h.linkRequest.load() && !h.pauseAck.load(); ++i)
                std::this_thread::yield();
        });
    }
    // A person's click on an item of the encoder channel list.
    void clickItem(const QString& text) {
        QListWidget* list = tab().channelList;
        QListWidgetItem* item = list->findItems(text, Qt::MatchExactly).value(0);
        ASSERT_NE(item, nullptr);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
    }
    // Moves a track bar with the keyboard: Home, then `pages` times Page Up (10 each), or End.
    static void keyBar(QSlider* bar, int pages) {
        if (pages < 0) {
            QTest::keyClick(bar, Qt::Key_End);
            return;
        }
        QTest::keyClick(bar, Qt::Key_Home);
        for (int i = 0; i < pages; ++i) QTest::keyClick(bar, Qt::Key_PageUp);
    }
    // Presses a detector button and waits for its thread.
    void detector(QPushButton* button) {
        bool done = false;
        auto c =
            QObject::connect(&tab(), &TEncoderCalibrationTab::detectorFinished, [&done] { done = true; });
        QTest::mouseClick(button, Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return done; }));
        QObject::disconnect(c);
    }
    QByteArray log() {
        QFile file(QString::fromStdString(dir.path("VMdiag.log")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
};

// Which controls of the tab and the window a user can use: the channel list, both directions, the
// temperature, "Manual Setup", "Auto Calibration", "Get Values", "Set Values", the three track bars,
// "Close", "Save Result" and "Check".
std::vector<bool> Usable(EncoderRig& rig) {
    TEncoderCalibrationTab& t = rig.tab();
    return {t.channelList->isEnabled(),
            t.moveCw->isEnabled(),
            t.moveCcw->isEnabled(),
            t.temperature->isEnabled(),
            t.manualSetup->isEnabled(),
            t.autoCalibration->isEnabled(),
            t.getValues->isEnabled(),
            t.setValues->isEnabled(),
            t.gainBar->isEnabled(),
            t.highBar->isEnabled(),
            t.lowBar->isEnabled(),
            rig.diag().closeButton()->isEnabled(),
            rig.diag().saveButton()->isEnabled(),
            rig.diag().checkButton()->isEnabled()};
}

TEST(EncoderTab, ChoosingAChannelAndATemperatureEnablesTheButtons) {
    DiagnosticRig rig("C,O,C,O,R,-");
    rig.open();
    TEncoderCalibrationTab& tab = rig.diag().encoderTab();
    EXPECT_TRUE(rig.diag().tabShown(TFormDiagnostic::kTabEncoder));
    EXPECT_TRUE(tab.moveCw->isChecked());
    EXPECT_FALSE(tab.moveCw->isEnabled());
    EXPECT_FALSE(tab.temperature->isEnabled());
    EXPECT_EQ(tab.counterValue->text(), "NaN");
    EXPECT_EQ(tab.gainGet->text(), "?");
    // A temperature without a selected channel is ignored.
    Q_EMIT tab.temperature->activated(1);
    EXPECT_FALSE(tab.manualSetup->isEnabled());
    QListWidgetItem* item = tab.channelList->findItems("3B", Qt::MatchExactly).value(0);
    ASSERT_NE(item, nullptr);
    tab.channelList->setCurrentItem(item);
    Q_EMIT tab.channelList->itemClicked(item);
    EXPECT_EQ(rig.diag().diagnosticChannel().module, 3);
    EXPECT_EQ(rig.diag().diagnosticChannel().channel, 2);
    EXPECT_TRUE(tab.temperature->isEnabled());
    EXPECT_TRUE(tab.moveCcw->isEnabled());
    EXPECT_FALSE(tab.manualSetup->isEnabled());
    Q_EMIT tab.temperature->activated(1);
    EXPECT_TRUE(tab.manualSetup->isEnabled());
    EXPECT_TRUE(tab.autoCalibration->isEnabled());
}

TEST(EncoderTab, TrackBarsSnapLowNeverAboveHigh) {
    DiagnosticRig rig("C,O,-,-,-,-");
    TEncoderCalibrationTab& tab = rig.diag().encoderTab();
    struct Move {
        const char* bar;
        int value;
        int high, low;  // afterwards
    };
    const Move moves[] = {
        {"high", 100, 100, 0},   {"low", 50, 100, 50}, {"low", 150, 100, 100}, {"high", 90, 100, 100},
        {"high", 200, 200, 100}, {"low", 20, 200, 20}, {"high", 10, 20, 20},
    };
    for (const Move& m : moves) {
        (std::string(m.bar) == "high" ? tab.highBar : tab.lowBar)->setValue(m.value);
        EXPECT_EQ(tab.highBar->value(), m.high) << m.bar << " " << m.value;
        EXPECT_EQ(tab.lowBar->value(), m.low) << m.bar << " " << m.value;
    }
}

TEST(ManualMeasurement, WithoutDirectionSamplesWithoutMovingAndLogsEverySample) {
    EncoderRig rig;
    rig.neitherDirection();
    // The first three counter reads answer, then every read fails: exactly three samples.
    rig.limitSamples(3);
    rig.clock.advanceMs(5000);  // times in the log start at 0 whatever the clock read
    const auto lines = rig.record();
    rig.startMeasurement(3);
    EXPECT_EQ(rig.tab().manualSetup->text(), "Stop");
    // Measuring: the detector can be tuned, the channel cannot change.
    EXPECT_EQ(Usable(rig), (std::vector<bool>{false, true, true, true, true, false, true, true, true, true,
                                              true, false, false, true}));
    rig.stopMeasurement();
    EXPECT_EQ(rig.tab().manualSetup->text(), "Manual Setup");
    EXPECT_EQ(rig.log(),
              "Time[s]\tAnalog[]\tCount[]\n0.000000\t120\t5\n0.000000\t120\t5\n0.000000\t120\t5\n");
    EXPECT_EQ(rig.tab().counterValue->text(), "5");
    EXPECT_EQ(rig.tab().adcValue->text(), "120");
    EXPECT_EQ(rig.tab().analogSeries->count(), 2);  // every sample after the first
    EXPECT_EQ(rig.tab().differentialSeries->at(1), QPointF(0, 0));
    EXPECT_EQ(*lines, (std::vector<std::string>{"CGV 11 1\r", "STP 1\r"}));
    EXPECT_EQ(Usable(rig), (std::vector<bool>{true, true, true, true, true, true, false, false, false, false,
                                              false, true, true, true}));
}

TEST(ManualMeasurement, DirectionsCountAndRunTheActuator) {
    struct Case {
        bool cw;
        std::string count, move;
    };
    // PROFILE1 at 77 K and 100 %: rise time 18.
    for (const Case& c : {Case{true, "CCU 14 2\r", "MOV 4 1 10 100 0 18 2 S\r"},
                          Case{false, "CCD 14 2\r", "MOV 4 0 10 100 0 18 2 S\r"}}) {
        EncoderRig rig("-,-,-,C,O,-", "4B");
        rig.choose("4B", "77");
        (c.cw ? rig.tab().moveCw : rig.tab().moveCcw)->setChecked(true);
        rig.limitSamples(2);
        const auto lines = rig.record();
        const std::int64_t before = rig.clock.elapsedMs();
        rig.startMeasurement(2);
        EXPECT_EQ(rig.clock.elapsedMs() - before, 300);  // between the count direction and the move
        rig.stopMeasurement();
        EXPECT_EQ(*lines, (std::vector<std::string>{c.count, c.move, "CGV 14 2\r", "STP 4\r"}));
    }
}

TEST(ManualMeasurement, StopsByItselfAfterTheSampleBoundAndTheNextPressOnlyResets) {
    EncoderRig rig("C,O,-,-,-,-");
    rig.neitherDirection();
    bool done = false;
    QObject::connect(&rig.tab(), &TEncoderCalibrationTab::measurementFinished, [&done] { done = true; });
    rig.tab().manualSetup->click();
    ASSERT_TRUE(WaitFor([&] { return done; }, 120000));
    EXPECT_EQ(rig.tab().samplesShown(), TOEMMeasurement::kMaxSamples);
    EXPECT_EQ(rig.tab().manualSetup->text(), "Stop");
    EXPECT_EQ(rig.log().count('\n'), 108001);
    // The chart gets an envelope of the samples, not every one of them.
    EXPECT_LE(rig.tab().analogSeries->count(), 2000);
    rig.controller->clearTranscript();
    rig.tab().manualSetup->click();
    EXPECT_EQ(rig.tab().manualSetup->text(), "Manual Setup");
    EXPECT_FALSE(rig.tab().measuring());
    EXPECT_TRUE(rig.sent().empty());
}

TEST(ManualMeasurement, TheDetectorIsTunedByHandOnTheMeasuredChannelOnly) {
    EncoderRig rig;
    rig.neitherDirection();
    rig.controller->addFault(Answer("MLS", "_MLS 30 40 90"));
    rig.limitSamples(3);
    rig.letTheSamplerAnswer();
    rig.startMeasurement(3);
    TEncoderCalibrationTab& tab = rig.tab();
    // Another channel cannot be chosen while 1A is measured.
    rig.clickItem("3B");
    EXPECT_EQ(rig.diag().diagnosticChannel().module, 1);
    const auto lines = rig.record();
    rig.detector(tab.getValues);
    EXPECT_EQ(tab.highLine->points(), (QList<QPointF>{{0, 40}, {2, 40}}));
    // The bars follow the keyboard while measuring; each write replaces the level drawn.
    EncoderRig::keyBar(tab.highBar, -1);
    EncoderRig::keyBar(tab.lowBar, 5);
    EncoderRig::keyBar(tab.gainBar, 1);
    rig.detector(tab.setValues);
    rig.stopMeasurement();
    // The sampler's counter reads fall between these lines as its thread gets to run; all of them
    // read the measured channel, and none falls inside the three detector writes.
    std::vector<std::string> detectorLines;
    for (const std::string& line : *lines) {
        if (line == "CGV 11 1\r") continue;
        detectorLines.push_back(line);
    }
    EXPECT_EQ(detectorLines, (std::vector<std::string>{"MLS 11 1\r", "DSH 11 1 255\r", "DSL 11 1 50\r",
                                                       "DSG 11 1 10\r", "STP 1\r"}));
    const auto dsh = std::find(lines->begin(), lines->end(), "DSH 11 1 255\r");
    ASSERT_GE(std::distance(dsh, lines->end()), 3) << "the detector writes are missing";
    EXPECT_EQ(std::vector<std::string>(dsh, dsh + 3),
              (std::vector<std::string>{"DSH 11 1 255\r", "DSL 11 1 50\r", "DSG 11 1 10\r"}));
    EXPECT_EQ(tab.highLine->points(), (QList<QPointF>{{0, 255}, {2, 255}}));
    EXPECT_EQ(tab.lowLine->points(), (QList<QPointF>{{0, 50}, {2, 50}}));
    ASSERT_EQ(rig.diag().writtenChannels().size(), 1);
    EXPECT_EQ(rig.diag().writtenChannels().front().channel, 1);
    // Not measuring: the keyboard no longer moves the bars.
    EncoderRig::keyBar(tab.gainBar, 3);
    EXPECT_EQ(tab.gainBar->value(), 10);
}

TEST(EncoderTab, ReopeningTheWindowResetsTheBarsAndTheStatus) {
    EncoderRig rig;
    rig.neitherDirection();
    rig.tab().logPath = QString::fromStdString(rig.dir.path(""));  // a directory: the log cannot be written
    rig.limitSamples(2);
    rig.startMeasurement(2);
    EncoderRig::keyBar(rig.tab().highBar, -1);
    EncoderRig::keyBar(rig.tab().lowBar, 5);
    rig.stopMeasurement();
    EXPECT_TRUE(rig.tab().statusText().contains("could not be written"));
    bool closed = false;
    QObject::connect(&rig.diag(), &TFormDiagnostic::closed, [&closed] { closed = true; });
    QTest::mouseClick(rig.diag().closeButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return closed; }));
    rig.open();
    EXPECT_EQ(rig.tab().highBar->value(), 0);
    EXPECT_EQ(rig.tab().lowBar->value(), 0);
    EXPECT_EQ(rig.tab().statusText(), "");
}

// Close after tuning channel B: the question is a real message box, and Yes stores that channel alone.
TEST(EncoderTab, CloseStoresTheChannelThatWasTuned) {
    EncoderRig rig("C,O,C,O,R,-", "1B");
    rig.choose("1B", "4");
    rig.neitherDirection();
    rig.limitSamples(2);
    rig.letTheSamplerAnswer();
    rig.startMeasurement(2);
    EncoderRig::keyBar(rig.tab().highBar, 20);
    rig.detector(rig.tab().setValues);
    rig.stopMeasurement();
    rig.prompts.realBoxes = true;
    QString question;
    DismissNextMessageBox([&question](QMessageBox& box) {
        question = box.text();
        box.button(QMessageBox::Yes)->click();
    });
    bool closed = false;
    QObject::connect(&rig.diag(), &TFormDiagnostic::closed, [&closed] { closed = true; });
    rig.controller->clearTranscript();
    QTest::mouseClick(rig.diag().closeButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return closed; }));
    EXPECT_TRUE(question.startsWith("Would you like to store the new settings?"));
    EXPECT_EQ(rig.sent(), (std::vector<std::string>{"MSS 11 2\r"}));
    EXPECT_EQ(rig.prompts.shown.size(), 1u);  // no failure reported
}

struct WriteCase {
    const char* name;
    std::vector<std::string> failing;  // detector words the module refuses
    QStringList get;                   // Get labels afterwards: high, low, gain
    int highPoints, lowPoints;
    bool changed;
};

const WriteCase kWriteCases[] = {
    {"all accepted", {}, {"200", "50", "10"}, 2, 2, true},
    {"low refused", {"DSL"}, {"200", "?", "10"}, 2, 0, true},
    {"all refused", {"DSH", "DSL", "DSG"}, {"?", "?", "?"}, 0, 0, false},
};

TEST(DetectorWriter, SendsHighLowGainInOrderWhileTheSamplerWaits) {
    for (const WriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        EncoderRig rig("-,C,O,-,-,-", "2A");
        rig.neitherDirection();
        for (const std::string& word : c.failing) rig.controller->addFault(Answer(word, "CNR"));
        rig.limitSamples(5);
        const auto lines = rig.record();
        rig.letTheSamplerAnswer();
        rig.startMeasurement(5);
        TEncoderCalibrationTab& tab = rig.tab();
        tab.highBar->setValue(200);
        tab.lowBar->setValue(50);
        tab.gainBar->setValue(10);
        bool written = false;
        QObject::connect(&tab, &TEncoderCalibrationTab::detectorFinished, [&written] { written = true; });
        tab.setValues->click();
        ASSERT_TRUE(WaitFor([&] { return written; }));
        rig.stopMeasurement();
        EXPECT_EQ((QStringList{tab.highSet->text(), tab.lowSet->text(), tab.gainSet->text()}),
                  (QStringList{"200", "50", "10"}));
        EXPECT_EQ((QStringList{tab.highGet->text(), tab.lowGet->text(), tab.gainGet->text()}), c.get);
        EXPECT_EQ(tab.highLine->count(), c.highPoints);
        EXPECT_EQ(tab.lowLine->count(), c.lowPoints);
        EXPECT_EQ(rig.diag().settingsChanged(), c.changed);
        // The three lines in order, nothing of the sampler between them, sampling before them and,
        // when the sampler's thread gets to run before the stop, after them.
        std::vector<std::string> expected{"CGV 12 1\r",    "DSH 12 1 200\r", "DSL 12 1 50\r",
                                          "DSG 12 1 10\r", "CGV 12 1\r",     "STP 2\r"};
        if (lines->size() + 1 == expected.size()) expected.erase(expected.end() - 2);
        EXPECT_EQ(*lines, expected);
    }
}

TEST(DetectorReader, ReadsDuringTheMeasurementWithoutSnapping) {
    EncoderRig rig("C,O,-,-,-,-");
    rig.neitherDirection();
    rig.controller->addFault(Answer("MLS", "_MLS 30 40 90"));  // low above high, as a module may report
    rig.limitSamples(3);
    rig.letTheSamplerAnswer();
    rig.startMeasurement(3);
    TEncoderCalibrationTab& tab = rig.tab();
    bool read = false;
    QObject::connect(&tab, &TEncoderCalibrationTab::detectorFinished, [&read] { read = true; });
    tab.getValues->click();
    ASSERT_TRUE(WaitFor([&] { return read; }));
    rig.stopMeasurement();
    EXPECT_EQ((QStringList{tab.gainGet->text(), tab.highGet->text(), tab.lowGet->text()}),
              (QStringList{"30", "40", "90"}));
    EXPECT_EQ(tab.highBar->value(), 40);
    EXPECT_EQ(tab.lowBar->value(), 90);
    EXPECT_EQ(tab.gainBar->value(), 30);
    EXPECT_EQ(tab.highLine->points(), (QList<QPointF>{{0, 40}, {2, 40}}));
    EXPECT_EQ(tab.lowLine->points(), (QList<QPointF>{{0, 90}, {2, 90}}));
    EXPECT_FALSE(rig.diag().settingsChanged());
}

TEST(DetectorThreads, WithoutAMeasurementTheyGiveUpAfterTenSecondsAndChangeNothing) {
    for (const bool write : {false, true}) {
        SCOPED_TRACE(write ? "writer" : "reader");
        EncoderRig rig("C,O,-,-,-,-");
        TEncoderCalibrationTab& tab = rig.tab();
        tab.highBar->setValue(70);
        rig.controller->clearTranscript();
        const std::int64_t before = rig.clock.elapsedMs();
        bool done = false;
        QObject::connect(&tab, &TEncoderCalibrationTab::detectorFinished, [&done] { done = true; });
        write ? tab.setDetector() : tab.getDetector();
        ASSERT_TRUE(WaitFor([&] { return done; }));
        EXPECT_EQ(rig.clock.elapsedMs() - before, kPauseChecks);
        EXPECT_TRUE(rig.sent().empty());
        EXPECT_FALSE(tab.handshake().linkRequest.load());
        EXPECT_EQ(tab.highGet->text(), "?");
        EXPECT_EQ(tab.highLine->count(), 0);
        EXPECT_EQ(tab.highBar->value(), 70);
        EXPECT_FALSE(rig.diag().settingsChanged());
        EXPECT_EQ(tab.highSet->text(), write ? "70" : "?");
        EXPECT_EQ(tab.statusText(),
                  write ? "Detector settings not written: the measurement did not pause within 10 s" : "");
    }
}

TEST(AutoCalibration, TheToolsWordsFollowTheTemplate) {
    EXPECT_EQ(CalibrationArguments("SELECTOR", 2, 1, 4).join(' '), "@SELECTOR OEMC 2 1 PROFILE1 4 1 600");
    // Channel 1 of drive module 2 is calibrated through the encoder module in slot 3.
    EXPECT_EQ(CalibrationArguments("SELECTOR", EncoderSlot(2), 1, 4).join(' '),
              "@SELECTOR OEMC 3 1 PROFILE1 4 1 600");
    // The selector stays one word, whatever it holds.
    EXPECT_EQ(CalibrationArguments("A B", 6, 3, 293).value(0), "@A B");
}

// A stand-in "vmcli" in a directory of its own, first on PATH; it records its words.
struct FakeTool {
    vm::test::TempDir dir{"vm-fake-vmcli"};
    PathPrefix path{QString::fromStdString(dir.path(""))};
    FakeTool() {
        QFile::link(FAKE_VMCLI_PATH, QString::fromStdString(dir.path("vmcli")));
        qputenv("FAKE_VMCLI_RECORD", QByteArray::fromStdString(dir.path("words")));
    }
    ~FakeTool() { qunsetenv("FAKE_VMCLI_RECORD"); }
    QStringList words() {
        QFile file(QString::fromStdString(dir.path("words")));
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromLocal8Bit(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
};

TEST(AutoCalibration, HandsTheDeviceToTheToolAndTakesItBackWhenTheToolEnds) {
    FakeTool fake;
    EncoderRig rig("-,C,O,-,-,-", "2A");
    TEncoderCalibrationTab& tab = rig.tab();
    tab.tool().allowTerminal = false;
    const std::vector<bool> before = Usable(rig);
    bool finished = false;
    QObject::connect(&tab, &TEncoderCalibrationTab::calibrationFinished, [&finished] { finished = true; });
    rig.controller->addFault(Answer("MLS", "_MLS 7 8 9"));
    QTest::mouseClick(tab.autoCalibration, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return tab.tool().running() && fake.words().size() == 8; }));
    EXPECT_EQ(fake.words().join(' '), "@VMSIM0001 OEMC 3 1 PROFILE1 4 1 600");
    EXPECT_FALSE(rig.context->current.access(
        [](COM_METHOD* link) { return static_cast<sim::SimLink*>(link)->isOpen(); }));
    // The link stays closed and the controls disabled while the tool runs.
    QTest::qWait(100);
    EXPECT_TRUE(tab.calibrating());
    EXPECT_FALSE(finished);
    EXPECT_EQ(Usable(rig), (std::vector<bool>{false, false, false, true, false, false, false, false, false,
                                              false, false, false, false, false}));
    ASSERT_TRUE(WaitFor([&] { return tab.tool().output().contains("Press ENTER"); }));
    QTest::mouseClick(tab.tool().outputWindow()->findChild<QPushButton*>("buttonEnter"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return finished; }));
    EXPECT_TRUE(rig.context->current.access(
        [](COM_METHOD* link) { return static_cast<sim::SimLink*>(link)->isOpen(); }));
    EXPECT_EQ(tab.statusText(), "vmcli ended with exit code 0; controller link reopened");
    EXPECT_EQ(Usable(rig), before);
    EXPECT_TRUE(rig.prompts.shown.empty());
    // What the calibration left in the detector is read back; the tool's output stays readable.
    ASSERT_TRUE(rig.idle());
    EXPECT_EQ((QStringList{tab.gainGet->text(), tab.highGet->text(), tab.lowGet->text()}),
              (QStringList{"7", "8", "9"}));
    EXPECT_TRUE(tab.tool().output().contains("Press ENTER"));
}

// Monitor mode: the program's link is a pipe link to a monitor, which serves one client at a time.
TEST(AutoCalibration, InMonitorModeTheToolIsHandedTheMonitorItself) {
    vm::test::PrivatePipeDirectory pipes;
    FakeTool fake;
    EncoderRig rig("C,O,-,-,-,-");
    auto pipe = std::make_unique<PIPE_COM>(rig.linkContext);
    ASSERT_TRUE(pipe->Open("vmtestmon"));
    rig.context->current.replace(std::move(pipe));
    const std::string reply = pipes.file("vmtestmon" + std::string(pipe::kReplySuffix));
    ASSERT_TRUE(QFileInfo::exists(QString::fromStdString(reply)));
    TEncoderCalibrationTab& tab = rig.tab();
    bool finished = false;
    QObject::connect(&tab, &TEncoderCalibrationTab::calibrationFinished, [&finished] { finished = true; });
    QTest::mouseClick(tab.autoCalibration, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return tab.tool().running() && fake.words().size() == 8; }));
    EXPECT_EQ(fake.words().join(' '), "@CMON:vmtestmon OEMC 2 1 PROFILE1 4 1 600");
    // The program's end of the monitor is free for the tool.
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(reply)));
    tab.tool().sendEnter();
    ASSERT_TRUE(WaitFor([&] { return finished; }));
    EXPECT_EQ(tab.statusText(), "vmcli ended with exit code 0; controller link reopened");
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(reply)));
    EXPECT_TRUE(rig.prompts.shown.empty());
    ASSERT_TRUE(rig.idle());
}

// Without a tool, or without a link the tool could be told about, nothing is handed over: the link
// stays open and in use, and the status says why.
TEST(AutoCalibration, WhatCannotBeHandedOverIsRefusedBeforeTheLinkIsTouched) {
    struct Case {
        const char* name;
        bool tool;
        QString text, status;
    };
    const QString noTool =
        "The calibration tool vmcli was found neither next to this program nor on the search path";
    const Case cases[] = {
        {"no tool", false, noTool, noTool},
        {"no selector", true, "No controller link to hand over to vmcli",
         "No controller link to hand over to vmcli; the link was left as it was"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vm::test::TempDir empty{"vm-no-vmcli"};
        const QByteArray savedPath = qgetenv("PATH");
        auto fake = c.tool ? std::make_unique<FakeTool>() : nullptr;
        if (!c.tool) qputenv("PATH", QByteArray::fromStdString(empty.path("")));
        EncoderRig rig("C,O,-,-,-,-");
        if (c.tool) rig.context->current.access([](COM_METHOD* link) { return link->selector().assign(""); });
        const std::vector<bool> before = Usable(rig);
        rig.prompts.realBoxes = true;
        QString shown;
        AcceptNextMessageBox(&shown);
        QTest::mouseClick(rig.tab().autoCalibration, Qt::LeftButton);
        const bool ended = WaitFor([&] { return !shown.isEmpty() && !rig.tab().calibrating(); });
        qputenv("PATH", savedPath);
        ASSERT_TRUE(ended);
        EXPECT_EQ(shown, c.text);
        EXPECT_EQ(rig.tab().statusText(), c.status);
        EXPECT_TRUE(rig.context->current.access(
            [](COM_METHOD* link) { return static_cast<sim::SimLink*>(link)->isOpen(); }));
        if (fake) {
            EXPECT_TRUE(fake->words().isEmpty());
        }
        EXPECT_EQ(Usable(rig), before);
        EXPECT_FALSE(rig.context->oem.GetCounter(1, 1));  // the link still answers
    }
}

// The virtual controller behind a link that refuses to open again.
class StuckLink final : public COM_METHOD {
  public:
    StuckLink(const LinkContext& context, sim::Controller& controller)
        : COM_METHOD(context), sim_(context, controller) {
        sim_.OpenDefault();
        selector().assign("VMSIM0001");
    }
    bool OpenDefault() override { return false; }
    bool Open(std::string_view) override {
        ++opens;
        return false;
    }
    void Close() override { sim_.Close(); }
    int Exchange() override {
        sim_.command().assign(command().view());
        const int result = sim_.Exchange();
        reply().assign(sim_.reply().view());
        return result;
    }
    int ListDevices() override { return 0; }
    int opens = 0;

  private:
    sim::SimLink sim_;
};

TEST(AutoCalibration, ReopeningIsBoundedAndCanBeCancelled) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "bounded");
        FakeTool fake;
        EncoderRig rig("C,O,-,-,-,-");
        auto stuck = std::make_unique<StuckLink>(rig.linkContext, *rig.controller);
        StuckLink* link = stuck.get();
        rig.context->current.replace(std::move(stuck));
        TEncoderCalibrationTab& tab = rig.tab();
        bool finished = false;
        QObject::connect(&tab, &TEncoderCalibrationTab::calibrationFinished,
                         [&finished] { finished = true; });
        const std::int64_t before = rig.clock.elapsedMs();
        tab.autoCalibration->click();
        ASSERT_TRUE(WaitFor([&] { return tab.tool().running(); }));
        if (cancel) {
            // While the tool still runs the cancel changes nothing but what follows its end: the
            // controls that use the link stay disabled, a new temperature does not bring them back.
            const std::vector<bool> during = Usable(rig);
            QTest::mouseClick(tab.cancelReopenButton, Qt::LeftButton);
            EXPECT_EQ(tab.statusText(), "The controller link stays closed when vmcli ends");
            QTest::keyClick(tab.temperature, Qt::Key_Down);
            rig.controller->clearTranscript();
            QTest::mouseClick(tab.manualSetup, Qt::LeftButton);
            QTest::qWait(50);
            EXPECT_TRUE(tab.calibrating());
            EXPECT_FALSE(finished);
            EXPECT_EQ(Usable(rig), during);
            EXPECT_TRUE(rig.sent().empty());
            tab.tool().sendEnter();
            ASSERT_TRUE(WaitFor([&] { return finished; }));
            EXPECT_EQ(tab.statusText(),
                      "vmcli ended with exit code 0; reopening cancelled: the controller link stays closed");
            EXPECT_EQ(link->opens, 0);
        } else {
            tab.tool().sendEnter();
            ASSERT_TRUE(WaitFor([&] { return finished; }));
            EXPECT_EQ(
                tab.statusText(),
                "vmcli ended with exit code 0; the controller link could not be reopened within 10 minutes");
            EXPECT_EQ(link->opens, TOEMAutoCalibration::kReopenAttempts);
            EXPECT_EQ(rig.clock.elapsedMs() - before, 2000 * TOEMAutoCalibration::kReopenAttempts);
        }
        EXPECT_TRUE(tab.autoCalibration->isEnabled());
        EXPECT_FALSE(tab.cancelReopenButton->isVisible());
    }
}

}  // namespace
}  // namespace vm::gui::test
