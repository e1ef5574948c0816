#pragma once
// The desktop program's windows in-process, offscreen and in virtual time: a recorder in place of
// the message boxes, a link factory the test sets up, and helpers that wait for the window's
// jobs and threads to deliver their results.
#include <QApplication>
#include <QLineEdit>
#include <QTableWidget>
#include <QTest>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "gui/app_context.h"
#include "gui/application.h"
#include "gui/link_factory.h"
#include "gui/main_form.h"
#include "gui/prompts.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/text_out.h"
#include "sim/controller.h"
#include "sim/sim_link.h"

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace vm::gui::test {

struct Prompt {
    QString text;
    QString title;
    PromptIcon icon;
    bool question;
};

// Records every message and question; questions are answered from `answers`, then No. With
// `realBoxes` set, messages and questions are also shown as the program's real message boxes, which
// the test answers (modal_box.h); a question's answer is then the button pressed.
class RecordingPrompts final : public Prompts {
  public:
    void message(QWidget* parent, const QString& text, const QString& title, PromptIcon icon) override {
        shown.push_back({text, title, icon, false});
        if (realBoxes) boxes_.message(parent, text, title, icon);
    }
    bool askYesNo(QWidget* parent, const QString& text, const QString& title, PromptIcon icon) override {
        shown.push_back({text, title, icon, true});
        if (realBoxes) return boxes_.askYesNo(parent, text, title, icon);
        if (answers.empty()) return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QString saveFileName(QWidget*, const QString&, const QString&, const QString&) override {
        return saveAnswer;
    }
    QStringList texts() const {
        QStringList list;
        for (const Prompt& p : shown) list << p.text;
        return list;
    }

    std::vector<Prompt> shown;
    std::deque<bool> answers;
    QString saveAnswer;
    bool realBoxes = false;

  private:
    MessageBoxPrompts boxes_;
};

// Hands out what `make` builds and records what was asked for.
class TestLinkFactory final : public LinkFactory {
  public:
    std::unique_ptr<COM_METHOD> create(LinkKind kind) override {
        requested.push_back(kind);
        return make ? make(kind) : nullptr;
    }
    std::function<std::unique_ptr<COM_METHOD>(LinkKind)> make;
    std::vector<LinkKind> requested;
};

// A link that finds nothing and answers nothing: what a USB search sees without hardware.
class AbsentLink final : public COM_METHOD {
  public:
    explicit AbsentLink(const LinkContext& context, int count = 0) : COM_METHOD(context), count_(count) {}
    bool OpenDefault() override { return false; }
    bool Open(std::string_view) override { return false; }
    void Close() override {}
    int Exchange() override { return 1; }
    int ListDevices() override {
        for (int i = 0; i < count_; ++i)
            devices()[static_cast<std::size_t>(i)].assign("10.0.0." + std::to_string(i + 1));
        return count_;
    }

  private:
    int count_;
};

// Holds the first line that begins with a prefix until the test lets it through: a controller
// caught in the middle of an exchange. Links call pass() with each line before they answer it.
class ExchangeGate {
  public:
    void holdAt(std::string prefix) {
        std::lock_guard lock(mutex_);
        hold_ = std::move(prefix);
        held_ = released_ = false;
    }
    void pass(std::string_view line) {
        std::unique_lock lock(mutex_);
        if (hold_.empty() || held_ || !line.starts_with(hold_)) return;
        held_ = true;
        changed_.wait(lock, [this] { return released_; });
    }
    bool holding() {
        std::lock_guard lock(mutex_);
        return held_ && !released_;
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string hold_;
    bool held_ = false;
    bool released_ = false;
};

// The virtual controller behind a link with a gate.
class HeldSimLink final : public COM_METHOD {
  public:
    HeldSimLink(const LinkContext& context, sim::Controller& controller)
        : COM_METHOD(context), inner_(context, controller) {}
    bool OpenDefault() override { return inner_.OpenDefault(); }
    bool Open(std::string_view name) override { return inner_.Open(name); }
    void Close() override { inner_.Close(); }
    int ListDevices() override {
        const int count = inner_.ListDevices();
        for (std::size_t i = 0; i < COM_METHOD::kDeviceCount; ++i)
            devices()[i].assign(inner_.devices()[i].view());
        return count;
    }
    int Exchange() override {
        gate.pass(command().view());
        inner_.command().assign(command().view());
        const int result = inner_.Exchange();
        reply().assign(inner_.reply().view());
        return result;
    }

    ExchangeGate gate;

  private:
    sim::SimLink inner_;
};

// Opens the editor of a grid cell (1-based row) with a real click and double-click and selects
// its text; null when none opened.
inline QLineEdit* OpenCellEditor(QTableWidget& grid, int row, int column) {
    const QPoint at = grid.visualRect(grid.model()->index(row - 1, column)).center();
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, at);
    auto* editor = grid.findChild<QLineEdit*>("cellEditor");
    if (editor) {
        editor->setFocus();
        editor->selectAll();
    }
    return editor;
}

// Waits (processing events) until the condition holds; false after the timeout.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
    return QTest::qWaitFor(condition, timeoutMs);
}

struct GuiRig {
    VirtualClock clock;
    StringTextOut out;
    // Virtual time unless a test that talks to real processes passes a real clock.
    Clock& time;
    LinkContext linkContext{LinkSettings::desktop(), time, out};
    RecordingPrompts prompts;
    TestLinkFactory links;
    std::unique_ptr<sim::Controller> controller;
    std::unique_ptr<AppContext> context;
    std::unique_ptr<Windows> windows;

    explicit GuiRig(Clock* realClock = nullptr) : time(realClock ? *realClock : clock) {
        context = std::make_unique<AppContext>(time, links, prompts);
    }
    ~GuiRig() {
        windows.reset();
        context.reset();
    }

    // A virtual controller with this rack, served as the first USB device the search finds.
    void useSimulator(const std::string& rack) {
        controller = std::make_unique<sim::Controller>(clock, *sim::ParseRack(rack));
        links.make = [this](LinkKind kind) -> std::unique_ptr<COM_METHOD> {
            if (kind == LinkKind::Ftdi) return std::make_unique<sim::SimLink>(linkContext, *controller);
            return std::make_unique<AbsentLink>(linkContext);
        };
    }

    // The same, behind a HeldSimLink (`held`, replaced at each open) that the test can stop in
    // the middle of an exchange.
    void useHeldSimulator(const std::string& rack) {
        controller = std::make_unique<sim::Controller>(clock, *sim::ParseRack(rack));
        links.make = [this](LinkKind kind) -> std::unique_ptr<COM_METHOD> {
            if (kind != LinkKind::Ftdi) return std::make_unique<AbsentLink>(linkContext);
            auto link = std::make_unique<HeldSimLink>(linkContext, *controller);
            if (!holdNewLinksAt.empty()) link->gate.holdAt(holdNewLinksAt);
            held = link.get();
            return link;
        };
    }
    // The link the program made last; links are made on the runner's thread.
    std::atomic<HeldSimLink*> held = nullptr;
    // Set before the program makes a link: its gate holds from its first exchange on, so a test
    // catches a scan that starts at once on the new link.
    std::string holdNewLinksAt;

    // Builds the windows as the program does and shows the main window; waits for the start-up
    // dispatch and, when one starts, the module scan.
    TMainForm& start(const QStringList& arguments = {}) {
        windows = std::make_unique<Windows>(*context, arguments);
        TMainForm& main = windows->main();
        bool started = false;
        QObject::connect(&main, &TMainForm::startupDone, [&started] { started = true; });
        main.show();
        WaitFor([&] { return started; });
        settle();
        return main;
    }

    // The same with the program's real message boxes (answered with modal_box.h) and the main
    // window active, as a person has it: a box then takes the focus from the widget in use.
    TMainForm& startAsAPerson(const QStringList& arguments = {}) {
        prompts.realBoxes = true;
        TMainForm& main = start(arguments);
        main.activateWindow();
        (void)QTest::qWaitForWindowActive(&main);
        return main;
    }

    // Waits until no scan runs and every job of the runner has been applied.
    bool settle() {
        return WaitFor([this] { return !windows->main().scanRunning() && context->runner.pending() == 0; });
    }

    TMainForm& main() { return windows->main(); }
    QString cell(int row, int column) {
        const QTableWidgetItem* item = main().grid()->item(row - 1, column);
        return item ? item->text() : QString();
    }
    std::vector<std::string> sent() const {
        return controller ? controller->lines() : std::vector<std::string>{};
    }
};

}  // namespace vm::gui::test
