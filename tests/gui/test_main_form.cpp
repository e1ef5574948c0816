// The main window: start-up, the module scan, the grid and the user memory, against the
// in-process virtual controller and the real USB links over fake drivers.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <algorithm>
#include <map>

#include "gui/cabinet_select_form.h"
#include "gui/diagnostic_form.h"
#include "gui/emergency_panel_form.h"
#include "gui/grid_layout.h"
#include "gui/scan_modules_form.h"
#include "link/ftdi_com.h"
#include "tests/gui/gui_rig.h"
#include "tests/gui/modal_box.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/scripted_link.h"

namespace vm::gui::test {
namespace {

// Which controls a user can use, by object name.
std::map<QString, bool> Usable(TMainForm& main) {
    std::map<QString, bool> usable;
    for (QAction* a : main.findChildren<QAction*>())
        if (a->objectName().startsWith("action")) usable[a->objectName()] = a->isEnabled();
    for (QPushButton* b : main.findChildren<QPushButton*>()) usable[b->objectName()] = b->isEnabled();
    usable["actuatorGrid"] = main.grid()->isEnabled();
    return usable;
}

const std::map<QString, bool> kNotConnected = {
    {"actionScanLan", true},
    {"actionManualIpConnect", true},
    {"actionReconnect", false},
    {"actionDeviceIpSetup", false},
    {"actionEmergencyPanel", false},
    {"actionAvailableChannels", false},
    {"actionDiagnostic", false},
    {"actionSetDcLevel", false},
    {"actionStoreUserMemory", false},
    {"actionClearUserMemory", false},
    {"actionExit", true},
    {"actionVersion", true},
    {"actionUserGuide", true},
    {"buttonCcwRun", false},
    {"buttonCcwSteps", false},
    {"buttonAbort", false},
    {"buttonCwSteps", false},
    {"buttonCwRun", false},
    {"actuatorGrid", false},
};

sim::FaultRule Rule(sim::Fault fault, std::string word, int count, std::string text = {}) {
    sim::FaultRule rule;
    rule.fault = fault;
    rule.word = std::move(word);
    rule.count = count;
    rule.text = std::move(text);
    return rule;
}

const QString kNoDeviceQuestion =
    "Device not found ...\nWould you like to scan the Local Area Network for devices?";

TEST(MainFormStart, NoDeviceAsksAndNoLeavesTheNotConnectedState) {
    GuiRig rig;
    rig.links.make = [&rig](LinkKind) { return std::make_unique<AbsentLink>(rig.linkContext); };
    TMainForm& main = rig.start();
    EXPECT_EQ(rig.links.requested, (std::vector<LinkKind>{LinkKind::Ftdi, LinkKind::Hid}));
    ASSERT_EQ(rig.prompts.shown.size(), 1u);
    EXPECT_EQ(rig.prompts.shown[0].text, kNoDeviceQuestion);
    EXPECT_EQ(rig.prompts.shown[0].title, "Vellumotor Control System");
    EXPECT_EQ(rig.prompts.shown[0].icon, PromptIcon::Error);
    EXPECT_TRUE(rig.prompts.shown[0].question);
    EXPECT_EQ(main.windowTitle(), "Vellumotor Control System : [Not Connected]");
    EXPECT_EQ(main.statusText(), "No Vellumotors found");
    EXPECT_EQ(Usable(main), kNotConnected);
}

// Yes to the question runs the LAN scan; its three outcomes.
struct LanCase {
    int found;
    QString caption;
    QStringList messages;  // after the question
    bool selectionShown;
    bool scanned;
};

TEST(MainFormStart, YesRunsTheLanScan) {
    const LanCase cases[] = {
        {0, "Vellumotor Control System: [Not Connected]", {"No Ethernet devices found"}, false, false},
        {1, "Vellumotor Control System: VMSIM0001", {}, false, true},
        {3, "Vellumotor Control System : [Not Connected]", {}, true, false},
    };
    for (const LanCase& c : cases) {
        SCOPED_TRACE(c.found);
        GuiRig rig;
        rig.controller = std::make_unique<sim::Controller>(rig.clock, sim::RackConfig::Default());
        rig.links.make = [&rig, &c](LinkKind kind) -> std::unique_ptr<COM_METHOD> {
            if (kind == LinkKind::Lan && c.found == 1)
                return std::make_unique<sim::SimLink>(rig.linkContext, *rig.controller);
            return std::make_unique<AbsentLink>(rig.linkContext, kind == LinkKind::Lan ? c.found : 0);
        };
        rig.prompts.answers = {true};
        TMainForm& main = rig.start();
        ASSERT_TRUE(rig.settle());
        EXPECT_EQ(rig.links.requested.back(), LinkKind::Lan);
        EXPECT_EQ(main.windowTitle(), c.caption);
        EXPECT_EQ(rig.prompts.texts().mid(1), c.messages);
        EXPECT_EQ(rig.windows->cabinetSelect().isVisible(), c.selectionShown);
        EXPECT_EQ(main.statusText(), c.scanned ? "Vellumotor controls ready" : "No Vellumotors found");
        if (c.selectionShown) {
            auto* list = rig.windows->cabinetSelect().findChild<QComboBox*>("deviceList");
            EXPECT_EQ(list->count(), 3);
            EXPECT_EQ(list->itemText(2), "10.0.0.3");
            EXPECT_FALSE(rig.windows->cabinetSelect().findChild<QPushButton*>("buttonSelect")->isEnabled());
        }
    }
}

TEST(MainFormStart, OneFtdiControllerIsOpenedNamedAndScanned) {
    GuiRig rig;
    rig.controller = std::make_unique<sim::Controller>(rig.clock, sim::RackConfig::Default());
    auto ftdi = std::make_shared<vm::test::FakeFtdiDriver>(rig.clock);
    ftdi->addBridge("VM4711", "Vellumotor Control System",
                    [&rig](std::string_view line) { return rig.controller->Process(line); });
    RealLinkFactory real(rig.clock, ftdi, nullptr);
    rig.links.make = [&real](LinkKind kind) { return real.create(kind); };
    TMainForm& main = rig.start();
    EXPECT_TRUE(rig.prompts.shown.empty());
    EXPECT_EQ(main.windowTitle(), "Vellumotor Control System : VM4711");
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_EQ(main.linkStatusText(), "USB VM4711");
    EXPECT_EQ(rig.cell(1, kColChan), "1A");
    EXPECT_EQ(rig.cell(1, kColSel), "=>");
    EXPECT_TRUE(Usable(main)["actionDeviceIpSetup"]);
}

TEST(MainFormStart, TwoWordsWithoutMonitorModeMakeNoLink) {
    GuiRig rig;
    TMainForm& main = rig.start({"@cmon", "SamplePipe"});
    EXPECT_TRUE(rig.links.requested.empty());
    EXPECT_TRUE(rig.prompts.shown.empty());
    EXPECT_EQ(main.windowTitle(), "Vellumotor Control System : [Not Connected]");
}

// --- Module scan ---

struct ScanCase {
    const char* name;
    std::string rack;
    std::vector<sim::FaultRule> faults;
    int rows;
    std::vector<int> shown;  // visible channel rows
    int columns;
    std::map<int, QString> counters;  // row -> column 9
};

TEST(ModuleScan, FillsTheGridAsTheRackAnswers) {
    const ScanCase cases[] = {
        {"modules at 1 and 3, the second with one channel",
         "C,O,C1,O,-,-",
         {},
         9,
         {1, 2, 3, 7},
         10,
         {{1, "0"}, {7, "0"}}},
        {"one unreadable counter, five read",
         "C,O,C1,O,-,-",
         {Rule(sim::Fault::Answer, "CGV", 1, "MNF")},
         9,
         {1, 2, 3, 7},
         10,
         {{1, "ERROR"}, {2, "0"}, {3, "0"}, {7, "0"}}},
        {"two counters read keep column 9 hidden",
         "C,O,-,-,-,-",
         {Rule(sim::Fault::NoReply, "CGV", 1)},
         3,
         {1, 2, 3},
         8,
         {{1, "ERROR"}, {2, "0"}}},
        {"no encoder module", "C,-,-,-,-,-", {}, 3, {1, 2, 3}, 8, {{1, "ERROR"}, {3, "ERROR"}}},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        GuiRig rig;
        rig.useSimulator(c.rack);
        for (const auto& f : c.faults) rig.controller->addFault(f);
        TMainForm& main = rig.start();
        QTableWidget* grid = main.grid();
        ASSERT_EQ(grid->rowCount(), c.rows);
        std::vector<int> shown;
        for (int r = 1; r <= grid->rowCount(); ++r)
            if (!grid->isRowHidden(r - 1)) shown.push_back(r);
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(main.gridColumns(), c.columns);
        EXPECT_EQ(grid->isColumnHidden(kColCounter), c.columns < kColumnsWithCounter);
        for (const auto& [row, text] : c.counters) EXPECT_EQ(rig.cell(row, kColCounter), text) << row;
        EXPECT_EQ(rig.cell(1, kColType), "PROFILE1");
        EXPECT_EQ(rig.cell(1, kColSteps), "100");
        EXPECT_EQ(rig.cell(1, kColParamA), "6000");
        EXPECT_EQ(main.selectedRow(), 1);
        EXPECT_FALSE(rig.windows->scanModules().isVisible());
    }
}

TEST(ModuleScan, RowsOfAMissingOrSilentModuleStayHiddenAndEmpty) {
    // Drive modules at 1 and 3: module 2's rows; then module 1 not answering its status.
    for (const bool silentFirst : {false, true}) {
        GuiRig rig;
        rig.useSimulator("C,O,C,O,-,-");
        if (silentFirst) rig.controller->addFault(Rule(sim::Fault::Answer, "STS", 1, "MNF"));
        TMainForm& main = rig.start();
        const int firstEmpty = silentFirst ? 1 : 4;
        for (int row = firstEmpty; row <= 6; ++row) {
            EXPECT_TRUE(main.grid()->isRowHidden(row - 1)) << row;
            for (int column = kColChan; column <= kColCounter; ++column)
                EXPECT_EQ(rig.cell(row, column).trimmed(), "") << row << "," << column;
        }
        EXPECT_EQ(rig.cell(7, kColChan), "3A");
        EXPECT_FALSE(main.grid()->isRowHidden(6));
    }
}

TEST(ModuleScan, NoModuleShowsTheMessageAndDisablesTheControls) {
    GuiRig rig;
    rig.useSimulator("-,O,-,-,R,-");
    TMainForm& main = rig.start();
    EXPECT_EQ(main.statusText(), "No Vellumotors found");
    ASSERT_EQ(rig.prompts.shown.size(), 1u);
    EXPECT_EQ(
        rig.prompts.shown[0].text,
        "Vellumotor Control System not available\n\n-Make sure the correct channel is selected on the PC "
        "interface\n-try to scan again \n   or\n-try to restart the PC interface");
    std::map<QString, bool> expected = kNotConnected;
    expected["actionReconnect"] = true;  // the link was opened: it can be opened again
    EXPECT_EQ(Usable(main), expected);
}

// --- The grid ---

TEST(Grid, PressesSelectRowsAndMarkThem) {
    GuiRig rig;
    rig.useSimulator("C,C,-,-,-,-");
    TMainForm& main = rig.start();
    QTableWidget* grid = main.grid();
    const struct {
        int row;  // 0: the header
        int expected;
    } presses[] = {{4, 4}, {0, 1}, {3, 3}};
    for (const auto& p : presses) {
        const QRect rect = p.row == 0
                               ? QRect(grid->horizontalHeader()->sectionViewportPosition(kColTag), 2, 10, 10)
                               : grid->visualRect(grid->model()->index(p.row - 1, kColTag));
        QWidget* target = p.row == 0 ? grid->horizontalHeader()->viewport() : grid->viewport();
        QTest::mouseClick(target, Qt::LeftButton, {}, rect.center());
        EXPECT_EQ(main.selectedRow(), p.expected);
        EXPECT_EQ(rig.cell(p.expected, kColSel), "=>");
        for (int r = 1; r <= grid->rowCount(); ++r)
            if (r != p.expected) {
                EXPECT_EQ(rig.cell(r, kColSel), " ");
            }
    }
    const ChannelAddress a = ChannelOfRow(3), b = ChannelOfRow(4);
    EXPECT_EQ(a.module * 10 + a.channel, 13);
    EXPECT_EQ(b.module * 10 + b.channel, 21);
}

TEST(Grid, TypeMenuWritesTheProfileIntoTheSelectedRow) {
    GuiRig rig;
    rig.useSimulator("C,O,-,-,-,-");
    TMainForm& main = rig.start();
    auto* menu = main.findChild<QMenu*>("typeMenu");
    QStringList items;
    for (QAction* a : menu->actions()) items << a->text();
    EXPECT_EQ(items, (QStringList{"NONE", "PROFILE1", "PROFILE2", "PROFILE3"}));
    QTableWidget* grid = main.grid();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(grid->model()->index(1, kColType)).center());
    menu->actions()[3]->trigger();
    EXPECT_EQ(rig.cell(2, kColType), "PROFILE3");
    EXPECT_EQ(rig.cell(1, kColType), "PROFILE1");
}

struct CellCase {
    int column;
    QString typed;
    QString text;
    QStringList messages;
};

TEST(Grid, CellCheckResetsAndWarns) {
    const QString f = "Input denied\n 0 <= F <=600", n = "Input denied\n 1 <= N <=50000",
                  letters = "Only numeric and integer entries!",
                  tag = "Tag may contain no blanks and only printable ASCII characters";
    const CellCase cases[] = {
        {kColFrequency, "601", "100", {f}},
        {kColFrequency, "600", "600", {}},
        {kColSteps, "0", "100", {n}},
        {kColSteps, "050", "100", {n}},
        {kColSteps, "", "", {}},
        {kColSteps, "50001", "100", {n}},
        {kColTemperature, "ab", "100", {letters, letters}},
        {kColTemperature, "-1", "100", {"Input denied\n 0 <= T <=300"}},
        {kColStepSize, " 101", "100", {"Input denied\n 0 <= R <=100"}},
        {kColTag, "abcdefghi", "abcdefgh", {"Input may not contain more than 8 characters"}},
        {kColTag, "x1", "x1", {}},
        {kColTag, "a b", "ab", {tag}},
        {kColTag, QString::fromUtf8("st\u00e4ge"), "stge", {tag}},
        {kColTag, "a\tbcdefghij", "abcdefgh", {tag}},
        {kColParamA, "123456789", "12345678", {"Input may not contain more than 8 characters"}},
    };
    for (const CellCase& c : cases) {
        const CellCheck check = CheckCell(c.column, c.typed);
        EXPECT_EQ(check.text, c.text) << c.column << " " << c.typed.toStdString();
        EXPECT_EQ(check.messages, c.messages) << c.column << " " << c.typed.toStdString();
    }
}

TEST(Grid, TypingInACellRunsTheCheckOnEveryKeystroke) {
    GuiRig rig;
    rig.useSimulator("C,O,-,-,-,-");
    TMainForm& main = rig.start();
    QTableWidget* grid = main.grid();
    const QModelIndex index = grid->model()->index(0, kColFrequency);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
    grid->edit(index);
    auto* editor = grid->findChild<QLineEdit*>("cellEditor");
    ASSERT_NE(editor, nullptr);
    editor->clear();
    QTest::keyClicks(editor, "601");
    EXPECT_EQ(editor->text(), "100");
    ASSERT_TRUE(WaitFor([&] { return !rig.prompts.shown.empty(); }));
    ASSERT_EQ(rig.prompts.shown.size(), 1u);
    EXPECT_EQ(rig.prompts.shown[0].title, "Error");
    EXPECT_EQ(rig.prompts.shown[0].text, "Input denied\n 0 <= F <=600");
    // Columns 0, 1 and 3 are never edited.
    for (int column : {kColSel, kColChan, kColType})
        EXPECT_FALSE(grid->item(0, column)->flags() & Qt::ItemIsEditable) << column;
}

// A real double-click opens the real editor, real keys go into it, and the real message box is
// dismissed with Enter the way a person does; the cell then holds the corrected text.
TEST(Grid, CellMessagesDismissedThroughRealBoxesLeaveTheCellCorrected) {
    struct Case {
        int column;
        QString typed;
        QString message;
        QString cell;
    };
    const Case cases[] = {
        {kColTemperature, "a", "Only numeric and integer entries!", "100"},
        {kColFrequency, "601", "Input denied\n 0 <= F <=600", "100"},
        {kColTag, "abcdefghi", "Input may not contain more than 8 characters", "abcdefgh"},
        {kColTag, "a b", "Tag may contain no blanks and only printable ASCII characters", "ab"},
    };
    GuiRig rig;
    rig.useSimulator("C,O,-,-,-,-");
    // The box takes the focus from the editor only when the window holding it is active.
    TMainForm& main = rig.startAsAPerson();
    ASSERT_TRUE(main.isActiveWindow());
    QTableWidget* grid = main.grid();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        QPointer<QLineEdit> editor = OpenCellEditor(*grid, 1, c.column);
        ASSERT_FALSE(editor.isNull());
        QString shown;
        DismissNextMessageBox(
            [&shown](QMessageBox& box) {
                shown = box.text();
                QTest::keyClick(&box, Qt::Key_Return);
            },
            200000, 10);
        QTest::keyClicks(editor, c.typed);
        ASSERT_TRUE(WaitFor([&] { return !shown.isEmpty(); }));
        EXPECT_EQ(shown, c.message);
        if (editor) QTest::keyClick(editor, Qt::Key_Return);
        ASSERT_TRUE(WaitFor([&] { return grid->findChild<QLineEdit*>("cellEditor") == nullptr; }));
        EXPECT_EQ(rig.cell(1, c.column), c.cell);
    }
}

