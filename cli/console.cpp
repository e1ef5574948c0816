#include "cli/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace vm::cli {

namespace {

// Switches the terminal to unbuffered input without echo for the lifetime of the object.
class RawMode {
public:
    RawMode() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawMode() {
        if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

bool inputReady() {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

StdConsole::StdConsole()
    : stdoutIsTerminal_(isatty(STDOUT_FILENO) == 1), stdinIsTerminal_(isatty(STDIN_FILENO) == 1) {}

StdConsole::~StdConsole() {
    if (coloured_) setMonitorColours(false);
    flush();
}

void StdConsole::write(std::string_view text) {
    if (!stdoutIsTerminal_) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    std::string shown(text);
    for (char& c : shown) {
        const auto u = static_cast<unsigned char>(c);
        const bool control = u < 0x20 || u == 0x7f;
        if (control && c != '\n' && c != '\r' && c != '\t' && c != '\b') c = '.';
    }
    std::fwrite(shown.data(), 1, shown.size(), stdout);
}

void StdConsole::writeControl(std::string_view sequence) { std::fwrite(sequence.data(), 1, sequence.size(), stdout); }

void StdConsole::flush() { std::fflush(stdout); }

bool StdConsole::keyPressed() {
    // Only a terminal delivers key presses; a pipe or a closed input never reports one, so a
    // script that starts the tool cannot end a measurement by accident.
    if (!stdinIsTerminal_) return false;
    RawMode raw;
    return inputReady();
}

std::optional<char> StdConsole::readKey() {
    flush();
    if (!stdinIsTerminal_) {
        char c;
        return read(STDIN_FILENO, &c, 1) == 1 ? std::optional<char>(c) : std::nullopt;
    }
    RawMode raw;
    char c;
    return read(STDIN_FILENO, &c, 1) == 1 ? std::optional<char>(c) : std::nullopt;
}

std::optional<std::string> StdConsole::readLine() {
    flush();
    std::string line;
    char c;
    while (true) {
        // Input that is not a terminal (a pipe, a file, a closed descriptor) is read only as far
        // as it is already there: a script that never writes must not keep the tool waiting.
        if (!stdinIsTerminal_ && !inputReady())
            return line.empty() ? std::nullopt : std::optional<std::string>(line);
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n != 1) return line.empty() ? std::nullopt : std::optional<std::string>(line);
        if (c == '\n') return line;
        if (line.size() < 4096) line.push_back(c);  // a line longer than any answer is cut
    }
}

void StdConsole::setTitle(std::string_view title) {
    if (!stdoutIsTerminal_) return;
    std::string seq = "\x1b]0;";
    for (char c : title)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) seq.push_back(c);  // no control bytes
    seq += "\x07";
    writeControl(seq);
}

void StdConsole::setSize(int columns, int lines) {
    if (!stdoutIsTerminal_) return;
    writeControl("\x1b[8;" + std::to_string(lines) + ";" + std::to_string(columns) + "t");
}

void StdConsole::setMonitorColours(bool on) {
    if (!stdoutIsTerminal_) return;
    writeControl(on ? "\x1b[32;40m\x1b[2J\x1b[H" : "\x1b[0m");
    coloured_ = on;
}

void StdConsole::moveCursor(int column, int row) {
    if (!stdoutIsTerminal_) return;
    writeControl("\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H");
}

bool ScriptedConsole::keyPressed() {
    if (keys_.empty()) return false;
    if (keyDelay_ > 0) {
        --keyDelay_;
        return false;
    }
    return true;
}

std::optional<char> ScriptedConsole::readKey() {
    if (keys_.empty()) return std::nullopt;
    const char c = keys_.front();
    keys_.pop_front();
    return c;
}

std::optional<std::string> ScriptedConsole::readLine() {
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

void ScriptedConsole::setTitle(std::string_view title) {
    title_ = title;
    if (recordControls) output_ += "[title " + title_ + "]";
}

void ScriptedConsole::setSize(int columns, int lines) {
    if (recordControls) output_ += "[size " + std::to_string(columns) + "x" + std::to_string(lines) + "]";
}

void ScriptedConsole::setMonitorColours(bool on) {
    if (recordControls) output_ += on ? "[colour on]" : "[colour off]";
}

void ScriptedConsole::moveCursor(int column, int row) {
    if (recordControls) output_ += "[at " + std::to_string(column) + "," + std::to_string(row) + "]";
}

}  // namespace vm::cli
