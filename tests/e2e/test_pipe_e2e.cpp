// The pipe server and monitor as real processes: vmsim on 127.0.0.1, "vmcli SERV:127.0.0.1" (or
// CMON) serving it, and clients "vmcli @SERV:127.0.0.1 ..." going through it.
//
// The tool runs from a private copy with a name of its own, so counting the running instances
// of the tool sees only the processes of this test. The test process is a child subreaper, so a
// server that a client started can be stopped and reaped here too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "link/pipe_com.h"
#include "tests/support/pipe_support.h"
#include "tests/support/process.h"
#include "tests/support/sim_process.h"
#include "tests/support/terminal_model.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kAddress = "127.0.0.1";

// Starts a program with standard input, output and error on the given descriptors (or
// /dev/null and a file); kills and reaps it when destroyed.
class Program {
  public:
    Program(const std::vector<std::string>& argv, int in, int out) {
        std::vector<std::string> words = argv;
        std::vector<char*> pointers;
        for (auto& w : words) pointers.push_back(w.data());
        pointers.push_back(nullptr);
        // fork and exec by hand so the program dies with the test process, however that ends;
        // only system calls run between the two.
        pid_ = ::fork();
        if (pid_ != 0) return;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setsid();
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execve(pointers[0], pointers.data(), environ);
        ::_exit(127);
    }
    ~Program() { stop(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    pid_t pid() const { return pid_; }
    bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    // Reaps the program after it ended by itself; its wait status.
    int wait() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
        return status;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Processes running the executable at the path.
std::vector<pid_t> ProcessesOf(const std::string& path) {
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code error;
        if (fs::read_symlink(entry.path() / "exe", error) == path) pids.push_back(std::stoi(name));
    }
    return pids;
}

class PipeEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        ::unsetenv("DISPLAY");  // a started server goes to a log, never to a terminal window
        ::unsetenv("WAYLAND_DISPLAY");
        char pattern[] = "/tmp/vmpipe-e2e-XXXXXX";
        work_ = ::mkdtemp(pattern);
        tool_ = work_ + "/vmclie2e" + std::to_string(::getpid());
        fs::copy_file(VMCLI_PATH, tool_);
        fs::permissions(tool_, fs::perms::owner_all);
        sim_ = std::make_unique<vm::test::SimProcess>(VMSIM_PATH);
        ASSERT_TRUE(sim_->ready());
        ::setenv("VM_LAN_PORT", std::to_string(sim_->port()).c_str(), 1);
        devNull_ = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    }

    void TearDown() override {
        server_.reset();
        // Servers that clients started are children of this process by now.
        for (pid_t pid : ProcessesOf(tool_)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);  // returns at once for a process that is not ours
        }
        sim_.reset();
        ::unsetenv("VM_LAN_PORT");
        ::close(devNull_);
        std::error_code ignored;
        fs::remove_all(work_, ignored);
    }

    void startServer(const std::string& mode) {
        serverLog_ = work_ + "/server.log";
        const int out = ::open(serverLog_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        server_ =
            std::make_unique<Program>(std::vector<std::string>{tool_, mode + ":" + kAddress}, devNull_, out);
        ::close(out);
        ASSERT_TRUE(WaitFor([&] { return Exists(dir_.file(kAddress + "SR")); }, 10s)) << ReadFile(serverLog_);
    }

    vm::test::ProcessResult client(const std::vector<std::string>& words) {
        std::vector<std::string> argv{tool_};
        argv.insert(argv.end(), words.begin(), words.end());
        return vm::test::RunProcess(argv, {}, 30s);
    }

    std::string direct(const std::vector<std::string>& words) {
        std::vector<std::string> argv{VMCLI_PATH, "@" + kAddress};
        argv.insert(argv.end(), words.begin(), words.end());
        return vm::test::RunProcess(argv, {}, 30s).output;
    }

    vm::test::PrivatePipeDirectory dir_;
    std::string work_;
    std::string tool_;
    std::string serverLog_;
    std::unique_ptr<vm::test::SimProcess> sim_;
    std::unique_ptr<Program> server_;
    int devNull_ = -1;
};

