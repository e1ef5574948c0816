// The LAN link against the virtual controller's TCP server on 127.0.0.1 (free ports, real time).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "link/tcp_com.h"
#include "link/unique_fd.h"
#include "sim/controller.h"
#include "sim/tcp_server.h"

namespace vm {
namespace {

using sim::Fault;
using sim::FaultRule;

FaultRule Rule(Fault fault, std::uint32_t delayMs = 0, std::size_t splitAt = 1) {
    FaultRule rule;
    rule.fault = fault;
    rule.delayMs = delayMs;
    rule.splitAt = splitAt;
    return rule;
}

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
std::uint16_t ClosedPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Answers one connection with fixed bytes, for replies the controller never gives.
class CannedServer {
  public:
    explicit CannedServer(std::string bytes) : bytes_(std::move(bytes)) {
        listener_.reset(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_.get(), 1);
        socklen_t length = sizeof address;
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) return;
            UniqueFd connection(::accept(listener_.get(), nullptr, nullptr));
            char buffer[256];
            while (::recv(connection.get(), buffer, sizeof buffer, 0) > 0) {
            }
            ::send(connection.get(), bytes_.data(), bytes_.size(), MSG_NOSIGNAL);
        });
    }
    ~CannedServer() { thread_.join(); }
    std::uint16_t port() const { return port_; }

  private:
    std::string bytes_;
    UniqueFd listener_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// A controller served on a free port of 127.0.0.1, with links for either program.
struct LanRig {
    SteadyClock clock;
    StringTextOut out;
    sim::Controller controller{clock, sim::RackConfig::Default()};
    sim::TcpServer server{controller, clock};
    LinkContext cli{LinkSettings::commandLine(), clock, out};
    LinkContext desktop{LinkSettings::desktop(), clock, out};

    LanRig() {
        std::string error;
        EXPECT_TRUE(server.start({"127.0.0.1", 0}, &error)) << error;
    }
    LanPorts ports() const { return {server.port(), LanPorts::kDiscoveryPort}; }
};

struct ExchangeCase {
    const char* what;
    FaultRule fault;
    std::string command;
    int cliResult;
    std::string cliReply;
    int desktopResult;
    std::string desktopReply;
};

TEST(TcpCom, ExchangeResultsAndReplyBuffersOfBothPrograms) {
    const ExchangeCase cases[] = {
        {"acknowledged", Rule(Fault::None), "STS 1\r", 0, "_STP", 0, "_STP"},
        {"reply without _", Rule(Fault::None), "STS 2\r", 2, "MNF", 0, "MNF"},
        {"unparsable line", Rule(Fault::None), "XYZ\r", 2, "CNR", 0, "CNR"},
        {"no carriage return, then closed", Rule(Fault::NoCarriageReturn), "STS 1\r", 0, "_STP", 0, "_STP"},
        {"reply in two pieces", Rule(Fault::Split, 300, 2), "STS 1\r", 0, "_STP", 0, "_STP"},
        {"closed without reply", Rule(Fault::CloseWithoutReply), "STS 1\r", 2, "", 0, ""},
        {"late but within the second", Rule(Fault::Delay, 400), "GFS 1\r", 0, "_GFS 0", 0, "_GFS 0"},
    };
    LanRig rig;
    for (const auto& c : cases) {
        for (const bool desktop : {false, true}) {
            rig.controller.clearFaults();
            if (c.fault.fault != Fault::None) rig.controller.addFault(c.fault);
            TCP_COM link(desktop ? rig.desktop : rig.cli, rig.ports());
            ASSERT_TRUE(link.Open("127.0.0.1"));
            link.reply().assign("old reply");
            link.command().assign(c.command);
            EXPECT_EQ(link.Exchange(), desktop ? c.desktopResult : c.cliResult)
                << c.what << " desktop=" << desktop;
            EXPECT_EQ(link.reply().str(), desktop ? c.desktopReply : c.cliReply)
                << c.what << " desktop=" << desktop;
            EXPECT_EQ(link.command().str(), c.command) << "the command stays for a resend";
        }
    }
    EXPECT_EQ(rig.out.text(), "");
}

TEST(TcpCom, ReplyMissingForMoreThanOneSecondIsCutOff) {
    LanRig rig;
    rig.controller.addFault(Rule(Fault::Split, 1500, 3));  // "_ST", then "P\r" 1.5 s later
    for (const bool desktop : {false, true}) {
        TCP_COM link(desktop ? rig.desktop : rig.cli, rig.ports());
        link.Open("127.0.0.1");
        link.command().assign("STS 1\r");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(link.Exchange(), 0);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(link.reply().str(), "_ST");
        EXPECT_GE(took, std::chrono::milliseconds(950));
        EXPECT_LT(took, std::chrono::milliseconds(1400));
    }
}