// --- User memory ---

TEST(UserMemory, StoreWritesEveryRowAndTheScanReadsItBack) {
    GuiRig rig;
    rig.useSimulator("C1,O,-,-,-,-");
    TMainForm& main = rig.start();
    QTableWidget* grid = main.grid();
    grid->item(0, kColTag)->setText("stageX");
    grid->item(0, kColFrequency)->setText("450");
    grid->item(0, kColTemperature)->setText("4");
    grid->item(0, kColType)->setText("PROFILE2");
    grid->item(1, kColType)->setText("CUSTOM");  // hidden row, no such profile
    rig.controller->clearTranscript();
    main.storeUserMemory();
    ASSERT_TRUE(rig.settle());
    const auto lines = rig.sent();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "CSS 1 450 100 4 3 6000 PROFILE2 stageX 1\r");
    // The row whose type names no profile keeps the previous row's profile values.
    EXPECT_EQ(lines[1], "CSS 2 200 100 293 3 6000 CUSTOM - 1\r");
    EXPECT_EQ(lines[3], "STF\r");
    EXPECT_EQ(rig.cell(1, kColTag), "stageX");
    EXPECT_EQ(rig.cell(1, kColFrequency), "450");
    EXPECT_EQ(rig.cell(1, kColType), "PROFILE2");
    EXPECT_EQ(rig.cell(2, kColType), "CUSTOM");
}