TEST_F(PipeEndToEnd, CommandsThroughTheServerPrintWhatADirectLinkPrints) {
    startServer("SERV");
    const std::vector<std::vector<std::string>> commands = {
        {"STS", "1"}, {"STP", "6"}, {"DESC", "1"}, {"modlist"}};
    for (const auto& words : commands) {
        const std::string expected = direct(words);
        std::vector<std::string> viaServer{"@SERV:" + kAddress};
        viaServer.insert(viaServer.end(), words.begin(), words.end());
        const auto result = client(viaServer);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output, expected) << words[0];
    }
    const std::string log = ReadFile(serverLog_);
    EXPECT_TRUE(log.starts_with("\n-> Using Pipename: 127.0.0.1\n \n-> USB port open, wait for data...\n"))
        << log;
    // STS 1 is a status query and a failsafe query; STP 6 finds no module.
    const std::regex lines(
        "0x00000000: \\d\\d:\\d\\d:\\d\\d Tranceiving -->STATUS Response\n"
        "0x00000001: \\d\\d:\\d\\d:\\d\\d Tranceiving -->  ACK\n"
        "0x00000002: \\d\\d:\\d\\d:\\d\\d Tranceiving --> nACK\n");
    EXPECT_TRUE(std::regex_search(log, lines)) << log;
}

TEST_F(PipeEndToEnd, ConcurrentClientsNeverMixAndKilledClientsDoNotStopTheServer) {
    startServer("SERV");
    const std::vector<std::vector<std::string>> commands = {
        {"STS", "1"}, {"DESC", "1"}, {"POS", "2", "1"}, {"STS", "6"}};
    std::vector<std::string> expected;
    for (const auto& words : commands) expected.push_back(direct(words));
    for (std::size_t i = 1; i < expected.size(); ++i) ASSERT_NE(expected[i], expected[0]);

    constexpr int kRuns = 100;  // each run is one or two transactions
    std::atomic<int> wrong{0};
    std::mutex reportMutex;
    std::vector<std::thread> clients;
    for (std::size_t c = 0; c < commands.size(); ++c) {
        clients.emplace_back([&, c] {
            std::vector<std::string> words{"@SERV:" + kAddress};
            words.insert(words.end(), commands[c].begin(), commands[c].end());
            for (int i = 0; i < kRuns; ++i) {
                const auto result = client(words);
                if (result.output != expected[c]) {
                    ++wrong;
                    std::lock_guard lock(reportMutex);
                    ADD_FAILURE() << commands[c][0] << " run " << i << " printed " << result.output;
                }
            }
        });
    }
    // Clients killed at random moments of their transactions.
    std::thread killer([&] {
        std::mt19937 random(7);
        for (int i = 0; i < 40; ++i) {
            Program victim({tool_, "@SERV:" + kAddress, "STS", "1"}, devNull_, devNull_);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        }
    });
    for (auto& t : clients) t.join();
    killer.join();
    EXPECT_EQ(wrong, 0);
    ASSERT_TRUE(server_->alive());
    EXPECT_EQ(client({"@SERV:" + kAddress, "STS", "1"}).output, expected[0]);
}

// `kill` and Ctrl-C end a server of the signal, and its socket file goes with it (the monitor
// runs the same server).
TEST_F(PipeEndToEnd, ASignalledServerRemovesItsSocketFile) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(::strsignal(signal));
        startServer("SERV");
        ASSERT_EQ(::kill(server_->pid(), signal), 0);
        const int status = server_->wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        ASSERT_FALSE(Exists(dir_.file(kAddress + "SR")));
    }
    // The next server takes the name and serves.
    startServer("SERV");
    EXPECT_EQ(client({"@SERV:" + kAddress, "STS", "1"}).output, direct({"STS", "1"}));
}

