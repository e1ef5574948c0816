// The pipe server and monitor modes in-process: a server thread running the tool's entry point
// against test links, clients on the real pipe link in a private endpoint directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "cli/app.h"
#include "cli/messages.h"
#include "cli/pipe_modes.h"
#include "cli/system.h"
#include "link/pipe_com.h"
#include "link/pipe_endpoint.h"
#include "tests/support/pipe_support.h"
#include "tests/support/run_tool.h"
#include "tests/support/terminal_model.h"

namespace {

using vm::COM_METHOD;
using vm::LinkContext;
using vm::LinkSettings;
using vm::PIPE_COM;
using vm::cli::LinkKind;
using vm::test::FakeLinkFactory;
using vm::test::FakeSystem;
using vm::test::PrivatePipeDirectory;
using vm::test::ScriptedLink;

// Answers every command with "_" and the command, so each client can check it got its own reply.
class EchoLink final : public COM_METHOD {
  public:
    using COM_METHOD::COM_METHOD;
    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int Exchange() override {
        ++exchanges;
        const std::string line = command().str();
        reply().assign("_" + line);
        return 0;
    }
    int ListDevices() override { return 0; }
    std::atomic<int> exchanges{0};
};

// Renders what the tool writes, cursor moves included, onto a 160 x 50 terminal.
class ScreenConsole final : public vm::cli::Console {
  public:
    vm::test::TerminalModel screen{160, 50};
    void write(std::string_view text) override { screen.feed(text); }
    bool keyPressed() override { return false; }
    std::optional<char> readKey() override { return std::nullopt; }
    std::optional<std::string> readLine() override { return std::nullopt; }
    void setTitle(std::string_view) override {}
    void setSize(int, int) override {}
    void setMonitorColours(bool) override {}
    void moveCursor(int column, int row) override {
        screen.feed("\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H");
    }
};

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Runs "vmcli <mode word>" in a thread with a LAN device served by the link until stopped.
class ServerThread {
  public:
    ServerThread(vm::cli::Console& console, COM_METHOD& lan, std::string modeWord, std::string name)
        : console_(console), name_(std::move(name)) {
        links_.serve(LinkKind::Lan, lan);
        thread_ = std::thread([this, modeWord] {
            vm::cli::Environment env{console_, clock_, links_, &system_};
            vm::cli::RunVmcli(env, {"vmcli", modeWord});
        });
    }
    ~ServerThread() { stop(); }
    bool ready(const PrivatePipeDirectory& dir) { return WaitForFile(dir.file(name_ + "SR")); }
    void stop() {
        system_.serving = false;
        if (thread_.joinable()) thread_.join();
    }
    FakeSystem& system() { return system_; }

