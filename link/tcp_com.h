#pragma once
// The LAN link: every command travels on a TCP connection of its own to the controller's
// command port; controllers are found by a UDP broadcast on the discovery port, answered by
// datagrams that begin "ZAV ".
#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/com_method.h"

namespace vm {

// The controller's ports. Tests and demos that cannot use the fixed ports set the environment
// variables VM_LAN_PORT (command port) and VM_LAN_DISCOVERY_PORT (discovery port); they are
// read once, when the link is made. Values that are not a port number 1 to 65535 are ignored.
struct LanPorts {
    static constexpr std::uint16_t kCommandPort = 2048;
    static constexpr std::uint16_t kDiscoveryPort = 7000;
    std::uint16_t command = kCommandPort;
    std::uint16_t discovery = kDiscoveryPort;

    static LanPorts FromEnvironment();
};

// One usable interface of a discovery: its own address and its broadcast address, dotted.
struct ValidBroadcastInterface {
    FixedText<16> address;
    FixedText<16> broadcast;
};

// Interfaces that are up and broadcast-capable, in the order the system lists them; the
// broadcast address is the interface address OR NOT the netmask. Prints the error lines of a
// failed enumeration and returns false then.
bool EnumerateBroadcastInterfaces(TextOut& out, std::vector<ValidBroadcastInterface>& list);

class TCP_COM final : public COM_METHOD {
  public:
    // A reply that takes longer than this after the command was sent is cut off.
    static constexpr std::int64_t kReplyWaitUs = 1'000'000;
    // A connect that is not done after this counts as a failed connect. The system's own
    // connect timeout runs to minutes for an address that does not answer.
    static constexpr std::int64_t kConnectWaitUs = 2'000'000;
    // Each receive round of a discovery waits this long for a datagram.
    static constexpr std::int64_t kRoundWaitUs = 500'000;

    explicit TCP_COM(const LinkContext& context, LanPorts ports = LanPorts::FromEnvironment());

    bool OpenDefault() override;
    bool Open(std::string_view address) override;
    void Close() override {}
    int Exchange() override;
    int ListDevices() override;

    // Controllers found by the last discovery: address -> text of its first reply datagram.
    const std::map<std::string, std::string>& discovered() const { return discovered_; }
    const std::vector<ValidBroadcastInterface>& interfaces() const { return interfaces_; }
    const LanPorts& ports() const { return ports_; }

    // What one datagram received during a discovery does. The copy of the own request that the
    // system hands back is ignored; a datagram beginning "ZAV " is a controller's reply, recorded
    // and printed the first time its sender answers (the text counts up to its first zero byte
    // and at most kDatagramBytes bytes); anything else only ends the round's wait.
    static constexpr std::size_t kDatagramBytes = 2047;
    enum class Datagram { OwnRequest, Reply, Other };
    Datagram takeDatagram(std::string_view bytes, in_addr sender);

  private:
    // Waits until the socket is ready for the events or the clock passes the deadline. On a real
    // clock the system wakes the wait as soon as data arrives; on a virtual clock the socket is
    // looked at between 1 ms sleeps of the clock, which pass at once, so exchanges with a real
    // socket want a real clock.
    bool waitReady(int fd, short events, std::int64_t deadlineUs);
    int connectFailed(int error);
    int discoverOn(const ValidBroadcastInterface& interface);
    bool IsOwnAddress(std::string_view address) const;

    LanPorts ports_;
    sockaddr_in controller_{};
    bool addressed_ = false;
    std::int64_t frequency_ = 0;
    std::int64_t lastCounter_ = 0;
    std::vector<ValidBroadcastInterface> interfaces_;
    std::map<std::string, std::string> discovered_;
    std::size_t tableEntries_ = 0;
};

}  // namespace vm