TEST_F(PipeEndToEnd, SelectorStartsAServerWhenNoneRuns) {
    ASSERT_TRUE(ProcessesOf(tool_).empty());
    const auto start = std::chrono::steady_clock::now();
    const auto result = client({"@SERV:" + kAddress, "STS", "1"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2000ms) << "the client waits for the new server";
    EXPECT_EQ(result.output, direct({"STS", "1"}));
    const auto servers = ProcessesOf(tool_);
    EXPECT_EQ(servers.size(), 1u) << "the started server keeps running";
    const std::string log = ReadFile(dir_.file(fs::path(tool_).filename().string() + "-server.log"));
    EXPECT_NE(log.find("\n-> Using Pipename: 127.0.0.1\n"), std::string::npos) << log;
    // A second client finds the running server and starts nothing.
    EXPECT_EQ(client({"@SERV:" + kAddress, "STS", "1"}).output, result.output);
    EXPECT_EQ(ProcessesOf(tool_).size(), 1u);
}

TEST_F(PipeEndToEnd, MonitorDrawsItsTableOnATerminal) {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_col = 160;
    size.ws_row = 50;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    vm::test::TerminalModel screen(160, 50);
    std::mutex screenMutex;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char buffer[4096];
        while (reading) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            std::lock_guard lock(screenMutex);
            screen.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
    });
    {
        Program monitor({tool_, "CMON:" + kAddress}, slave, slave);
        ASSERT_TRUE(WaitFor([&] { return Exists(dir_.file(kAddress + "SR")); }, 10s));

        // A client process through the monitor prints what a direct link prints.
        EXPECT_EQ(client({"@CMON:" + kAddress, "DESC", "1"}).output, direct({"DESC", "1"}));
        // Then raw command lines from this process, 43 transactions in all with the one of DESC 1.
        vm::SteadyClock clock;
        vm::StringTextOut out;
        vm::LinkContext context{vm::LinkSettings::commandLine(), clock, out};
        vm::PIPE_COM link(context);
        ASSERT_TRUE(link.Open(kAddress));
        for (int i = 2; i <= 43; ++i) {
            link.command().format("STS %d\r", i % 2 == 0 ? 1 : 6);
            ASSERT_EQ(link.Exchange(), 0) << i;
        }
        // The screen shows the last transaction once the monitor has drawn it.
        WaitFor(
            [&] {
                std::lock_guard lock(screenMutex);
                return screen.row(3).starts_with("STS 6");
            },
            5s);
        monitor.stop();
    }
    reading = false;
    reader.join();
    ::close(master);
    ::close(slave);

    std::lock_guard lock(screenMutex);
    EXPECT_EQ(screen.title(), "VM Control System Communication Monitor/Server Pipename: 127.0.0.1");
    EXPECT_EQ(screen.row(1),
              "TRANSMITTED:               | RECEIVED:                            | RT ms| REC.HEX");
    EXPECT_EQ(screen.row(2).size(), 149u);
    // The 43rd transaction went to row 3 again; over TCP the reply has no carriage return.
    const std::string row3 = screen.row(3);
    EXPECT_EQ(row3.substr(0, 6), "STS 6 ") << row3;
    EXPECT_EQ(screen.at(28, 3), '|');
    EXPECT_EQ(row3.substr(29, 3), "MNF") << row3;
    EXPECT_EQ(screen.at(67, 3), '|');
    EXPECT_EQ(screen.at(74, 3), '|');
    EXPECT_EQ(row3.substr(75), "4D4E46") << row3;
    // The 42nd transaction (STS 1) is still on row 44.
    const std::string row44 = screen.row(44);
    EXPECT_EQ(row44.substr(0, 6), "STS 1 ") << row44;
    EXPECT_EQ(row44.substr(29, 4), "_STP") << row44;
    EXPECT_EQ(row44.substr(75), "5F535450") << row44;
}

}  // namespace

namespace {

TEST_F(PipeEndToEnd, OtherNameFindsTheRunningInstanceAndNoPipe) {
    startServer("CMON");
    // The running monitor counts as an instance, so nothing is started for the other name, and
    // the client's exchange finds no pipe of that name.
    const auto result = client({"@CMON:other", "DESC", "1"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.output.starts_with("Pipe not Found\n")) << result.output;
    EXPECT_EQ(ProcessesOf(tool_).size(), 1u);
    EXPECT_FALSE(Exists(dir_.file("otherSR")));
}

}  // namespace