  private:
    vm::cli::Console& console_;
    std::string name_;
    vm::SteadyClock clock_;
    FakeLinkFactory links_;
    FakeSystem system_;
    std::thread thread_;
};

// A client link of its own, in real time.
struct Client {
    vm::SteadyClock clock;
    vm::StringTextOut out;
    LinkContext context{LinkSettings::commandLine(), clock, out};
    PIPE_COM link{context};
};

const std::string kName = "12.34.56.78";

TEST(PipeServer, RelaysEachTransactionAndLogsTheVerdict) {
    PrivatePipeDirectory dir;
    vm::cli::ScriptedConsole console;
    ScriptedLink lan(
        {{"MOV 1 0 300 100 5000 12 1 S\r", "_MOV\r"}, {"STS 1\r", "_STP\r"}, {"XYZ 1\r", "MNF\r"}});
    ServerThread server(console, lan, "SERV:" + kName, kName);
    ASSERT_TRUE(server.ready(dir));

    Client client;
    ASSERT_TRUE(client.link.Open(kName));
    const std::pair<std::string, std::string> exchanges[] = {
        {"MOV 1 0 300 100 5000 12 1 S\r", "_MOV\r"}, {"STS 1\r", "_STP\r"}, {"XYZ 1\r", "MNF\r"}};
    for (const auto& [command, reply] : exchanges) {
        client.link.command().assign(command);
        EXPECT_EQ(client.link.Exchange(), 0) << command;
        EXPECT_EQ(client.link.reply().view(), reply);
        EXPECT_TRUE(client.link.command().empty()) << "the command buffer is cleared once written";
        EXPECT_EQ(client.link.bytesWritten(), command.size());
        EXPECT_EQ(client.link.bytesRead(), reply.size());
    }
    // A resend without formatting again sends an empty command.
    lan.expect("", "");
    EXPECT_EQ(client.link.Exchange(), 0);
    EXPECT_EQ(client.link.reply().view(), "");
    server.stop();

    EXPECT_EQ(console.output(),
              "\n-> Using Pipename: 12.34.56.78\n \n-> USB port open, wait for data...\n"
              "0x00000000: 12:34:56 Tranceiving -->  ACK\n"
              "0x00000001: 12:34:56 Tranceiving -->STATUS Response\n"
              "0x00000002: 12:34:56 Tranceiving --> nACK\n"
              "0x00000003: 12:34:56 Tranceiving -->  ACK\n");
    EXPECT_EQ(console.title(), "VM Control System COM Server Pipename: 12.34.56.78");
    EXPECT_EQ(lan.opened(), std::vector<std::string>{kName});
    EXPECT_EQ(lan.closeCount(), 0) << "the server keeps its link open";
}

TEST(PipeServer, VerdictComparesThreeCharactersAsStrncmp) {
    const struct {
        std::string command, reply, verdict;
    } cases[] = {
        {"MOV 1\r", "_MOV\r", " -->  ACK\n"},
        {"STS 1\r", "_STP\r", " -->STATUS Response\n"},
        {"STS 1\r", "_STS 1\r", " -->  ACK\n"},
        {"POS 1 1\r", "MNF\r", " --> nACK\n"},
        {"ST", "_ST", " -->  ACK\n"},  // both end together
        {"", "", " -->  ACK\n"},
        {"STS", "", " -->STATUS Response\n"},
        {"MOV", "_MO", " --> nACK\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vm::cli::TransactionVerdict(c.command, c.reply), c.verdict)
            << c.command << " / " << c.reply;
}

// A raw client of the request endpoint, as a dying or misbehaving process would be.
vm::UniqueFd RawConnect(const PrivatePipeDirectory& dir, const std::string& file) {
    vm::UniqueFd fd;
    for (int i = 0; i < 1000; ++i) {
        if (vm::pipe::ConnectEndpoint(dir.path(), file, fd) == vm::pipe::ConnectResult::Connected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return fd;
}

TEST(PipeServer, DropsBrokenTransactionsAndServesTheNextClient) {
    PrivatePipeDirectory dir;
    vm::cli::ScriptedConsole console;
    ScriptedLink lan({{"STS 1\r", "_STP\r"}, {"MOV 2\r", "_MOV\r"}});
    ServerThread server(console, lan, "SERV:" + kName, kName);
    ASSERT_TRUE(server.ready(dir));
    const std::string request = kName + "SR";

    // A client that sent its command and died before its reply endpoint existed: the command
    // reaches the device, the reply cannot be delivered.
    {
        vm::UniqueFd fd = RawConnect(dir, request);
        ASSERT_TRUE(fd);
        ASSERT_TRUE(vm::pipe::SendAll(fd.get(), "STS 1\r"));
    }
    // A client that connected and hangs: dropped after its time, nothing sent to the device.
    vm::UniqueFd hanging = RawConnect(dir, request);
    ASSERT_TRUE(hanging);
    // A request longer than the command buffer: dropped, nothing sent to the device.
    Client client;
    std::thread oversized([&] {
        vm::UniqueFd fd = RawConnect(dir, request);
        vm::pipe::SendAll(fd.get(), std::string(300, 'A'));
        ::shutdown(fd.get(), SHUT_WR);
    });
    oversized.join();
    // Closing would make it an empty command; it stays connected until the server gave up on it.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    hanging.reset();

    ASSERT_TRUE(client.link.Open(kName));
    client.link.command().assign("MOV 2\r");
    EXPECT_EQ(client.link.Exchange(), 0);
    EXPECT_EQ(client.link.reply().view(), "_MOV\r");
    server.stop();

    EXPECT_EQ(console.output(),
              "\n-> Using Pipename: 12.34.56.78\n \n-> USB port open, wait for data...\n"
              "Push Connection Failed\nPush Connection Failed\nPush Connection Failed\n"
              "0x00000000: 12:34:56 Tranceiving -->  ACK\n");
}

// A forked process that keeps connecting to the request endpoint and vanishing: every second
// time it sends a command first. Only system calls run in the child. Killed and reaped on stop.
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), std::min(path.size(), sizeof address.sun_path - 1));
        pid_ = ::fork();
        if (pid_ != 0) return;
        // It dies with the test process, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() == 1) ::_exit(0);
        // Nothing of the test process stays open here, the clients' endpoints least of all.
        ::close_range(3, ~0U, 0);
        for (unsigned n = 0;; ++n) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && n % 2 == 0)
                (void)!::write(fd, "VANDAL\r", 7);
            ::close(fd);
            ::usleep(3000);
        }
    }
    ~ChildProcess() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

