#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace vm::test {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

int spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int in, int out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environmentWith(extraEnv);
    auto argp = pointers(args);
    auto envp = pointers(env);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

void killAndReap(int pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds timeout,
                         const std::vector<std::string>& extraEnvironment, bool keepInputOpen) {
    ProcessResult result;
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) return result;
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        close(inPipe[0]);
        close(inPipe[1]);
        return result;
    }
    const int pid = spawn(argv, extraEnvironment, inPipe[0], outPipe[1]);
    close(inPipe[0]);
    close(outPipe[1]);
    if (pid > 0 && !input.empty()) {
        // Small inputs only: a pipe buffer takes them without blocking.
        [[maybe_unused]] const ssize_t n = write(inPipe[1], input.data(), input.size());
    }
    if (!keepInputOpen) close(inPipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (pid > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{outPipe[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = read(outPipe[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(outPipe[0]);
    if (keepInputOpen) close(inPipe[1]);
    if (pid <= 0) return result;
    if (result.timedOut) {
        killAndReap(pid);
        return result;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnvironment)
    : pid_(spawn(argv, extraEnvironment, -1, -1)) {}

ChildProcess::~ChildProcess() { stop(); }

void ChildProcess::stop() {
    killAndReap(pid_);
    pid_ = -1;
}

}  // namespace vm::test