// The real clock, counting the sleeps asked of it.
class SleepCountingClock final : public Clock {
  public:
    void sleepMs(std::uint32_t ms) override {
        ++sleeps;
        real_.sleepMs(ms);
    }
    std::int64_t counter() const override { return real_.counter(); }
    std::int64_t frequency() const override { return real_.frequency(); }
    int systemWaitMs(std::int64_t us) const override { return real_.systemWaitMs(us); }
    int sleeps = 0;

  private:
    SteadyClock real_;
};

TEST(TcpCom, OnARealClockTheReplyIsAwaitedInTheSystemWithoutSleeps) {
    struct Case {
        const char* what;
        FaultRule fault;
        int result;
        std::string reply;
        int minMs, maxMs;
    };
    const Case cases[] = {
        {"at once", Rule(Fault::None), 0, "_STP", 0, 500},
        {"late", Rule(Fault::Delay, 300), 0, "_STP", 280, 900},
        {"in two pieces", Rule(Fault::Split, 300, 2), 0, "_STP", 280, 900},
        {"never", Rule(Fault::NoReply, 1200), 2, "", 950, 1400},
    };
    LanRig rig;
    for (const auto& c : cases) {
        rig.controller.clearFaults();
        if (c.fault.fault != Fault::None) rig.controller.addFault(c.fault);
        SleepCountingClock clock;
        TCP_COM link(LinkContext{LinkSettings::commandLine(), clock, rig.out}, rig.ports());
        link.Open("127.0.0.1");
        link.command().assign("STS 1\r");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(link.Exchange(), c.result) << c.what;
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
        EXPECT_EQ(link.reply().str(), c.reply) << c.what;
        EXPECT_EQ(clock.sleeps, 0) << c.what;
        EXPECT_GE(tookMs, c.minMs) << c.what;
        EXPECT_LT(tookMs, c.maxMs) << c.what;
    }
}

TEST(TcpCom, OnAVirtualClockASilentControllerCostsVirtualTimeOnly) {
    LanRig rig;
    rig.controller.addFault(Rule(Fault::NoReply, 1200));
    VirtualClock clock;
    TCP_COM link(LinkContext{LinkSettings::commandLine(), clock, rig.out}, rig.ports());
    link.Open("127.0.0.1");
    link.command().assign("STS 1\r");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.Exchange(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(link.reply().str(), "");
    EXPECT_GE(clock.elapsedMs(), 1000);
    EXPECT_LT(clock.elapsedMs(), 1100);
}

TEST(TcpCom, ConnectFailureCodesAndMessages) {
    SteadyClock clock;
    StringTextOut out;
    const LanPorts closed{ClosedPort(), LanPorts::kDiscoveryPort};
    {
        TCP_COM link(LinkContext{LinkSettings::commandLine(), clock, out}, closed);
        link.Open("127.0.0.1");
        link.reply().assign("old");
        link.command().assign("STS 1\r");
        EXPECT_EQ(link.Exchange(), 2);
        EXPECT_EQ(link.reply().str(), "");
        EXPECT_EQ(out.take(), "");
    }
    {
        TCP_COM link(LinkContext{LinkSettings::desktop(), clock, out}, closed);
        link.Open("127.0.0.1");
        link.reply().assign("old");
        link.command().assign("STS 1\r");
        EXPECT_EQ(link.Exchange(), 1);
        EXPECT_EQ(link.reply().str(), "old");
        EXPECT_EQ(out.take(), "Could not connect to socket: 111\n");
    }
    {
        // Never opened: there is no address to connect to.
        TCP_COM link(LinkContext{LinkSettings::commandLine(), clock, out}, closed);
        link.command().assign("STS 1\r");
        EXPECT_EQ(link.Exchange(), 2);
    }
}

TEST(TcpCom, RepliesLongerThanTheBuffersAreCut) {
    SteadyClock clock;
    StringTextOut out;
    const LinkContext context{LinkSettings::commandLine(), clock, out};
    struct Case {
        std::string bytes;
        std::string reply;
    };
    const Case cases[] = {
        {"_" + std::string(300, 'A') + "\rtail", "_" + std::string(198, 'A')},
        {"_" + std::string(700, 'B'), "_" + std::string(198, 'B')},
        {"_OK\r_SECOND\r", "_OK"},
    };
    for (const auto& c : cases) {
        CannedServer server(c.bytes);
        TCP_COM link(context, {server.port(), LanPorts::kDiscoveryPort});
        link.Open("127.0.0.1");
        link.command().assign("STS 1\r");
        EXPECT_EQ(link.Exchange(), 0);
        EXPECT_EQ(link.reply().str(), c.reply);
    }
}

TEST(TcpCom, OpenDropsALeadingHashAndTheDesktopKeepsTheAddress) {
    LanRig rig;
    TCP_COM cli(rig.cli, rig.ports());
    EXPECT_TRUE(cli.Open("#127.0.0.1"));
    EXPECT_EQ(cli.devices()[0].str(), "");
    cli.command().assign("STS 1\r");
    EXPECT_EQ(cli.Exchange(), 0);

    TCP_COM desktop(rig.desktop, rig.ports());
    EXPECT_TRUE(desktop.Open("#127.0.0.1"));
    EXPECT_EQ(desktop.devices()[0].str(), "127.0.0.1");
    // A longer text is cut to 15 characters in the table; the conversion reads the whole text.
    EXPECT_TRUE(desktop.Open("127.0.0.1       trailing"));
    EXPECT_EQ(desktop.devices()[0].str(), "127.0.0.1      ");
    EXPECT_TRUE(desktop.OpenDefault());
    desktop.command().assign("GFS 1\r");
    EXPECT_EQ(desktop.Exchange(), 0);
    EXPECT_EQ(desktop.reply().str(), "_GFS 0");

    // A resend without reformatting sends the same line again.
    cli.Exchange();
    EXPECT_EQ(rig.controller.lines(), (std::vector<std::string>{"STS 1\r", "GFS 1\r", "STS 1\r"}));
}

// Sends raw bytes to the server, shuts down sending and reads everything until it closes.
std::string RawExchange(std::uint16_t port, const std::string& bytes) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return "connect failed";
    ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd.get(), SHUT_WR);
    std::string reply;
    char buffer[256];
    pollfd p{fd.get(), POLLIN, 0};
    while (::poll(&p, 1, 3000) > 0) {
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    return reply;
}