TEST(PipeServer, ConcurrentClientsEachGetTheirOwnReplies) {
    PrivatePipeDirectory dir;
    vm::cli::ScriptedConsole console;
    Client serverSide;  // only for its context
    EchoLink echo(serverSide.context);
    ServerThread server(console, echo, "SERV:" + kName, kName);
    ASSERT_TRUE(server.ready(dir));

    constexpr int kClients = 4;
    constexpr int kTransactions = 150;
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kClients; ++t) {
        clients.emplace_back([&, t] {
            Client client;
            for (int i = 0; i < kTransactions; ++i) {
                // Half the clients hold the link for all their transactions, half open it each time.
                if ((t % 2 == 0 || i == 0) && !client.link.Open(kName)) {
                    ++wrong;
                    continue;
                }
                const std::string command = "T" + std::to_string(t) + " " + std::to_string(i) + "\r";
                client.link.command().assign(command);
                const int result = client.link.Exchange();
                if (result != 0 || client.link.reply().view() != "_" + command) {
                    ++wrong;
                    ADD_FAILURE() << "client " << t << " sent " << command << " got " << result << " "
                                  << ::testing::PrintToString(client.link.reply().str());
                }
                if (t % 2 == 0) client.link.Close();
            }
        });
    }
    // Meanwhile another process connects and vanishes, with or without sending a command; its
    // replies must never reach the clients, and it is killed in the middle of whatever it does.
    ChildProcess vandal(dir.file(kName + "SR"));
    for (auto& c : clients) c.join();
    vandal.stop();
    EXPECT_EQ(wrong, 0);

    Client last;
    ASSERT_TRUE(last.link.Open(kName));
    last.link.command().assign("LAST\r");
    EXPECT_EQ(last.link.Exchange(), 0);
    EXPECT_EQ(last.link.reply().view(), "_LAST\r");
    server.stop();
    EXPECT_GE(echo.exchanges, kClients * kTransactions + 1);
}

TEST(PipeMonitor, DrawsTheTableAndWrapsAfterRow44) {
    PrivatePipeDirectory dir;
    ScreenConsole console;
    Client serverSide;
    ScriptedLink lan(serverSide.context);
    lan.answerEverything("_STP\r");
    ServerThread server(console, lan, "CMON:" + kName, kName);
    ASSERT_TRUE(server.ready(dir));

    Client client;
    ASSERT_TRUE(client.link.Open(kName));
    for (int i = 1; i <= 45; ++i) {
        client.link.command().format("STS %d\r", i);
        ASSERT_EQ(client.link.Exchange(), 0);
    }
    server.stop();

    const auto& screen = console.screen;
    EXPECT_EQ(screen.row(1),
              "TRANSMITTED:               | RECEIVED:                            | RT ms| REC.HEX");
    EXPECT_EQ(screen.row(2), std::string(27, '-') + "+" + std::string(38, '-') + "+" + std::string(6, '-') +
                                 "+" + std::string(75, '-'));
    // Transactions 43 to 45 reuse rows 3 to 5, the row after the last is cleared, and rows 7 to
    // 44 still show transactions 5 to 42.
    const struct {
        int row;
        int transaction;
    } rows[] = {{3, 43}, {4, 44}, {5, 45}, {7, 5}, {44, 42}};
    for (const auto& r : rows) {
        const std::string text = screen.row(r.row);
        const std::string command = "STS " + std::to_string(r.transaction);
        SCOPED_TRACE("row " + std::to_string(r.row) + ": " + text);
        EXPECT_EQ(text.substr(0, command.size() + 1), command + " ");
        EXPECT_EQ(screen.at(28, r.row), '|');
        EXPECT_EQ(text.substr(29, 4), "_STP");
        EXPECT_EQ(screen.at(67, r.row), '|');
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(screen.at(68, r.row)))) << "round trip in ms";
        EXPECT_EQ(screen.at(74, r.row), '|');
        EXPECT_EQ(text.substr(75), "5F535450 D");
    }
    EXPECT_EQ(screen.row(6), "");
    EXPECT_EQ(screen.row(45), "") << "row 45 is never used";
}

