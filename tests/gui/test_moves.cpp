// The move buttons, the position monitor, the counter menu, the DC-level dialog and the emergency
// panel: exact wire lines against scripted links, behaviour against the in-process virtual
// controller. Everything runs in virtual time.
#include <gtest/gtest.h>

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "gui/dc_set_form.h"
#include "gui/emergency_panel_form.h"
#include "gui/grid_layout.h"
#include "gui/thread_oem_get_position.h"
#include "tests/gui/gui_rig.h"
#include "tests/gui/modal_box.h"
#include "tests/support/scripted_link.h"

namespace vm::gui::test {
namespace {

using vm::test::ScriptedLink;
using vm::test::ScriptStep;

// Answers each line by its command word from a table (the last reply of a word repeats), records
// every line with the clock time it came at, and can hold the first line that begins with `hold`
// until the test lets it through.
class AnsweringLink final : public COM_METHOD {
  public:
    AnsweringLink(const LinkContext& context, std::map<std::string, std::vector<std::string>> replies)
        : COM_METHOD(context), replies_(std::move(replies)) {}

    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int ListDevices() override { return 1; }
    int Exchange() override {
        const std::string line(command().view());
        const std::string word = line.substr(0, line.find_first_of(" \r"));
        {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            timesMs_.push_back(clock().nowMs());
        }
        gate.pass(line);
        std::lock_guard lock(mutex_);
        std::vector<std::string>& answers = replies_[word];
        std::string answer = answers.empty() ? std::string("CNR\r") : answers.front();
        if (answers.size() > 1) answers.erase(answers.begin());
        reply().assign(answer);
        return 0;
    }

    bool holding() { return gate.holding(); }
    void release() { gate.release(); }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<std::int64_t> timesMs() {
        std::lock_guard lock(mutex_);
        return timesMs_;
    }

    ExchangeGate gate;

