#include "link/tcp_com.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "link/unique_fd.h"

namespace vm {

namespace {

constexpr std::string_view kDiscoveryRequest = "ZAVDiscover";
constexpr std::string_view kDiscoveryReplyPrefix = "ZAV ";
// The interface-list query of the original platform has room for 20 entries.
constexpr std::size_t kMaxInterfaces = 20;
// Bytes of a reply looked at per exchange, and of a discovery datagram.
constexpr std::size_t kReplyPeek = 512;
constexpr std::size_t kDatagramSize = TCP_COM::kDatagramBytes + 1;

std::uint16_t PortFromEnvironment(const char* name, std::uint16_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr) return fallback;
    unsigned value = 0;
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, value);
    if (result.ec != std::errc{} || result.ptr != end || value < 1 || value > 65535) return fallback;
    return static_cast<std::uint16_t>(value);
}

FixedText<16> Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return FixedText<16>(text);
}

}  // namespace

LanPorts LanPorts::FromEnvironment() {
    LanPorts ports;
    ports.command = PortFromEnvironment("VM_LAN_PORT", kCommandPort);
    ports.discovery = PortFromEnvironment("VM_LAN_DISCOVERY_PORT", kDiscoveryPort);
    return ports;
}

bool EnumerateBroadcastInterfaces(TextOut& out, std::vector<ValidBroadcastInterface>& list) {
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!probe) {
        out.print("Error: Socket (%d)\n", errno);
        return true;
    }
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) {
        out.print("Error: Socket IOCTL (%d)\n", errno);
        return false;
    }
    std::size_t entries = 0;
    for (const ifaddrs* entry = all; entry != nullptr && entries < kMaxInterfaces; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        ++entries;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_BROADCAST) == 0) continue;
        if (entry->ifa_netmask == nullptr) continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        const in_addr mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr;
        in_addr broadcast{};
        broadcast.s_addr = address.s_addr | ~mask.s_addr;
        list.push_back({Dotted(address), Dotted(broadcast)});
    }
    ::freeifaddrs(all);
    return true;
}

TCP_COM::TCP_COM(const LinkContext& context, LanPorts ports) : COM_METHOD(context), ports_(ports) {}

bool TCP_COM::Open(std::string_view address) {
    frequency_ = clock().frequency();
    if (!address.empty() && address[0] == '#') address.remove_prefix(1);
    if (settings().lanOpenStoresAddress) devices()[0].assign(address);
    // The conversion takes the whole text, without further checks: a text that is no address
    // becomes 255.255.255.255 and fails at the first exchange.
    const std::string text(address);
    controller_ = {};
    controller_.sin_family = AF_INET;
    controller_.sin_port = htons(ports_.command);
    controller_.sin_addr.s_addr = ::inet_addr(text.c_str());
    addressed_ = true;
    return true;
}

bool TCP_COM::OpenDefault() { return Open(devices()[0].view()); }

bool TCP_COM::waitReady(int fd, short events, std::int64_t deadlineUs) {
    while (true) {
        const std::int64_t leftUs = deadlineUs - clock().nowUs();
        const int waitMs = leftUs > 0 ? clock().systemWaitMs(leftUs) : 0;
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, waitMs) > 0) return true;
        if (clock().nowUs() >= deadlineUs) return false;
        if (waitMs == 0) clock().sleepMs(1);
    }
}

int TCP_COM::connectFailed(int error) {
    if (settings().program == Program::Desktop) out().print("Could not connect to socket: %d\n", error);
    return settings().lanConnectFailCode;
}

int TCP_COM::Exchange() {
    // The command-line tool starts every exchange with an empty reply buffer; the desktop
    // program keeps the previous reply when the exchange fails.
    if (settings().clearReplyOnFailure) reply().clear();
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP));
    if (!socket) return 3;
    // A link that was never opened has no controller address to connect to.
    if (!addressed_) return connectFailed(EDESTADDRREQ);

    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&controller_), sizeof controller_) != 0) {
        if (errno != EINPROGRESS) return connectFailed(errno);
        if (!waitReady(socket.get(), POLLOUT, clock().nowUs() + kConnectWaitUs))
            return connectFailed(ETIMEDOUT);
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) return connectFailed(error);
    }

    lastCounter_ = clock().counter();
    const std::int64_t startUs = clock().nowUs();
    const std::string_view text = command().view();
    const ssize_t sent = ::send(socket.get(), text.data(), text.size(), MSG_NOSIGNAL);
    if (sent < 0 || static_cast<std::size_t>(sent) != text.size()) return 2;
    ::shutdown(socket.get(), SHUT_WR);

    // The reply is read as it arrives; the first carriage return ends it. Only the first
    // kReplyPeek bytes are looked at and only the first 199 characters fit the reply buffer.
    char received[kReplyPeek];
    std::size_t have = 0;
    bool complete = false;
    bool more = true;
    while (!complete && more) {
        const ssize_t n = ::recv(socket.get(), received + have, kReplyPeek - have, MSG_DONTWAIT);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            more = false;  // the controller closed the connection: nothing else will come
        }
        std::size_t stored = 0;
        char* out = reply().raw();
        for (std::size_t i = 0; i < have; ++i) {
            if (received[i] == '\r') {
                complete = true;
                ::shutdown(socket.get(), SHUT_RD);
                break;
            }
            if (i < Buffer::kMaxLength) out[stored++] = received[i];
        }
        reply().terminate(stored);
        lastCounter_ = clock().counter();
        if (complete || !more) break;
        if (have == kReplyPeek) break;  // a line this long without a carriage return is cut here
        if (!waitReady(socket.get(), POLLIN, startUs + kReplyWaitUs)) break;
    }
    socket.reset();
    if (settings().lanRequireAck && reply().view().substr(0, 1) != "_") return 2;
    return 0;
}