TEST(PipeMonitor, SetUpTextsAndTitles) {
    PrivatePipeDirectory dir;
    vm::VirtualClock clock;
    vm::cli::ScriptedConsole console;
    console.recordControls = true;
    FakeLinkFactory links;
    ScriptedLink lan;
    links.serve(LinkKind::Lan, lan);
    FakeSystem system;
    system.serving = false;
    vm::cli::Environment env{console, clock, links, &system};
    vm::cli::RunVmcli(env, {"vmcli", "CMON:1.2.3.4"});
    EXPECT_EQ(console.output(),
              "[size 160x50][colour on][title Brannic's Communication Monitor]"
              "*** VM Control System command line interface : Communication Server ***\n\n "
              "\n-> Using Pipename: 1.2.3.4\n \n-> port open, wait for data...\n"
              "[title VM Control System Communication Monitor/Server Pipename: 1.2.3.4]");
}

// Device choice by name: which link the server opens. The choice by device number needs the real
// USB links' listings (tests/link/test_usb_vmcli.cpp).
struct ChoiceCase {
    std::string label;
    std::vector<std::string> words;
    int ftdiListing, hidListing;
    std::string keys;
    std::string output;  // after the set-up of the console
    std::vector<std::string> ftdiOpened, hidOpened, lanOpened;
    bool served;
};

TEST(PipeModes, DeviceChoiceFollowsTheName) {
    const std::string serving = "\n-> Using Pipename: ";
    const std::string none = " NO DEVICES FOUND\nReturning to client...\n";
    const ChoiceCase cases[] = {
        {"name as serial",
         {"SERV:line1"},
         1,
         0,
         "",
         "\n-> Trying to open device with serial: line1\n",
         {"line1"},
         {},
         {},
         true},
        {"lan for three dots", {"SERV:12.34.56.78"}, 0, 0, "", "", {}, {}, {"12.34.56.78"}, true},
        {"no lan for two dots", {"SERV:12.34.56"}, 0, 0, "", "", {"<default>"}, {}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        PrivatePipeDirectory dir;
        vm::VirtualClock clock;
        vm::cli::ScriptedConsole console;
        console.addKeys(c.keys);
        FakeLinkFactory links;
        ScriptedLink ftdi, hid, lan;
        ftdi.listResult = c.ftdiListing;
        hid.listResult = c.hidListing;
        links.serve(LinkKind::Ftdi, ftdi);
        links.serve(LinkKind::Hid, hid);
        links.serve(LinkKind::Lan, lan);
        FakeSystem system;
        system.serving = false;
        vm::cli::Environment env{console, clock, links, &system};
        std::vector<std::string> words = c.words;
        words.insert(words.begin(), "vmcli");
        vm::cli::RunVmcli(env, words);
        const std::string output = console.output();
        const std::string monitorBanner =
            "*** VM Control System command line interface : Communication Server ***\n\n ";
        const std::string body =
            output.starts_with(monitorBanner) ? output.substr(monitorBanner.size()) : output;
        EXPECT_EQ(body.substr(0, c.output.size()), c.output);
        EXPECT_EQ(body.substr(c.output.size()).starts_with(c.served ? serving : none), true) << body;
        EXPECT_EQ(ftdi.opened(), c.ftdiOpened);
        EXPECT_EQ(hid.opened(), c.hidOpened);
        EXPECT_EQ(lan.opened(), c.lanOpened);
        if (!c.served) {
            EXPECT_GE(clock.elapsedMs(), 1000);
        }
    }
}

TEST(PipeModes, NoDeviceReturnsToTheClientPart) {
    vm::test::ToolHarness h;
    vm::StringTextOut usage;
    vm::cli::PrintMessage(usage, 1000);
    EXPECT_EQ(h.run({"SERV:line1"}), " NO DEVICES FOUND\nReturning to client...\n" + usage.text());
    EXPECT_EQ(h.clock.elapsedMs(), 1000);
}

TEST(PipeModes, SecondServerOfTheSameNameEndsTheProcess) {
    PrivatePipeDirectory dir;
    auto first = vm::pipe::Endpoint::create(dir.path(), "1.2.3.4SR", 0);
    ASSERT_TRUE(first);
    vm::VirtualClock clock;
    vm::cli::ScriptedConsole console;
    FakeLinkFactory links;
    ScriptedLink lan;
    links.serve(LinkKind::Lan, lan);
    FakeSystem system;
    vm::cli::Environment env{console, clock, links, &system};
    EXPECT_EQ(vm::cli::RunVmcli(env, {"vmcli", "SERV:1.2.3.4", "STS", "1"}), 0);
    EXPECT_EQ(console.output(), "\n-> Using Pipename: 1.2.3.4\n \n-> USB port open, wait for data...\n");
    EXPECT_TRUE(lan.sent().empty());
}

TEST(PipeModes, SelectorStartsAServerOnlyWhenNoOtherInstanceRuns) {
    const struct {
        std::string selector;
        int running;
        std::vector<std::string> started;  // empty: nothing started
    } cases[] = {
        {"@SERV", 1, {"SERV", "0"}}, {"@SERV:line1", 1, {"SERV:line1"}},
        {"@CMON", 1, {"CMON", "0"}}, {"@CMON:", 1, {"CMON:"}},
        {"@SERV:line1", 2, {}},      {"@CMON", 3, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector + " with " + std::to_string(c.running) + " running");
        vm::VirtualClock clock;
        vm::cli::ScriptedConsole console;
        FakeLinkFactory links;
        ScriptedLink pipe;
        links.serve(LinkKind::Pipe, pipe);
        FakeSystem system;
        system.running = c.running;
        vm::cli::Environment env{console, clock, links, &system};
        vm::cli::RunVmcli(env, {"vmcli", c.selector, "/ver"});
        EXPECT_EQ(system.counted, std::vector<std::string>{"vmcli"});
        if (c.started.empty()) {
            EXPECT_TRUE(system.started.empty());
            EXPECT_EQ(clock.elapsedMs(), 0);
        } else {
            ASSERT_EQ(system.started.size(), 1u);
            EXPECT_EQ(system.started[0].first, "vmcli");
            EXPECT_EQ(system.started[0].second, c.started);
            EXPECT_EQ(clock.elapsedMs(), 2000);
        }
        EXPECT_EQ(pipe.opened().size(), 1u);
    }
}

}  // namespace