  private:
    std::mutex mutex_;
    std::map<std::string, std::vector<std::string>> replies_;
    std::vector<std::string> lines_;
    std::vector<std::int64_t> timesMs_;
};

// A rack with an encoder module behind drive module 1 (rows 1 to 3) and none behind drive
// module 3 (rows 7 to 9).
constexpr const char* kRack = "C,O,C,-,-,-";

QPushButton* Button(TMainForm& main, const char* name) { return main.findChild<QPushButton*>(name); }

// A fault on every move line (or, with an empty word, on every line).
sim::FaultRule MoveFault(sim::Fault fault, std::string text = {}, std::string word = "MOV") {
    sim::FaultRule rule;
    rule.fault = fault;
    rule.word = std::move(word);
    rule.text = std::move(text);
    return rule;
}

// The drive values of a row: PROFILE1 at 293 K and 100 % gives the rise time 30.
void SetMoveCells(GuiRig& rig, int row, const QString& steps = "50") {
    QTableWidget* grid = rig.main().grid();
    const std::pair<int, QString> cells[] = {
        {kColType, "PROFILE1"}, {kColTemperature, "293"}, {kColFrequency, "100"},
        {kColStepSize, "100"},  {kColSteps, steps},
    };
    for (const auto& [column, text] : cells) grid->item(row - 1, column)->setText(text);
}

// Which move controls can be used: grid, the four Run and Steps buttons, the File menu, Abort.
struct MoveControls {
    bool grid, ccwRun, ccwSteps, cwSteps, cwRun, fileMenu, abort;
    bool operator==(const MoveControls&) const = default;
};
MoveControls Controls(TMainForm& main) {
    return {main.grid()->isEnabled(),
            Button(main, "buttonCcwRun")->isEnabled(),
            Button(main, "buttonCcwSteps")->isEnabled(),
            Button(main, "buttonCwSteps")->isEnabled(),
            Button(main, "buttonCwRun")->isEnabled(),
            main.findChild<QMenu*>("menuFile")->menuAction()->isEnabled(),
            Button(main, "buttonAbort")->isEnabled()};
}
constexpr MoveControls kIdle{true, true, true, true, true, true, true};
constexpr MoveControls kMoving{false, false, false, false, false, false, true};

bool Bold(TMainForm& main, const char* name) { return Button(main, name)->font().bold(); }

bool Settled(GuiRig& rig) {
    return WaitFor(
        [&] { return !rig.main().positionMonitorRunning() && rig.context->runner.pending() == 0; });
}

// Makes a scripted link current; the rig's context owns it from then on.
ScriptedLink* UseScript(GuiRig& rig, std::initializer_list<ScriptStep> steps) {
    auto link = std::make_unique<ScriptedLink>(steps, rig.linkContext);
    ScriptedLink* raw = link.get();
    rig.context->current.replace(std::move(link));
    return raw;
}

AnsweringLink* UseAnswers(GuiRig& rig, std::map<std::string, std::vector<std::string>> replies) {
    auto link = std::make_unique<AnsweringLink>(rig.linkContext, std::move(replies));
    AnsweringLink* raw = link.get();
    rig.context->current.replace(std::move(link));
    return raw;
}

std::vector<std::string> Lines(std::initializer_list<ScriptStep> steps) {
    std::vector<std::string> lines;
    for (const ScriptStep& s : steps) lines.push_back(s.expected);
    return lines;
}

struct MoveCase {
    const char* what;
    int row;
    const char* button;
    std::initializer_list<ScriptStep> script;
    bool endsWithAbort;  // the last step is Abort's own stop
    QString counter;     // column 9 afterwards; empty: as the scan left it
};

TEST(Moves, ButtonsSendTheirLinesAndTheMonitorFollows) {
    const MoveCase cases[] = {
        {"steps with encoder: poll until the status leaves _MOV, stop, read the counter",
         2,
         "buttonCwSteps",
         {{"CCU 11 2\r", "_CCU\r"},
          {"MOV 1 1 100 100 50 30 2 S\r", "_MOV\r"},
          {"CGV 11 2\r", "_CGV 131082 7\r"},
          {"STS 1\r", "_MOV\r"},
          {"CGV 11 2\r", "_CGV 131100 7\r"},
          {"STS 1\r", "_STP\r"},
          {"STP 1\r", "_STP\r"},
          {"CGV 11 2\r", "_CGV 131122 7\r"}},
         false,
         "50"},
        {"steps without encoder: the monitor polls the status alone and reads the counter once",
         7,
         "buttonCcwSteps",
         {{"MOV 3 0 100 100 50 30 1 S\r", "_MOV\r"},
          {"STS 3\r", "_MOV\r"},
          {"STS 3\r", "_STP\r"},
          {"STP 3\r", "_STP\r"},
          {"CGV 13 1\r", "MNF\r"}},
         false,
         {}},
        {"run with encoder: counts down first, the monitor ends when the module stops by itself",
         1,
         "buttonCcwRun",
         {{"CCD 11 1\r", "_CCD\r"},
          {"MOV 1 0 100 100 0 30 1 S\r", "_MOV\r"},
          {"CGV 11 1\r", "_CGV 131070 7\r"},
          {"STS 1\r", "_STP\r"},
          {"STP 1\r", "_STP\r"},
          {"CGV 11 1\r", "_CGV 131060 7\r"}},
         false,
         "-12"},
        {"run without encoder: no monitor, Abort stops the module itself",
         7,
         "buttonCwRun",
         {{"MOV 3 1 100 100 0 30 1 S\r", "_MOV\r"}, {"STP 3\r", "_STP\r"}},
         true,
         {}},
        {"a refused move is stopped at once and gives the controls back",
         8,
         "buttonCwRun",
         {{"MOV 3 1 100 100 0 30 2 S\r", "CNR\r"}, {"STP 3\r", "_STP\r"}},
         false,
         {}},
    };
    for (const MoveCase& c : cases) {
        SCOPED_TRACE(c.what);
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        SetMoveCells(rig, c.row);
        main.state().selectedRow = static_cast<std::uint8_t>(c.row);
        const QString counterBefore = rig.cell(c.row, kColCounter);
        ScriptedLink* link = UseScript(rig, c.script);

        Button(main, c.button)->click();
        EXPECT_EQ(Controls(main), kMoving);
        ASSERT_TRUE(Settled(rig));
        if (c.endsWithAbort) {
            EXPECT_EQ(Controls(main), kMoving) << "only Abort ends a move without a monitor";
            EXPECT_TRUE(Bold(main, c.button));
            Button(main, "buttonAbort")->click();
            ASSERT_TRUE(Settled(rig));
        }
        EXPECT_EQ(link->sent(), Lines(c.script));
        EXPECT_EQ(Controls(main), kIdle);
        EXPECT_FALSE(Bold(main, c.button));
        EXPECT_EQ(rig.cell(c.row, kColCounter), c.counter.isEmpty() ? counterBefore : c.counter);
    }
}

// With an encoder module Abort only sets the stop request; the monitor sends the stops, 100 ms
// apart, until one is answered "_STP" or ten were sent.
TEST(Moves, AbortWithEncoderLeavesTheStopsToTheMonitor) {
    const struct {
        std::vector<std::string> stopReplies;
        int stops;
    } cases[] = {{{"CNR\r"}, 10}, {{"CNR\r", "MNF\r", "_STP\r"}, 3}, {{"_STP\r"}, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stops);
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        SetMoveCells(rig, 1);
        AnsweringLink* link = UseAnswers(rig, {{"CCU", {"_CCU\r"}},
                                               {"MOV", {"_MOV\r"}},
                                               {"CGV", {"_CGV 131075 7\r"}},
                                               {"STS", {"_MOV\r"}},
                                               {"STP", c.stopReplies}});
        link->gate.holdAt("STS");

        Button(main, "buttonCwRun")->click();
        ASSERT_TRUE(WaitFor([&] { return link->holding(); }));
        EXPECT_EQ(Controls(main), kMoving);
        EXPECT_TRUE(Bold(main, "buttonCwRun"));
        Button(main, "buttonAbort")->click();
        EXPECT_TRUE(main.state().stopRequest.load());
        EXPECT_EQ(rig.context->runner.pending(), 0) << "Abort itself sends nothing";
        link->release();
        ASSERT_TRUE(Settled(rig));

        std::vector<std::string> expected = {"CCU 11 1\r", "MOV 1 1 100 100 0 30 1 S\r", "CGV 11 1\r",
                                             "STS 1\r"};
        expected.insert(expected.end(), static_cast<std::size_t>(c.stops), "STP 1\r");
        expected.push_back("CGV 11 1\r");
        EXPECT_EQ(link->lines(), expected);
        const std::vector<std::int64_t> times = link->timesMs();
        for (std::size_t i = 5; i < 4 + static_cast<std::size_t>(c.stops); ++i)
            EXPECT_EQ(times[i] - times[i - 1], 100) << "stop " << i - 3;
        EXPECT_EQ(Controls(main), kIdle);
        EXPECT_FALSE(Bold(main, "buttonCwRun"));
        EXPECT_EQ(rig.cell(1, kColCounter), "3");
    }
}

// Against the virtual controller: a Steps move runs its steps and ends by itself, and column 9
// shows the counter the encoder module counted.
TEST(Moves, StepsMoveEndsByItselfWithTheCounterAdvanced) {
    const struct {
        const char* button;
        int sign;
    } cases[] = {{"buttonCwSteps", 1}, {"buttonCcwSteps", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button);
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        SetMoveCells(rig, 3, "40");
        main.state().selectedRow = 3;
        const int before = rig.cell(3, kColCounter).toInt();
        const std::int64_t start = rig.clock.elapsedMs();

        Button(main, c.button)->click();
        ASSERT_TRUE(Settled(rig));
        const int pulses = sim::ParseRack(kRack)->pulsesPerStep;
        EXPECT_EQ(rig.cell(3, kColCounter).toInt(), before + c.sign * 40 * pulses);
        EXPECT_GE(rig.clock.elapsedMs() - start, 400) << "40 steps at 100 Hz";
        EXPECT_EQ(Controls(main), kIdle);
        EXPECT_FALSE(rig.context->vmdm.Status(1));
        EXPECT_EQ(rig.context->vmdm.status(), "_STP");
    }
}

// Against the virtual controller a Run move runs until Abort, with or without a monitor, and the
// module stands afterwards.
TEST(Moves, RunMovesUntilAbort) {
    const struct {
        int row;
        bool encoder;
    } cases[] = {{7, false}, {1, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        SetMoveCells(rig, c.row);
        main.state().selectedRow = static_cast<std::uint8_t>(c.row);
        const auto [m, ch] = ChannelOfRow(c.row);
        const int before = rig.cell(c.row, kColCounter).toInt();

        Button(main, "buttonCcwRun")->click();
        ASSERT_TRUE(WaitFor([&] { return rig.context->runner.pending() == 0; }));
        rig.clock.advanceMs(5000);
        EXPECT_EQ(main.positionMonitorRunning(), c.encoder);
        if (c.encoder) {
            ASSERT_TRUE(WaitFor([&] { return rig.cell(c.row, kColCounter).toInt() < before - 20; }));
        }
        EXPECT_FALSE(rig.context->vmdm.Status(m));
        EXPECT_EQ(rig.context->vmdm.status(), "_MOV") << "still running after 5 s";
        EXPECT_EQ(Controls(main), kMoving);

        Button(main, "buttonAbort")->click();
        ASSERT_TRUE(Settled(rig));
        EXPECT_FALSE(rig.context->vmdm.Status(m));
        EXPECT_EQ(rig.context->vmdm.status(), "_STP");
        EXPECT_EQ(Controls(main), kIdle);
        if (!c.encoder) continue;
        ASSERT_FALSE(rig.context->oem.GetCounter(m, ch));
        EXPECT_EQ(rig.cell(c.row, kColCounter), QString::number(rig.context->oem.count()));
    }
}

// A move line whose reply is lost or refused may still have started the module (the virtual
// controller runs the move and then loses or replaces the reply): the module is stopped at once,
// no monitor follows and the controls come back.
TEST(Moves, AMoveWithoutAnAcknowledgementIsStoppedAtOnce) {
    const struct {
        const char* what;
        int row;
        const char* button;
        sim::FaultRule fault;
    } cases[] = {
        {"run without encoder, reply lost", 7, "buttonCwRun", MoveFault(sim::Fault::NoReply)},
        {"run without encoder, refused", 7, "buttonCcwRun", MoveFault(sim::Fault::Answer, "CNR")},
        {"run with encoder, reply lost", 1, "buttonCwRun", MoveFault(sim::Fault::NoReply)},
        {"steps without encoder, reply lost", 8, "buttonCwSteps", MoveFault(sim::Fault::NoReply)},
        {"steps with encoder, refused", 2, "buttonCcwSteps", MoveFault(sim::Fault::Answer, "MNF")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        SetMoveCells(rig, c.row, "5000");
        main.state().selectedRow = static_cast<std::uint8_t>(c.row);
        const std::uint8_t m = ChannelOfRow(c.row).module;
        rig.controller->addFault(c.fault);
        rig.controller->clearTranscript();

        Button(main, c.button)->click();
        ASSERT_TRUE(Settled(rig));
        std::vector<std::string> sent = rig.sent();
        const auto move = std::find_if(sent.begin(), sent.end(),
                                       [](const std::string& line) { return line.starts_with("MOV "); });
        ASSERT_NE(move, sent.end());
        EXPECT_EQ(std::vector<std::string>(move + 1, sent.end()),
                  std::vector<std::string>{"STP " + std::to_string(m) + "\r"});
        EXPECT_FALSE(main.positionMonitorRunning());
        EXPECT_EQ(Controls(main), kIdle);
        EXPECT_FALSE(Bold(main, c.button));
        EXPECT_FALSE(rig.context->vmdm.Status(m));
        EXPECT_EQ(rig.context->vmdm.status(), "_STP");
    }
}

// Closing the main window while the monitor follows a Run move ends the program (the event loop
// returns, here with the DC-level dialog still shown): the monitor is asked to stop, finishes the
// exchange under way, and the module is stopped before the link closes.
TEST(Reliability, ClosingTheMainWindowWhileTheMonitorRunsEndsTheProgram) {
    GuiRig rig;
    rig.useSimulator(kRack);
    TMainForm& main = rig.start();
    SetMoveCells(rig, 1);
    rig.windows->dcSet().show();
    ASSERT_TRUE(Settled(rig));
    AnsweringLink* link = UseAnswers(rig, {{"CCU", {"_CCU\r"}},
                                           {"MOV", {"_MOV\r"}},
                                           {"CGV", {"_CGV 131075 7\r"}},
                                           {"STS", {"_MOV\r"}},
                                           {"STP", {"_STP\r"}}});
    link->gate.holdAt("STS");
    Button(main, "buttonCwRun")->click();
    ASSERT_TRUE(WaitFor([&] { return link->holding(); }));
    auto* monitor = main.findChild<TOEMGetPosition*>();
    ASSERT_NE(monitor, nullptr);

    // The held status request is the exchange under way: it ends once the close has asked the
    // monitor to stop.
    std::thread exchange([&] {
        while (!monitor->isInterruptionRequested()) std::this_thread::yield();
        link->release();
    });
    QTimer::singleShot(0, &main, [&] { main.close(); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); });  // a guard only
    EXPECT_EQ(QApplication::exec(), 0) << "the program did not end";
    exchange.join();
    EXPECT_FALSE(main.positionMonitorRunning());
    EXPECT_EQ(link->lines(), (std::vector<std::string>{"CCU 11 1\r", "MOV 1 1 100 100 0 30 1 S\r",
                                                       "CGV 11 1\r", "STS 1\r", "STP 1\r"}));
}

// The close stops a module that no monitor follows too, and a link that no longer answers cannot
// hold it: the stop is one bounded exchange.
TEST(Reliability, ClosingTheMainWindowDuringAMoveStopsTheModule) {
    const struct {
        const char* what;
        int row;
        const char* button;
        bool deadLink;
    } cases[] = {
        {"run without encoder", 7, "buttonCwRun", false},
        {"steps with encoder", 2, "buttonCcwSteps", false},
        {"run without encoder, link dead", 7, "buttonCcwRun", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        SetMoveCells(rig, c.row, "5000");
        main.state().selectedRow = static_cast<std::uint8_t>(c.row);
        const std::uint8_t m = ChannelOfRow(c.row).module;
        // The module reports itself moving until the close, so that a steps move cannot end by
        // itself first: in virtual time the monitor's polls take no time.
        rig.controller->addFault(MoveFault(sim::Fault::Answer, "_MOV", "STS"));
        Button(main, c.button)->click();
        ASSERT_TRUE(WaitFor([&] { return rig.context->runner.pending() == 0; }));
        ASSERT_TRUE(main.moveRunning());
        if (c.deadLink) rig.controller->addFault(MoveFault(sim::Fault::NoReply, {}, ""));
        rig.controller->clearTranscript();

        QTimer::singleShot(0, &main, [&] { main.close(); });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); });  // a guard only
        EXPECT_EQ(QApplication::exec(), 0) << "the program did not end";
        rig.controller->clearFaults();
        const std::vector<std::string> sent = rig.sent();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), "STP " + std::to_string(m) + "\r");
        if (c.deadLink) continue;
        EXPECT_EQ(rig.controller->Process("STS " + std::to_string(m) + "\r"), "_STP\r");
    }
}

