#include "bench/bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>

#include "link/unique_fd.h"

extern char** environ;

namespace vm::bench {

namespace {

using Steady = std::chrono::steady_clock;

// Starts the program with the given standard input and output descriptors; -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, int in, int out) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (auto& w : words) pointers.push_back(w.data());
    pointers.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

TimedRun RunTimed(const std::vector<std::string>& argv, const std::string& input, double timeoutSeconds) {
    TimedRun run;
    int inPipe[2], outPipe[2];
    if (argv.empty() || pipe2(inPipe, O_CLOEXEC) != 0) return run;
    UniqueFd inRead(inPipe[0]), inWrite(inPipe[1]);
    if (pipe2(outPipe, O_CLOEXEC) != 0) return run;
    UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);

    const auto start = Steady::now();
    const pid_t pid = Spawn(argv, inRead.get(), outWrite.get());
    inRead.reset();
    outWrite.reset();
    if (pid < 0) return run;
    // The inputs of the benchmarks are a key or two: the pipe takes them without blocking.
    if (!input.empty()) {
        [[maybe_unused]] const ssize_t n = ::write(inWrite.get(), input.data(), input.size());
    }
    inWrite.reset();

    const auto deadline =
        start + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(timeoutSeconds));
    char buffer[65536];
    bool timedOut = false;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{outRead.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = ::read(outRead.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(Steady::now() - start).count();
    if (!timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

long PeakRssKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmHWM:" && status >> value) return value;
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

long PeakRssOfRun(const std::vector<std::string>& argv, const std::string& input) {
    if (argv.empty()) return 0;
    int inPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) return 0;
    UniqueFd inRead(inPipe[0]), inWrite(inPipe[1]);
    UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (auto& w : words) pointers.push_back(w.data());
    pointers.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(inRead.get(), STDIN_FILENO);
        ::dup2(null.get(), STDOUT_FILENO);
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::execve(pointers[0], pointers.data(), environ);
        ::_exit(127);
    }
    inRead.reset();
    if (pid < 0) return 0;
    if (!input.empty()) {
        [[maybe_unused]] const ssize_t n = ::write(inWrite.get(), input.data(), input.size());
    }
    inWrite.reset();

    // The first stop is the exec; from then on the program stops once more just before it exits,
    // when its memory is still there to be read. Other signals are passed on.
    long peak = 0;
    bool first = true;
    int status = 0;
    while (::waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        int deliver = WSTOPSIG(status);
        if (first) {
            ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
            first = false;
            deliver = 0;
        } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = PeakRssKiB(pid);
            deliver = 0;
        }
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    return peak;
}

double Median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace vm::bench