// A row the controller refuses is named, and the grid keeps the user's edits instead of being
// scanned over with the old values.
TEST(UserMemory, RefusedRowsAreNamedAndTheEditsKept) {
    GuiRig rig;
    rig.useSimulator("C,O,-,-,-,-");
    TMainForm& main = rig.startAsAPerson();
    QTableWidget* grid = main.grid();
    // Row 1A: the tag emptied and the frequency changed, with the real editor.
    const std::pair<int, QString> edits[] = {{kColTag, ""}, {kColFrequency, "450"}};
    for (const auto& [column, text] : edits) {
        QLineEdit* editor = OpenCellEditor(*grid, 1, column);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(editor, Qt::Key_Delete);
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        ASSERT_TRUE(WaitFor([&] { return grid->findChild<QLineEdit*>("cellEditor") == nullptr; }));
    }
    rig.controller->clearTranscript();
    QString shown;
    AcceptNextMessageBox(&shown);
    main.findChild<QAction*>("actionStoreUserMemory")->trigger();
    ASSERT_TRUE(rig.settle());
    ASSERT_TRUE(WaitFor([&] { return !shown.isEmpty(); }));
    EXPECT_EQ(
        shown,
        "The controller refused the settings of 1A.\nCheck type and tag of these rows and store again.");
    for (const std::string& line : rig.sent()) EXPECT_FALSE(line.starts_with("GCM")) << "no rescan";
    EXPECT_EQ(rig.cell(1, kColFrequency), "450");
    EXPECT_EQ(rig.cell(1, kColTag), "");
}