// A scan ended by the close is deleted at once; its queued end must not touch it again.
TEST(Reliability, ClosingTheMainWindowDuringAScan) {
    for (int i = 0; i < 10; ++i) {
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        main.startModuleScan();
        QTest::qWait(0);
        main.close();
        QTest::qWait(5);
        EXPECT_FALSE(main.scanRunning());
    }
}

bool Sent(GuiRig& rig, const std::string& word) {
    for (const std::string& line : rig.sent())
        if (line.starts_with(word)) return true;
    return false;
}

// A scan and a move never share the link: the move buttons are off while a scan runs, and a scan
// asked for while a move runs does not start (its end would give the buttons back mid-move).
TEST(Moves, NoMoveDuringAScanAndNoScanDuringAMove) {
    GuiRig rig;
    rig.useHeldSimulator(kRack);
    TMainForm& main = rig.startAsAPerson();
    SetMoveCells(rig, 1);
    rig.held.load()->gate.holdAt("STS");
    QTest::keyClick(&main, Qt::Key_A, Qt::ControlModifier);
    ASSERT_TRUE(WaitFor([&] { return rig.held.load()->gate.holding(); }));
    for (const char* name : {"buttonCwRun", "buttonCcwRun", "buttonCwSteps", "buttonCcwSteps"})
        EXPECT_FALSE(Button(main, name)->isEnabled()) << name;
    EXPECT_FALSE(main.grid()->isEnabled());
    QTest::mouseClick(Button(main, "buttonCwRun"), Qt::LeftButton);
    rig.held.load()->gate.release();
    ASSERT_TRUE(rig.settle());
    EXPECT_FALSE(Sent(rig, "MOV"));
    EXPECT_EQ(Controls(main), kIdle);

    rig.controller->clearTranscript();
    QTest::mouseClick(Button(main, "buttonCwRun"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return main.positionMonitorRunning(); }));
    QTest::keyClick(&main, Qt::Key_A, Qt::ControlModifier);
    main.startModuleScan();  // as a store or a connection dialog asks for one
    EXPECT_FALSE(main.scanRunning());
    EXPECT_EQ(Controls(main), kMoving);
    QTest::mouseClick(Button(main, "buttonAbort"), Qt::LeftButton);
    ASSERT_TRUE(Settled(rig));
    EXPECT_FALSE(Sent(rig, "GCM"));
    EXPECT_EQ(Controls(main), kIdle);
    EXPECT_FALSE(rig.context->vmdm.Status(1));
    EXPECT_EQ(rig.context->vmdm.status(), "_STP");
}

