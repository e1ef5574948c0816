#include "sim/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/model.h"

namespace vm::sim {

namespace {

constexpr std::string_view kDiscoveryRequest = "ZAVDiscover";

bool MakeWakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

bool Resolve(const Endpoint& endpoint, sockaddr_in& address, std::string* error) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    if (::inet_pton(AF_INET, endpoint.address.c_str(), &address.sin_addr) != 1) {
        if (error) *error = "not an IPv4 address: " + endpoint.address;
        return false;
    }
    return true;
}

std::uint16_t BoundPort(int fd) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

void SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

TcpServer::TcpServer(Controller& controller, Clock& clock) : controller_(controller), clock_(clock) {}

TcpServer::~TcpServer() { stop(); }

bool TcpServer::start(const Endpoint& endpoint, std::string* error) {
    sockaddr_in address{};
    if (!Resolve(endpoint, address, error)) return false;
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 16) != 0) {
        if (error)
            *error = "cannot listen on " + endpoint.address + ":" + std::to_string(endpoint.port) + ": " +
                     std::strerror(errno);
        listener_.reset();
        return false;
    }
    if (!MakeWakePipe(wakeRead_, wakeWrite_)) {
        if (error) *error = "cannot make a pipe";
        return false;
    }
    port_ = BoundPort(listener_.get());
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void TcpServer::stop() {
    stopping_ = true;
    if (wakeWrite_) {
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(wakeWrite_.get(), &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    listener_.reset();
}

bool TcpServer::waitFor(int fd, short events, std::uint32_t ms) {
    pollfd fds[2] = {{fd, events, 0}, {wakeRead_.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(ms));
    if (n <= 0 || (fds[1].revents & POLLIN) != 0) return false;
    return true;
}

void TcpServer::run() {
    while (!stopping_) {
        if (!waitFor(listener_.get(), POLLIN, 1000)) continue;
        UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection) serve(std::move(connection));
    }
}

void TcpServer::serve(UniqueFd connection) {
    // The command line ends at its carriage return or when the client shuts down sending.
    std::string line;
    char buffer[256];
    while (line.find('\r') == std::string::npos && line.size() <= kMaxLine) {
        if (!waitFor(connection.get(), POLLIN, kReadWaitMs)) return;
        const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    if (line.empty()) return;
    if (const auto cr = line.find('\r'); cr != std::string::npos) line.resize(cr + 1);
    const Reply reply = line.size() > kMaxLine ? Reply{kCannotRead} : controller_.Respond(line);

    switch (reply.fault) {
        case Fault::CloseWithoutReply:
            return;
        case Fault::NoReply:
            clock_.sleepMs(reply.delayMs);
            return;
        case Fault::Delay:
            clock_.sleepMs(reply.delayMs);
            SendAll(connection.get(), reply.text);
            break;
        case Fault::Split: {
            const std::size_t first = std::min(reply.splitAt, reply.text.size());
            SendAll(connection.get(), std::string_view(reply.text).substr(0, first));
            clock_.sleepMs(reply.delayMs);
            SendAll(connection.get(), std::string_view(reply.text).substr(first));
            break;
        }
        case Fault::Endless:
            SendAll(connection.get(), reply.text);
            if (!trickle(connection.get(), reply.delayMs)) return;
            break;
        case Fault::None:
        case Fault::NoCarriageReturn:
        case Fault::Corrupt:
        case Fault::Garbage:
        case Fault::Eject:
        case Fault::Answer:
            SendAll(connection.get(), reply.text);
            break;
    }
    // Closing with unread input would reset the connection and could lose the reply, so the
    // rest of what the client sent is read first (bounded).
    ::shutdown(connection.get(), SHUT_WR);
    for (int i = 0; i < 64 && waitFor(connection.get(), POLLIN, 1000); ++i) {
        if (::recv(connection.get(), buffer, sizeof buffer, 0) <= 0) break;
    }
}

bool TcpServer::trickle(int fd, std::uint32_t gapMs) {
    const std::int64_t endUs = clock_.nowUs() + static_cast<std::int64_t>(kEndlessLimitMs) * 1000;
    while (!stopping_ && clock_.nowUs() < endUs) {
        // A client that stopped reading leaves the socket unwritable; one that went away makes
        // the send fail. Either ends the reply.
        if (!waitFor(fd, POLLOUT, 100)) return false;
        if (::send(fd, "#", 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) return false;
        if (gapMs > 0) clock_.sleepMs(gapMs);
    }
    return !stopping_;
}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

bool DiscoveryResponder::start(const Endpoint& endpoint, std::string replyText, int repeat,
                               std::string* error) {
    sockaddr_in address{};
    if (!Resolve(endpoint, address, error)) return false;
    socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (error)
            *error = "cannot bind discovery port " + endpoint.address + ":" + std::to_string(endpoint.port) +
                     ": " + std::strerror(errno);
        socket_.reset();
        return false;
    }
    if (!MakeWakePipe(wakeRead_, wakeWrite_)) {
        if (error) *error = "cannot make a pipe";
        return false;
    }
    reply_ = std::move(replyText);
    repeat_ = repeat < 1 ? 1 : repeat;
    port_ = BoundPort(socket_.get());
    thread_ = std::thread([this] { run(); });
    return true;
}

void DiscoveryResponder::stop() {
    if (wakeWrite_) {
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(wakeWrite_.get(), &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    socket_.reset();
}

void DiscoveryResponder::run() {
    while (true) {
        pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) return;
        if ((fds[1].revents & POLLIN) != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        char datagram[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n = ::recvfrom(socket_.get(), datagram, sizeof datagram, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&sender), &length);
        if (n <= 0 || std::string_view(datagram, static_cast<std::size_t>(n)) != kDiscoveryRequest) continue;
        ++requests_;
        for (int i = 0; i < repeat_; ++i)
            ::sendto(socket_.get(), reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&sender),
                     length);
    }
}

}  // namespace vm::sim