TEST(UserMemory, ClearAsksFirst) {
    for (const bool yes : {true, false}) {
        GuiRig rig;
        rig.useSimulator("C,O,-,-,-,-");
        rig.start();
        rig.controller->clearTranscript();
        rig.prompts.answers = {yes};
        rig.main().clearUserMemory();
        ASSERT_TRUE(rig.settle());
        ASSERT_EQ(rig.prompts.shown.size(), 1u);
        EXPECT_EQ(rig.prompts.shown[0].text, "Are you sure you want to clear all Vellumotor settings?");
        const auto lines = rig.sent();
        if (!yes) {
            EXPECT_TRUE(lines.empty());
            continue;
        }
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[0], "CSS 1 0 0 0 3 6000 \xff \xff 0\r");
        EXPECT_EQ(lines[1], "STF\r");
        EXPECT_EQ(lines[2], "GCM \r");  // the scan follows
    }
}

TEST(MainForm, ClosingTheWindowClosesTheLink) {
    GuiRig rig;
    vm::test::ScriptedLink* link = nullptr;
    rig.links.make = [&](LinkKind kind) -> std::unique_ptr<COM_METHOD> {
        if (kind != LinkKind::Ftdi) return nullptr;
        auto scripted = std::make_unique<vm::test::ScriptedLink>(rig.linkContext);
        scripted->answerEverything("MNF\r");
        link = scripted.get();
        return scripted;
    };
    rig.start();
    ASSERT_NE(link, nullptr);
    const int before = link->closeCount();
    rig.main().close();
    EXPECT_EQ(link->closeCount(), before + 1);
}

