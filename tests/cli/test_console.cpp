// The real console on a pseudo terminal: text is shown with its control characters defused, the
// console's own sequences pass.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/console.h"

namespace {

std::string RunOnTerminal(void (*body)()) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        body();
        std::fflush(stdout);
        _exit(0);
    }
    std::string seen;
    if (pid < 0) return seen;
    char buffer[512];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) seen.append(buffer, static_cast<std::size_t>(n));
    close(master);
    waitpid(pid, nullptr, 0);
    return seen;
}

TEST(StdConsole, ControlCharactersInTextCannotDriveTheTerminal) {
    const std::string seen = RunOnTerminal([] {
        vm::cli::StdConsole console;
        console.write("_GFS \x1b[2J\x07ok\tdone\n");
        console.setTitle("COM \x1b]0;x Server");
        console.moveCursor(4, 2);
    });
    EXPECT_NE(seen.find("_GFS .[2J.ok\tdone"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(seen.find("\x1b]0;COM ]0;x Server\x07"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\x1b[3;5H"), std::string::npos);
}

}  // namespace
