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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gui/calibration_tool.h"
#include "gui/encoder_calibration_tab.h"
#include "gui/thread_oem_auto_calibration.h"
#include "gui/thread_oem_measurement.h"
#include "tests/gui/diagnostic_rig.h"

namespace vm::gui::test {
namespace {

// A diagnostic window opened on the rack, with channel 1A and 4 K chosen in the encoder tab.
struct EncoderRig : DiagnosticRig {
    explicit EncoderRig(const std::string& rack = "C,O,C,O,R,-", const QString& item = "1A")
        : DiagnosticRig(rack) {
        open();
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
    QByteArray log() {
        QFile file(QString::fromStdString(dir.path("VMdiag.log")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
};

// Which controls of the tab and the window a user can use.
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
    EXPECT_EQ(Usable(rig),
              (std::vector<bool>{true, true, true, true, true, false, true, true, false, false, true}));
    rig.stopMeasurement();
    EXPECT_EQ(rig.tab().manualSetup->text(), "Manual Setup");
    EXPECT_EQ(rig.log(),
              "Time[s]\tAnalog[]\tCount[]\n0.000000\t120\t5\n0.000000\t120\t5\n0.000000\t120\t5\n");
    EXPECT_EQ(rig.tab().counterValue->text(), "5");
    EXPECT_EQ(rig.tab().adcValue->text(), "120");
    EXPECT_EQ(rig.tab().analogSeries->count(), 2);  // every sample after the first
    EXPECT_EQ(rig.tab().differentialSeries->at(1), QPointF(0, 0));
    EXPECT_EQ(*lines, (std::vector<std::string>{"CGV 11 1\r", "STP 1\r"}));
    EXPECT_EQ(Usable(rig),
              (std::vector<bool>{true, true, true, true, true, true, false, false, true, true, true}));
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
        // The three lines in order, nothing of the sampler between them, and sampling before and
        // after.
        EXPECT_EQ(*lines, (std::vector<std::string>{"CGV 12 1\r", "DSH 12 1 200\r", "DSL 12 1 50\r",
                                                    "DSG 12 1 10\r", "CGV 12 1\r", "STP 2\r"}));
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
    tab.autoCalibration->click();
    ASSERT_TRUE(WaitFor([&] { return tab.tool().running() && fake.words().size() == 8; }));
    EXPECT_EQ(fake.words().join(' '), "@VMSIM0001 OEMC 3 1 PROFILE1 4 1 600");
    EXPECT_FALSE(rig.context->current.access(
        [](COM_METHOD* link) { return static_cast<sim::SimLink*>(link)->isOpen(); }));
    // The link stays closed and the controls disabled while the tool runs.
    QTest::qWait(100);
    EXPECT_TRUE(tab.calibrating());
    EXPECT_FALSE(finished);
    EXPECT_EQ(Usable(rig), (std::vector<bool>{false, false, false, true, false, false, false, false, false,
                                              false, false}));
    ASSERT_TRUE(WaitFor([&] { return tab.tool().output().contains("Press ENTER"); }));
    tab.tool().outputWindow()->findChild<QPushButton*>("buttonEnter")->click();
    ASSERT_TRUE(WaitFor([&] { return finished; }));
    EXPECT_TRUE(rig.context->current.access(
        [](COM_METHOD* link) { return static_cast<sim::SimLink*>(link)->isOpen(); }));
    EXPECT_EQ(tab.statusText(), "Controller link reopened");
    EXPECT_EQ(Usable(rig), before);
    EXPECT_TRUE(rig.prompts.shown.empty());
}

TEST(AutoCalibration, AMissingToolIsReportedAndTheLinkComesBack) {
    vm::test::TempDir empty{"vm-no-vmcli"};
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(empty.path("")));
    EncoderRig rig("C,O,-,-,-,-");
    bool finished = false;
    QObject::connect(&rig.tab(), &TEncoderCalibrationTab::calibrationFinished,
                     [&finished] { finished = true; });
    rig.tab().autoCalibration->click();
    const bool ended = WaitFor([&] { return finished; });
    qputenv("PATH", savedPath);
    ASSERT_TRUE(ended);
    EXPECT_EQ(
        rig.prompts.texts(),
        QStringList{
            "The calibration tool vmcli was found neither next to this program nor on the search path"});
    EXPECT_EQ(rig.tab().statusText(), "Controller link reopened");
    EXPECT_TRUE(rig.tab().autoCalibration->isEnabled());
    EXPECT_TRUE(rig.diag().closeButton()->isEnabled());
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
        tab.tool().allowTerminal = false;
        bool finished = false;
        QObject::connect(&tab, &TEncoderCalibrationTab::calibrationFinished,
                         [&finished] { finished = true; });
        const std::int64_t before = rig.clock.elapsedMs();
        tab.autoCalibration->click();
        ASSERT_TRUE(WaitFor([&] { return tab.tool().running(); }));
        if (cancel) {
            tab.cancelReopenButton->click();  // while the tool still runs: it is left alone
            ASSERT_TRUE(WaitFor([&] { return finished; }));
            EXPECT_EQ(tab.statusText(), "Reopening cancelled: the controller link stays closed");
            EXPECT_EQ(link->opens, 0);
            EXPECT_TRUE(tab.tool().running());
        } else {
            tab.tool().sendEnter();
            ASSERT_TRUE(WaitFor([&] { return finished; }));
            EXPECT_EQ(tab.statusText(), "The controller link could not be reopened within 10 minutes");
            EXPECT_EQ(link->opens, TOEMAutoCalibration::kReopenAttempts);
            EXPECT_EQ(rig.clock.elapsedMs() - before, 2000 * TOEMAutoCalibration::kReopenAttempts);
        }
        EXPECT_TRUE(tab.autoCalibration->isEnabled());
        EXPECT_FALSE(tab.cancelReopenButton->isVisible());
    }
}

}  // namespace
}  // namespace vm::gui::test
