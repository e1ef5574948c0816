#pragma once
// The console of the command-line tool: text output plus the few interactive operations some
// commands need (key test, one key, one line, title, size, colour, cursor). The real console
// uses escape sequences and termios; tests use ScriptedConsole.
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "link/text_out.h"

namespace vm::cli {

class Console : public TextOut {
public:
    // True when a key press is waiting; never blocks. False when there is no terminal input.
    virtual bool keyPressed() = 0;
    // One key without echo; nullopt at end of input (stdin closed or not readable).
    virtual std::optional<char> readKey() = 0;
    // One line without its line feed; nullopt at end of input.
    virtual std::optional<std::string> readLine() = 0;
    virtual void setTitle(std::string_view title) = 0;
    virtual void setSize(int columns, int lines) = 0;
    // Green on black when true (the monitor's colours), the terminal's default otherwise.
    virtual void setMonitorColours(bool on) = 0;
    // Zero-based column and row.
    virtual void moveCursor(int column, int row) = 0;
};

// Standard output and standard input. Escape sequences are written only when standard output is
// a terminal, so logs and pipes get plain text. On a terminal, control characters in the text
// (a controller's reply among them) are shown as "." so that no reply can drive the terminal;
// line feed, carriage return, tab and backspace pass.
class StdConsole final : public Console {
public:
    StdConsole();
    ~StdConsole() override;
    void write(std::string_view text) override;
    void flush() override;
    bool keyPressed() override;
    std::optional<char> readKey() override;
    std::optional<std::string> readLine() override;
    void setTitle(std::string_view title) override;
    void setSize(int columns, int lines) override;
    void setMonitorColours(bool on) override;
    void moveCursor(int column, int row) override;

private:
    // Writes the console's own escape sequences unfiltered.
    void writeControl(std::string_view sequence);

    bool stdoutIsTerminal_;
    bool stdinIsTerminal_;
    bool coloured_ = false;
};

// Captures output and answers input from a queue, for tests. Console operations are recorded in
// the output as bracketed markers only when recordControls is set.
class ScriptedConsole final : public Console {
public:
    void write(std::string_view text) override { output_.append(text); }
    bool keyPressed() override;
    std::optional<char> readKey() override;
    std::optional<std::string> readLine() override;
    void setTitle(std::string_view title) override;
    void setSize(int columns, int lines) override;
    void setMonitorColours(bool on) override;
    void moveCursor(int column, int row) override;

    const std::string& output() const { return output_; }
    std::string take() { return std::exchange(output_, {}); }
    const std::string& title() const { return title_; }
    void addKeys(std::string_view keys) { keys_.insert(keys_.end(), keys.begin(), keys.end()); }
    void addLine(std::string line) { lines_.push_back(std::move(line)); }
    // Number of keyPressed() calls answered false before a queued key is reported.
    void setKeyDelay(int polls) { keyDelay_ = polls; }
    bool recordControls = false;

private:
    std::string output_;
    std::string title_;
    std::deque<char> keys_;
    std::deque<std::string> lines_;
    int keyDelay_ = 0;
};

}  // namespace vm::cli
