// Discovery end to end inside network namespaces created by the test: the link broadcasts from
// a "host" namespace, virtual controllers answer from namespaces of their own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>

#include "link/tcp_com.h"
#include "link/unique_fd.h"
#include "sim/tcp_server.h"
#include "tests/link/netns.h"

namespace vm {
namespace {

using test::Lan;

#define REQUIRE_LAN(lan)                                                                                   \
    if (!(lan).ok())                                                                                       \
    GTEST_SKIP() << "network namespaces unavailable (needs root and `ip netns`); discovery is not tested " \
                    "so that nothing is broadcast on this machine's own interfaces"

struct Discovery {
    std::string output;
    int result = -1;
    std::vector<std::string> table;
    std::map<std::string, std::string> devices;
};

Discovery Discover(const std::string& ns, const LinkSettings& settings) {
    Discovery d;
    EXPECT_TRUE(test::InNamespace(ns, [&] {
        SteadyClock clock;
        StringTextOut out;
        TCP_COM link(LinkContext{settings, clock, out}, LanPorts{});
        d.result = link.ListDevices();
        d.output = out.text();
        for (const auto& entry : link.devices())
            if (!entry.empty()) d.table.push_back(entry.str());
        d.devices = link.discovered();
    }));
    return d;
}

// Starts a discovery responder inside a controller namespace.
std::unique_ptr<sim::DiscoveryResponder> Responder(const std::string& ns, const std::string& text,
                                                   int repeat) {
    auto responder = std::make_unique<sim::DiscoveryResponder>();
    std::string error;
    bool started = false;
    test::InNamespace(ns, [&] { started = responder->start({"0.0.0.0", 7000}, text, repeat, &error); });
    EXPECT_TRUE(started) << error;
    return responder;
}

const std::string kProbe = std::string("\nProbing ") + Lan::kBroadcast + " for available devices ...\n\n";
const std::string kStatistics = std::string("\nProbe statistics for ") + Lan::kBroadcast + ":\n";

TEST(LanDiscovery, NoAnswersTakeFourRounds) {
    Lan lan(1);
    REQUIRE_LAN(lan);
    const Discovery d = Discover(lan.host(), LinkSettings::commandLine());
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.output, kProbe + "   No available devices at this time, please try again.\n" + kStatistics +
                            "   Unique devices = 0, Rounds = 4\n");
}

TEST(LanDiscovery, NoUsableInterface) {
    Lan lan(0);
    REQUIRE_LAN(lan);
    ASSERT_TRUE(test::RunIp({"-n", lan.host(), "link", "set", "br0", "down"}));
    const Discovery d = Discover(lan.host(), LinkSettings::commandLine());
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.output, "\nNo valid network interfaces available!\n");
}

TEST(LanDiscovery, EnumeratesInterfacesThatAreUpAndBroadcastCapable) {
    Lan lan(0);
    REQUIRE_LAN(lan);
    const std::string& ns = lan.host();
    ASSERT_TRUE(test::RunIp({"-n", ns, "link", "set", "lo", "up"}));
    ASSERT_TRUE(test::RunIp({"-n", ns, "link", "add", "up0", "type", "veth", "peer", "name", "up0p"}));
    ASSERT_TRUE(test::RunIp({"-n", ns, "addr", "add", "172.20.5.9/12", "dev", "up0"}));
    ASSERT_TRUE(test::RunIp({"-n", ns, "link", "set", "up0", "up"}));
    ASSERT_TRUE(test::RunIp({"-n", ns, "link", "add", "down0", "type", "veth", "peer", "name", "down0p"}));
    ASSERT_TRUE(test::RunIp({"-n", ns, "addr", "add", "192.168.7.7/24", "dev", "down0"}));
    std::vector<ValidBroadcastInterface> list;
    StringTextOut out;
    ASSERT_TRUE(test::InNamespace(ns, [&] { EXPECT_TRUE(EnumerateBroadcastInterfaces(out, list)); }));
    EXPECT_EQ(out.text(), "");
    // The loopback interface is up but cannot broadcast; down0 is down.
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& i : list) found.emplace_back(i.address.str(), i.broadcast.str());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::pair<std::string, std::string>>{{Lan::kHostAddress, Lan::kBroadcast},
                                                                       {"172.20.5.9", "172.31.255.255"}}));
}

TEST(LanDiscovery, BusyDiscoveryPortIsReportedPerInterface) {
    Lan lan(1);
    REQUIRE_LAN(lan);
    // Another discovery holds port 7000 in the same namespace.
    UniqueFd holder;
    ASSERT_TRUE(test::InNamespace(lan.host(), [&] {
        holder.reset(::socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(7000);
        EXPECT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }));
    const Discovery d = Discover(lan.host(), LinkSettings::commandLine());
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.output, "\nError 98: failed to enumerate devices on interface " +
                            std::string(Lan::kHostAddress) + "\n");
}

TEST(LanDiscovery, OneController) {
    Lan lan(1);
    REQUIRE_LAN(lan);
    auto responder = Responder(lan.controller(0), "ZAV VMCS-SIM", 1);
    const Discovery d = Discover(lan.host(), LinkSettings::commandLine());
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.output, kProbe + "Reply from " + Lan::controllerAddress(0) + ":\tZAV VMCS-SIM\n" +
                            kStatistics + "   Unique devices = 1, Rounds = 4\n");
    EXPECT_EQ(responder->requests(), 1);
}

TEST(LanDiscovery, TwoControllersOneAnsweringTwice) {
    Lan lan(2);
    REQUIRE_LAN(lan);
    auto first = Responder(lan.controller(0), "ZAV first", 2);
    auto second = Responder(lan.controller(1), "ZAV second", 1);
    const std::string a = Lan::controllerAddress(0);
    const std::string b = Lan::controllerAddress(1);

    const Discovery cli = Discover(lan.host(), LinkSettings::commandLine());
    EXPECT_EQ(cli.result, 3);
    // Arrival order decides the order of the reply lines; both are printed once.
    const std::string lineA = "Reply from " + a + ":\tZAV first\n";
    const std::string lineB = "Reply from " + b + ":\tZAV second\n";
    const std::string tail = kStatistics + "   Unique devices = 2, Rounds = 4\n";
    EXPECT_TRUE(cli.output == kProbe + lineA + lineB + tail || cli.output == kProbe + lineB + lineA + tail)
        << cli.output;
    EXPECT_EQ(cli.devices, (std::map<std::string, std::string>{{a, "ZAV first"}, {b, "ZAV second"}}));
    EXPECT_TRUE(cli.table.empty()) << "the command-line tool does not fill the device table";

    const Discovery desktop = Discover(lan.host(), LinkSettings::desktop());
    EXPECT_EQ(desktop.result, 3);
    ASSERT_EQ(desktop.table.size(), 3u);
    EXPECT_EQ(std::count(desktop.table.begin(), desktop.table.end(), a), 2);
    EXPECT_EQ(std::count(desktop.table.begin(), desktop.table.end(), b), 1);
}

TEST(LanDiscovery, OtherDatagramsCountAsRoundsButAreNotAccepted) {
    Lan lan(1);
    REQUIRE_LAN(lan);
    auto responder = Responder(lan.controller(0), "ZAX not a controller", 2);
    const Discovery d = Discover(lan.host(), LinkSettings::commandLine());
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.output, kProbe + "   No available devices at this time, please try again.\n" + kStatistics +
                            "   Unique devices = 0, Rounds = 4\n");
}

}  // namespace
}  // namespace vm