TEST(TcpServer, AnswersOneLinePerConnection) {
    struct Case {
        std::string sent;
        std::string reply;
        std::string received;  // the line the controller saw; empty when none
    };
    const Case cases[] = {
        {"STS 1\r", "_STP\r", "STS 1\r"},        {"STS 1", "_STP\r", "STS 1"},  // no carriage return: the
                                                                                // client's shutdown ends the
                                                                                // line
        {"STS 1\rGFS 1\r", "_STP\r", "STS 1\r"}, {std::string(600, 'A'), "CNR\r", ""}, {"", "", ""},
    };
    LanRig rig;
    for (const auto& c : cases) {
        rig.controller.clearTranscript();
        EXPECT_EQ(RawExchange(rig.server.port(), c.sent), c.reply) << c.sent.substr(0, 20);
        const auto lines = rig.controller.lines();
        EXPECT_EQ(lines,
                  c.received.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.received});
    }
}

TEST(TcpCom, PortOverrideComesFromTheEnvironment) {
    struct Case {
        const char* command;
        const char* discovery;
        std::uint16_t commandPort;
        std::uint16_t discoveryPort;
    };
    const Case cases[] = {
        {nullptr, nullptr, 2048, 7000}, {"40000", "40001", 40000, 40001}, {"0", "65536", 2048, 7000},
        {"12ab", "", 2048, 7000},       {"-5", " 7", 2048, 7000},
    };
    for (const auto& c : cases) {
        c.command ? ::setenv("VM_LAN_PORT", c.command, 1) : ::unsetenv("VM_LAN_PORT");
        c.discovery ? ::setenv("VM_LAN_DISCOVERY_PORT", c.discovery, 1) : ::unsetenv("VM_LAN_DISCOVERY_PORT");
        const LanPorts ports = LanPorts::FromEnvironment();
        EXPECT_EQ(ports.command, c.commandPort) << (c.command ? c.command : "unset");
        EXPECT_EQ(ports.discovery, c.discoveryPort) << (c.discovery ? c.discovery : "unset");
    }
    ::unsetenv("VM_LAN_PORT");
    ::unsetenv("VM_LAN_DISCOVERY_PORT");
}

}  // namespace
}  // namespace vm