// Abort reaches an encoder module that no monitor follows: one moving since before the program
// started, or whose monitor a link fault ended.
TEST(Moves, AbortStopsAnEncoderModuleThatNoMonitorFollows) {
    GuiRig rig;
    rig.useSimulator(kRack);
    TMainForm& main = rig.start();
    ASSERT_FALSE(rig.context->vmdm.Move(1, 1, "PROFILE1", 293, 1, 100, 100, 0));
    rig.controller->clearTranscript();
    QTableWidget* grid = main.grid();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(grid->model()->index(0, kColChan)).center());
    QTest::mouseClick(Button(main, "buttonAbort"), Qt::LeftButton);
    ASSERT_TRUE(Settled(rig));
    EXPECT_EQ(rig.sent(), std::vector<std::string>{"STP 1\r"});
    EXPECT_FALSE(rig.context->vmdm.Status(1));
    EXPECT_EQ(rig.context->vmdm.status(), "_STP");
    EXPECT_EQ(Controls(main), kIdle);
}

// A type that names no profile cannot be moved: the user is told why and keeps the controls.
TEST(Moves, AMoveWithAnUnknownTypeIsExplainedAndSendsNothing) {
    GuiRig rig;
    rig.useSimulator(kRack);
    TMainForm& main = rig.startAsAPerson();
    SetMoveCells(rig, 1);
    main.grid()->item(0, kColType)->setText("CUSTOM");  // as read from the user memory
    rig.controller->clearTranscript();
    for (const char* name : {"buttonCwRun", "buttonCcwSteps"}) {
        QString shown;
        AcceptNextMessageBox(&shown);
        QTest::mouseClick(Button(main, name), Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return !shown.isEmpty(); }));
        EXPECT_EQ(shown,
                  "Move not sent: type \"CUSTOM\" names no Vellumotor profile.\nChoose a type with a "
                  "right-click on the Type cell.");
        EXPECT_EQ(Controls(main), kIdle);
        EXPECT_FALSE(Bold(main, name));
    }
    EXPECT_TRUE(rig.sent().empty());
}