int TCP_COM::ListDevices() {
    interfaces_.clear();
    discovered_.clear();
    if (settings().lanOpenStoresAddress) {
        for (auto& entry : devices()) entry.clear();
    }
    tableEntries_ = 0;
    out().print("\n");
    if (!EnumerateBroadcastInterfaces(out(), interfaces_)) return 0;
    if (interfaces_.empty()) {
        out().print("No valid network interfaces available!\n");
        return 0;
    }
    int accepted = 0;
    for (const auto& interface : interfaces_) accepted += discoverOn(interface);
    return accepted;
}

bool TCP_COM::IsOwnAddress(std::string_view address) const {
    for (const auto& interface : interfaces_)
        if (interface.address.view() == address) return true;
    return false;
}

TCP_COM::Datagram TCP_COM::takeDatagram(std::string_view bytes, in_addr sender) {
    bytes = bytes.substr(0, kDatagramBytes);
    const std::string address(Dotted(sender).view());
    // The system hands the broadcast back to its own sender.
    if (bytes == kDiscoveryRequest && IsOwnAddress(address)) return Datagram::OwnRequest;
    if (!bytes.starts_with(kDiscoveryReplyPrefix)) return Datagram::Other;
    const std::string text(bytes.substr(0, bytes.find('\0')));
    if (discovered_.emplace(address, text).second)
        out().print("Reply from %s:\t%s\n", address.c_str(), text.c_str());
    if (settings().lanOpenStoresAddress && tableEntries_ < kDeviceCount) devices()[tableEntries_++].assign(address);
    return Datagram::Reply;
}

int TCP_COM::discoverOn(const ValidBroadcastInterface& interface) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!socket) {
        out().print("Error %ld: failed to enumerate devices on interface %s\n", static_cast<long>(errno),
                    interface.address.c_str());
        return 0;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(ports_.discovery);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        out().print("Error %ld: failed to enumerate devices on interface %s\n", static_cast<long>(errno),
                    interface.address.c_str());
        return 0;
    }
    out().print("Probing %s for available devices ...\n\n", interface.broadcast.c_str());
    const int on = 1;
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        out().print("Error %ld: failed while configuring broadcast agent\n", static_cast<long>(errno));
        return 0;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(ports_.discovery);
    inet_pton(AF_INET, interface.broadcast.c_str(), &target.sin_addr);
    ::sendto(socket.get(), kDiscoveryRequest.data(), kDiscoveryRequest.size(), 0,
             reinterpret_cast<const sockaddr*>(&target), sizeof target);
    // The receive timeout backs up the clock-driven wait of each round.
    const timeval timeout{0, static_cast<suseconds_t>(kRoundWaitUs)};
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        out().print("Error %ld: failed while configuring broadcast agent\n", static_cast<long>(errno));
        return 0;
    }

    int accepted = 0;
    int rounds = 0;
    bool received = true;
    while (rounds < 4 || received) {
        received = false;
        const std::int64_t deadlineUs = clock().nowUs() + kRoundWaitUs;
        while (!received && waitReady(socket.get(), POLLIN, deadlineUs)) {
            char datagram[kDatagramSize];
            sockaddr_in sender{};
            socklen_t senderLength = sizeof sender;
            const ssize_t n = ::recvfrom(socket.get(), datagram, sizeof datagram - 1, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (n <= 0) break;
            const Datagram kind = takeDatagram(std::string_view(datagram, static_cast<std::size_t>(n)),
                                               sender.sin_addr);
            // The own request's copy is no datagram from the network: the round goes on waiting.
            if (kind == Datagram::OwnRequest) continue;
            received = true;
            if (kind == Datagram::Reply) ++accepted;
        }
        ++rounds;
    }
    if (discovered_.empty()) out().print("   No available devices at this time, please try again.\n");
    out().print("\nProbe statistics for %s:\n", interface.broadcast.c_str());
    out().print("   Unique devices = %d, Rounds = %d\n", static_cast<int>(discovered_.size()), rounds);
    return accepted;
}

}  // namespace vm
