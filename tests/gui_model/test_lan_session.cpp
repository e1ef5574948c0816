// The desktop device model over the LAN link with the desktop program's link settings, against
// the virtual controller's TCP server on 127.0.0.1 (a free port, real time for the sockets).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gui/model/current_link.h"
#include "gui/model/oem.h"
#include "gui/model/pci.h"
#include "gui/model/vmdm.h"
#include "link/tcp_com.h"
#include "sim/controller.h"
#include "sim/tcp_server.h"

namespace vm::gui {
namespace {

constexpr bool kOk = false;

struct LanModel {
    SteadyClock steady;
    VirtualClock rackTime;  // moves progress only when the test says so
    StringTextOut out;
    LinkContext context{LinkSettings::desktop(), steady, out};
    sim::Controller controller{rackTime, sim::RackConfig::Default()};
    sim::TcpServer server{controller, steady};
    CurrentLink current{steady};
    OEM oem{current};
    VMDM vmdm{current};
    PCI pci{current};

    LanModel() {
        std::string error;
        EXPECT_TRUE(server.start({"127.0.0.1", 0}, &error)) << error;
        auto link = std::make_unique<TCP_COM>(context, LanPorts{server.port(), LanPorts::kDiscoveryPort});
        EXPECT_TRUE(link->Open("127.0.0.1"));
        current.replace(std::move(link));
    }
    ~LanModel() { server.stop(); }
};

TEST(LanSession, ScanStoreMoveAndReadTheCounter) {
    LanModel s;
    // The desktop program's LAN link keeps the address it was opened with.
    EXPECT_EQ(s.current.access([](COM_METHOD* link) { return link->devices()[0].str(); }), "127.0.0.1");

    // Scan: the default rack has drive modules in slots 1 and 3, each followed by its encoder.
    EXPECT_EQ(s.pci.ReadModuleMap(), kOk);
    EXPECT_TRUE(s.pci.HasDriveModule(1));
    EXPECT_TRUE(s.pci.HasDriveModule(3));
    EXPECT_FALSE(s.pci.HasDriveModule(2));
    EXPECT_TRUE(s.pci.HasEncoderModule(1));
    ASSERT_EQ(s.vmdm.Status(1), kOk);  // "_STP" arrives without its carriage return over LAN
    EXPECT_EQ(s.vmdm.status(), "_STP");
    ASSERT_EQ(s.vmdm.ReadDescriptor(1), kOk);
    EXPECT_EQ(s.vmdm.descriptor(), 3);
    ASSERT_EQ(s.pci.LoadChannel(1, 1), kOk);
    EXPECT_EQ(s.pci.channelRecord().type, "PROFILE1");
    ASSERT_EQ(s.oem.GetCounter(1, 1), kOk);
    EXPECT_EQ(s.oem.count(), 0);

    // Store channel 1A and read it back.
    ChannelRecord r = s.pci.channelRecord();
    r.frequency = 100;
    r.tag.assign("lanTest");
    s.pci.setChannelRecord(r);
    ASSERT_EQ(s.pci.StoreChannel(1), kOk);
    ASSERT_EQ(s.pci.CommitChannels(), kOk);
    s.pci.setChannelRecord(ChannelRecord{});
    ASSERT_EQ(s.pci.LoadChannel(1, 1), kOk);
    EXPECT_EQ(s.pci.channelRecord().tag, "lanTest");
    EXPECT_EQ(s.pci.channelRecord().frequency, 100);

    // Move 50 steps at the stored frequency with the counter counting up.
    const ChannelRecord stored = s.pci.channelRecord();
    ASSERT_EQ(s.oem.CountUp(1, 1), kOk);
    ASSERT_EQ(s.vmdm.Move(1, 1, stored.type.view(), stored.temperature, 1, stored.frequency,
                          static_cast<std::uint8_t>(stored.stepSize), 50),
              kOk);
    s.rackTime.advanceMs(200);
    ASSERT_EQ(s.vmdm.Status(1), kOk);
    EXPECT_EQ(s.vmdm.status(), "_MOV");
    s.rackTime.advanceMs(1000);
    ASSERT_EQ(s.vmdm.Status(1), kOk);
    EXPECT_EQ(s.vmdm.status(), "_STP");
    ASSERT_EQ(s.oem.GetCounter(1, 1), kOk);
    EXPECT_EQ(s.oem.count(), 50);
    EXPECT_EQ(s.out.text(), "");

    // The controller goes away: the desktop LAN link keeps the last reply in its buffer, which
    // must not pass for an answer.
    s.server.stop();
    EXPECT_NE(s.vmdm.Status(1), kOk);
    EXPECT_EQ(s.vmdm.status(), "_STP");
    EXPECT_NE(s.oem.GetCounter(1, 1), kOk);
    EXPECT_EQ(s.oem.count(), 50);
    EXPECT_NE(s.out.text().find("Could not connect to socket: "), std::string::npos);
}

}  // namespace
}  // namespace vm::gui