TEST(CounterMenu, ResetAndGetPositionShowTheCount) {
    const struct {
        int item;
        std::initializer_list<ScriptStep> script;
        QString shown;  // empty: unchanged
    } cases[] = {
        {0, {{"CSZ 11 2\r", "_CSZ\r"}, {"CGV 11 2\r", "_CGV 131072 9\r"}}, "0"},
        {1, {{"CGV 11 2\r", "_CGV 131000 9\r"}}, "-72"},
        {1, {{"CGV 11 2\r", "MNF\r"}}, {}},
    };
    for (const auto& c : cases) {
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        ASSERT_EQ(main.gridColumns(), kColumnsWithCounter);
        QTableWidget* grid = main.grid();
        auto* menu = main.findChild<QMenu*>("counterMenu");
        QTest::mouseClick(grid->viewport(), Qt::RightButton, {},
                          grid->visualRect(grid->model()->index(1, kColCounter)).center());
        EXPECT_EQ(main.selectedRow(), 2);
        EXPECT_TRUE(menu->isVisible());
        EXPECT_EQ(menu->actions().value(c.item)->text(), c.item == 0 ? "Reset" : "Get Position");
        menu->hide();
        const QString before = rig.cell(2, kColCounter);
        ScriptedLink* link = UseScript(rig, c.script);
        menu->actions()[c.item]->trigger();
        ASSERT_TRUE(Settled(rig));
        EXPECT_EQ(link->sent(), Lines(c.script));
        EXPECT_EQ(rig.cell(2, kColCounter), c.shown.isEmpty() ? before : c.shown);
    }
}