// While the diagnostic window or the emergency panel holds the main window, a close of the main
// window is ignored; once that window is closed, the main window closes as ever.
TEST(MainForm, CloseWaitsForTheWindowThatHoldsTheMainWindow) {
    for (const char* action : {"actionDiagnostic", "actionEmergencyPanel"}) {
        SCOPED_TRACE(action);
        GuiRig rig;
        rig.useSimulator("C,O,-,-,-,-");
        TMainForm& main = rig.start();
        main.findChild<QAction*>(action)->trigger();
        QWidget* other = action == std::string("actionDiagnostic")
                             ? static_cast<QWidget*>(&rig.windows->diagnostic())
                             : static_cast<QWidget*>(&rig.windows->emergencyPanel());
        ASSERT_TRUE(WaitFor([&] { return other->isVisible() && !main.isEnabled(); }));
        EXPECT_FALSE(main.close());
        EXPECT_TRUE(main.isVisible());
        ASSERT_TRUE(rig.context->current.hasLink());
        // The diagnostic window stays while its own worker runs: closed again until it goes.
        ASSERT_TRUE(WaitFor([&] {
            if (!main.isEnabled()) other->close();
            return main.isEnabled();
        }));
        ASSERT_TRUE(rig.settle());
        EXPECT_TRUE(main.close());
        EXPECT_FALSE(main.isVisible());
    }
}

