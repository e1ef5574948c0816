#pragma once
// Runs a real program for end-to-end tests: argument vector, optional standard input, captured
// standard output, a bounded wait after which the program is killed.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vm::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when the program was killed or could not start
    bool timedOut = false;
    std::string output;  // standard output
};

// With keepInputOpen the program's standard input stays an open pipe (after `input`) until it
// ends, as when a caller never writes and never closes it.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(20),
                         const std::vector<std::string>& extraEnvironment = {}, bool keepInputOpen = false);

// A started program that is killed and reaped when the object goes away.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool running() const { return pid_ > 0; }
    int pid() const { return pid_; }
    // Kills the program (SIGTERM, then SIGKILL after a grace period) and reaps it.
    void stop();

  private:
    int pid_ = -1;
};

}  // namespace vm::test