TEST(DcLevel, DialogListsTheAnsweringChannelsAndHoldsTheLevel) {
    GuiRig rig;
    rig.useSimulator("C,O,C1,-,-,-");
    TMainForm& main = rig.start();
    TFormDCSet& dc = rig.windows->dcSet();
    main.findChild<QAction*>("actionSetDcLevel")->trigger();
    ASSERT_TRUE(Settled(rig));
    EXPECT_TRUE(dc.isVisible());
    EXPECT_EQ(dc.windowTitle(), "Set DC Value");
    EXPECT_TRUE(dc.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(dc.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint));
    auto* slider = dc.findChild<QSlider*>("trackLevel");
    EXPECT_EQ(std::make_tuple(slider->minimum(), slider->maximum(), slider->tickInterval(), slider->value()),
              std::make_tuple(0, 1023, 102, 238));
    EXPECT_EQ(dc.findChild<QLabel*>("labelValue")->text(), "238");
    auto* list = dc.findChild<QListWidget*>("listChannels");
    auto items = [list] {
        QStringList texts;
        for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
        return texts;
    };
    EXPECT_EQ(items(), (QStringList{"1A", "1B", "1C", "3A"}));

    // The DC line holds the level on the virtual controller; the reset removes it.
    dc.chooseChannel(list->item(1));
    dc.sendLevel();
    ASSERT_TRUE(Settled(rig));
    EXPECT_FALSE(rig.context->vmdm.Status(1));
    EXPECT_EQ(rig.context->vmdm.status(), "_MDC");
    dc.resetLevel();
    ASSERT_TRUE(Settled(rig));
    EXPECT_FALSE(rig.context->vmdm.Status(1));
    EXPECT_EQ(rig.context->vmdm.status(), "_STP");

    // A channel that stops answering is gone at the next opening; the chosen channel stays.
    dc.chooseChannel(list->item(3));
    dc.findChild<QPushButton*>("buttonClose")->click();
    EXPECT_FALSE(dc.isVisible());
    sim::FaultRule eject;
    eject.fault = sim::Fault::Eject;
    eject.word = "STS";
    eject.count = 1;
    eject.slot = 3;
    rig.controller->addFault(eject);
    dc.show();
    ASSERT_TRUE(Settled(rig));
    EXPECT_EQ(items(), (QStringList{"1A", "1B", "1C"}));
    EXPECT_EQ(dc.dcChannel().module * 10 + dc.dcChannel().channel, 31);
}

