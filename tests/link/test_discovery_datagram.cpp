// What single discovery datagrams do to the LAN link, without sockets: which count as replies,
// what is recorded and printed, and the bounds on the text and the device table.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "link/clock.h"
#include "link/tcp_com.h"

namespace vm {
namespace {

in_addr Host(int n) {
    in_addr address{};
    address.s_addr = htonl(0x0A000000u + static_cast<std::uint32_t>(n));  // 10.0.0.n
    return address;
}

TEST(DiscoveryDatagram, OnlyZavRepliesCountAndEachSenderIsRecordedOnce) {
    VirtualClock clock;
    StringTextOut out;
    TCP_COM link({LinkSettings::commandLine(), clock, out}, LanPorts{});
    using D = TCP_COM::Datagram;
    const struct {
        int host;
        std::string bytes;
        D kind;
    } cases[] = {
        {1, "ZAV VMC SN1", D::Reply},
        {1, "ZAV other text", D::Reply},  // counted again, the first text stays
        {2, std::string("ZAV a\0b", 7), D::Reply},
        {3, "ZAVDiscover", D::Other},  // another host's request
        {3, "ZAV", D::Other},
        {3, "zav x", D::Other},
        {3, "", D::Other},
        {4, "ZAV " + std::string(3000, 'x'), D::Reply},
    };
    for (const auto& c : cases) EXPECT_EQ(link.takeDatagram(c.bytes, Host(c.host)), c.kind) << c.bytes;
    EXPECT_EQ(link.discovered().size(), 3u);
    EXPECT_EQ(link.discovered().at("10.0.0.1"), "ZAV VMC SN1");
    EXPECT_EQ(link.discovered().at("10.0.0.2"), "ZAV a");
    EXPECT_EQ(link.discovered().at("10.0.0.4").size(), TCP_COM::kDatagramBytes);
    EXPECT_TRUE(out.text().starts_with("Reply from 10.0.0.1:\tZAV VMC SN1\nReply from 10.0.0.2:\tZAV a\n"));
    EXPECT_TRUE(link.devices()[0].empty());  // the tool's discovery leaves the table alone
}

TEST(DiscoveryDatagram, DesktopTableTakesTheFirstTenReplies) {
    VirtualClock clock;
    StringTextOut out;
    TCP_COM link({LinkSettings::desktop(), clock, out}, LanPorts{});
    for (int n = 1; n <= 14; ++n) EXPECT_EQ(link.takeDatagram("ZAV unit", Host(n)), TCP_COM::Datagram::Reply);
    EXPECT_EQ(link.devices()[0].view(), "10.0.0.1");
    EXPECT_EQ(link.devices()[TCP_COM::kDeviceCount - 1].view(), "10.0.0.10");
    EXPECT_EQ(link.discovered().size(), 14u);
}

}  // namespace
}  // namespace vm