namespace {

TEST(PipeMonitor, UndeliverableReplyIsShownInItsRow) {
    PrivatePipeDirectory dir;
    ScreenConsole console;
    Client serverSide;
    ScriptedLink lan(serverSide.context);
    lan.expect("STS 1\r", "_STP\r");
    ServerThread server(console, lan, "CMON:" + kName, kName);
    ASSERT_TRUE(server.ready(dir));
    {
        vm::UniqueFd fd = RawConnect(dir, kName + "SR");  // no reply endpoint anywhere
        ASSERT_TRUE(vm::pipe::SendAll(fd.get(), "STS 1\r"));
    }
    // Nobody holds the reply endpoint name until the server has given up on that reply; then a
    // real client, and once it has its reply the first transaction is surely done.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lan.expect("STS 2\r", "_STP\r");
    Client client;
    ASSERT_TRUE(client.link.Open(kName));
    client.link.command().assign("STS 2\r");
    EXPECT_EQ(client.link.Exchange(), 0);
    server.stop();
    EXPECT_EQ(console.screen.row(3), "STS 1                      | Push Connection Failed");
    EXPECT_EQ(console.screen.row(4).substr(0, 33), "STS 2                      | _STP");
}

TEST(PipeSystem, ProcessNamesAndProgramsFromTheSystem) {
    char pattern[] = "/tmp/vmpipe-names-XXXXXX";
    const std::string work = ::mkdtemp(pattern);
    const std::string deleted = work + "/deleted";
    const std::string longer = work + "/longer";
    ASSERT_EQ(::symlink("/opt/x/vmcli (deleted)", deleted.c_str()), 0);
    ASSERT_EQ(::symlink(("/opt/x/" + std::string(40, 'v')).c_str(), longer.c_str()), 0);
    EXPECT_EQ(vm::cli::ExecutableBaseName(deleted), "vmcli");
    EXPECT_EQ(vm::cli::ExecutableBaseName(longer), std::string(31, 'v'));
    EXPECT_EQ(vm::cli::ExecutableBaseName(work + "/missing"), "<unknown>");
    std::filesystem::remove_all(work);

    vm::cli::RealSystem system;
    const std::string self = system.ownBaseName();
    EXPECT_EQ(self, "pipe_mode_tests");
    EXPECT_GE(system.countProcesses(self), 1);
    EXPECT_GE(system.countProcesses("PIPE_MODE_TESTS"), 1) << "compared in lower case";
    EXPECT_EQ(vm::cli::FindProgram(self), std::filesystem::read_symlink("/proc/self/exe").string())
        << "next to the running executable first";
    EXPECT_FALSE(vm::cli::FindProgram("sh").empty()) << "then on PATH";
    EXPECT_EQ(vm::cli::FindProgram("../sh"), "");
    EXPECT_EQ(vm::cli::FindProgram("no-such-program-here"), "");
    EXPECT_EQ(system.localTime().size(), 9u);
}

}  // namespace