TEST(DcLevel, LinesOfSetEnterAndReset) {
    GuiRig rig;
    rig.useSimulator(kRack);
    rig.start();
    TFormDCSet& dc = rig.windows->dcSet();
    dc.show();
    ASSERT_TRUE(Settled(rig));
    auto* list = dc.findChild<QListWidget*>("listChannels");
    auto* slider = dc.findChild<QSlider*>("trackLevel");
    auto* label = dc.findChild<QLabel*>("labelValue");
    ScriptedLink* link = UseScript(rig, {{"MOV 0 1 100 238 0 10 0 DC\r", "MNF\r"},
                                         {"MOV 3 1 100 700 0 10 2 DC\r", "_MOV\r"},
                                         {"MOV 3 1 100 510 0 10 2 DC\r", "_MOV\r"},
                                         {"STP 3 2\r", "_STP\r"}});

    dc.findChild<QPushButton*>("buttonSet")->click();  // before any channel was chosen
    dc.chooseChannel(list->findItems("3B", Qt::MatchExactly).value(0));
    slider->setValue(700);
    dc.findChild<QPushButton*>("buttonSet")->click();
    EXPECT_EQ(label->text(), "238") << "Set leaves the label";
    slider->setValue(510);
    QTest::keyClick(slider, Qt::Key_Return);
    EXPECT_EQ(label->text(), "510");
    dc.findChild<QPushButton*>("buttonReset")->click();
    EXPECT_EQ(slider->value(), 238);
    EXPECT_EQ(label->text(), "238");
    ASSERT_TRUE(Settled(rig));
    EXPECT_EQ(link->sent().size(), 4u);
}