// After a lost link, File > Reconnect opens the same link again and scans it; it is off while a
// scan runs.
TEST(MainForm, ReconnectReopensTheLastLinkAndScans) {
    GuiRig rig;
    rig.useHeldSimulator("C,O,-,-,-,-");
    TMainForm& main = rig.start();
    auto* reconnect = main.findChild<QAction*>("actionReconnect");
    ASSERT_NE(reconnect, nullptr);
    EXPECT_TRUE(reconnect->isEnabled());
    rig.controller->addFault(Rule(sim::Fault::NoReply, "", 1000));
    main.startModuleScan();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(main.statusText(), "No Vellumotors found");
    EXPECT_FALSE(main.findChild<QAction*>("actionAvailableChannels")->isEnabled());
    EXPECT_TRUE(reconnect->isEnabled());

    rig.controller->clearFaults();
    rig.held = nullptr;
    rig.holdNewLinksAt = "STS";
    reconnect->trigger();
    ASSERT_TRUE(WaitFor([&] { return rig.held != nullptr && rig.held.load()->gate.holding(); }));
    EXPECT_FALSE(reconnect->isEnabled()) << "off while the scan runs";
    rig.held.load()->gate.release();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_EQ(std::count(rig.links.requested.begin(), rig.links.requested.end(), LinkKind::Ftdi), 2);
    EXPECT_EQ(main.linkStatusText(), "USB VMSIM0001");
    EXPECT_TRUE(reconnect->isEnabled());
}