TEST(EmergencyPanel, FreeEosSendsItsLinesInOrderAndWaits) {
    GuiRig rig;
    rig.useSimulator(kRack);
    TMainForm& main = rig.start();
    main.state().selectedRow = 2;
    TFormEmergencyPanel& panel = rig.windows->emergencyPanel();
    main.findChild<QAction*>("actionEmergencyPanel")->trigger();
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(panel.windowTitle(), "Emergency Panel");
    EXPECT_FALSE(main.isEnabled());
    AnsweringLink* link = UseAnswers(rig, {{"CCD", {"_CCD\r"}},
                                           {"MOV", {"_MOV\r"}},
                                           {"CGV", {"_CGV 131000 7\r"}},
                                           {"STS", {"_MOV\r", "_STP\r"}},
                                           {"STP", {"_STP\r"}}});
    auto* freeButton = panel.findChild<QPushButton*>("buttonFreeEos");
    auto* exitButton = panel.findChild<QPushButton*>("buttonExit");
    std::int64_t doneAtMs = -1;
    QObject::connect(&panel, &TFormEmergencyPanel::freeEndOfStrokeDone,
                     [&] { doneAtMs = rig.clock.elapsedMs(); });

    freeButton->click();
    ASSERT_TRUE(WaitFor([&] { return link->lines().size() >= 2; }));
    EXPECT_FALSE(freeButton->isEnabled());
    EXPECT_FALSE(exitButton->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return doneAtMs >= 0; }));
    ASSERT_TRUE(Settled(rig));
    EXPECT_TRUE(freeButton->isEnabled());
    EXPECT_TRUE(exitButton->isEnabled());
    // PROFILE1 at 0 K and 100 % gives the rise time 11.
    EXPECT_EQ(link->lines(),
              (std::vector<std::string>{"CCD 11 2\r", "MOV 1 0 100 100 100 11 2 S\r", "CGV 11 2\r", "STS 1\r",
                                        "CGV 11 2\r", "STS 1\r", "STP 1\r", "CGV 11 2\r"}));
    const std::vector<std::int64_t> times = link->timesMs();
    EXPECT_GE(times[1] - times[0], 5);
    EXPECT_GE(doneAtMs - times[1], 1200);
    EXPECT_EQ(rig.cell(2, kColCounter), "-72");
    EXPECT_FALSE(main.isEnabled()) << "the panel is still open";
}

TEST(EmergencyPanel, FreeEosMovesAndClosingThePanelInAnyWayEnablesTheMainWindow) {
    const struct {
        const char* how;
        std::function<void(TFormEmergencyPanel&)> close;
    } cases[] = {
        {"Exit", [](TFormEmergencyPanel& p) { p.findChild<QPushButton*>("buttonExit")->click(); }},
        {"close", [](TFormEmergencyPanel& p) { p.close(); }},
        {"Escape", [](TFormEmergencyPanel& p) { QTest::keyClick(&p, Qt::Key_Escape); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        GuiRig rig;
        rig.useSimulator(kRack);
        TMainForm& main = rig.start();
        const int before = rig.cell(1, kColCounter).toInt();
        TFormEmergencyPanel& panel = rig.windows->emergencyPanel();
        main.findChild<QAction*>("actionEmergencyPanel")->trigger();
        ASSERT_FALSE(main.isEnabled());
        // The panel's move really runs on the virtual controller and the monitor stops it.
        panel.freeEndOfStroke();
        ASSERT_TRUE(WaitFor([&] { return !panel.busy(); }));
        ASSERT_TRUE(Settled(rig));
        EXPECT_EQ(rig.cell(1, kColCounter).toInt(), before - 100 * sim::ParseRack(kRack)->pulsesPerStep);
        EXPECT_FALSE(rig.context->vmdm.Status(1));
        EXPECT_EQ(rig.context->vmdm.status(), "_STP");
        c.close(panel);
        EXPECT_FALSE(rig.windows->emergencyPanel().isVisible());
        EXPECT_TRUE(main.isEnabled());
    }
}

}  // namespace
}  // namespace vm::gui::test