// A link that reports success with nothing in the reply (a pipe whose monitor is gone) does not
// answer either.
TEST(MainForm, EmptyRepliesTurnTheLinkFieldToNotAnswering) {
    GuiRig rig;
    rig.links.make = [&rig](LinkKind) {
        auto link = std::make_unique<vm::test::ScriptedLink>(rig.linkContext);
        link->answerEverything("", 0);
        return link;
    };
    TMainForm& main = rig.start({"@CMON", "127.0.0.1"});
    main.refreshLinkStatus();
    EXPECT_EQ(main.linkStatusText(), "Pipe 127.0.0.1: not answering");
}

TEST(MainForm, VersionBox) {
    GuiRig rig;
    rig.start({"a", "b"});
    rig.main().showVersion();
    ASSERT_EQ(rig.prompts.shown.size(), 1u);
    EXPECT_EQ(rig.prompts.shown[0].text, "VMControlSystem 5.3.20181010");
    EXPECT_EQ(rig.prompts.shown[0].title, "Version Information");
    EXPECT_EQ(rig.prompts.shown[0].icon, PromptIcon::Question);
}

TEST(MainForm, LinkFieldTurnsToNotAnsweringAndBack) {
    GuiRig rig;
    rig.useSimulator("C,O,-,-,-,-");
    TMainForm& main = rig.start();
    EXPECT_EQ(main.linkStatusText(), "USB VMSIM0001");
    rig.controller->addFault(Rule(sim::Fault::NoReply, "", 2));
    rig.main().startModuleScan();  // GCM and GOM go unanswered
    ASSERT_TRUE(rig.settle());
    main.refreshLinkStatus();
    EXPECT_EQ(main.linkStatusText(), "USB VMSIM0001: not answering");
    rig.main().startModuleScan();
    ASSERT_TRUE(rig.settle());
    main.refreshLinkStatus();
    EXPECT_EQ(main.linkStatusText(), "USB VMSIM0001");
}

}  // namespace
}  // namespace vm::gui::test
