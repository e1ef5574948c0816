#include "link/pipe_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vm {

namespace pipe {

namespace {

// Longest real wait of one look at a descriptor; bounds how long a virtual-time wait looks.
constexpr std::int64_t kSliceMs = 50;

std::string JoinPath(const std::string& directory, std::string_view file) {
    std::string path = directory;
    path += '/';
    path.append(file);
    return path;
}

// Fills a socket address; false when the path does not fit.
bool MakeAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

bool PollOnce(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, ms);
    return r == 1 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

// Makes a directory of ours private, refusing anything else (symbolic links, other owners).
bool MakePrivate(const std::string& directory) {
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return false;
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    if ((st.st_mode & 077) != 0 && ::fchmod(dir.get(), 0700) != 0) return false;
    return true;
}

}  // namespace

bool ValidBaseName(std::string_view name) {
    return name.size() <= kMaxBaseName && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::optional<std::string> EndpointDirectory() {
    std::string directory;
    const char* override = std::getenv(kDirectoryVariable);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (override != nullptr && *override != '\0') {
        directory = override;
    } else if (runtime != nullptr && *runtime != '\0') {
        directory = std::string(runtime) + "/vmcontrol";
    } else {
        directory = "/tmp/vmcontrol-" + std::to_string(::geteuid());
    }
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    if (!MakePrivate(directory)) return std::nullopt;
    return directory;
}

std::optional<Peer> PeerOf(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred)
        return std::nullopt;
    return Peer{cred.pid, cred.uid};
}

Endpoint& Endpoint::operator=(Endpoint&& other) noexcept {
    if (this != &other) {
        release();
        path_ = std::move(other.path_);
        lock_ = std::move(other.lock_);
        socket_ = std::move(other.socket_);
    }
    return *this;
}

Endpoint::~Endpoint() { release(); }

void Endpoint::release() {
    // The lock is still held here, so the file removed is our own socket.
    if (socket_.valid() && !path_.empty()) ::unlink(path_.c_str());
    socket_.reset();
    lock_.reset();
    path_.clear();
}

std::optional<Endpoint> Endpoint::create(const std::string& directory, std::string_view file, int backlog,
                                         bool* busy) {
    if (busy != nullptr) *busy = false;
    Endpoint endpoint;
    const std::string path = JoinPath(directory, file);
    sockaddr_un address{};
    if (!MakeAddress(path, address)) return std::nullopt;

    const std::string lockPath = path + ".lock";
    endpoint.lock_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!endpoint.lock_) return std::nullopt;
    if (::flock(endpoint.lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (busy != nullptr) *busy = errno == EWOULDBLOCK;
        return std::nullopt;
    }

    // Whatever the path holds now was left by an owner that is gone.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::nullopt;
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) return std::nullopt;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    endpoint.path_ = path;
    endpoint.socket_ = std::move(socket);
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(endpoint.socket_.get(), backlog) != 0)
        return std::nullopt;
    return endpoint;
}

UniqueFd AcceptPending(int listener) {
    while (true) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0 || errno != EINTR) return UniqueFd(fd);
    }
}

ConnectResult ConnectEndpoint(const std::string& directory, std::string_view file, UniqueFd& out) {
    out.reset();
    sockaddr_un address{};
    if (!MakeAddress(JoinPath(directory, file), address)) return ConnectResult::Failed;
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) return ConnectResult::Failed;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        out = std::move(socket);
        return ConnectResult::Connected;
    }
    switch (errno) {
        case ENOENT:
        case ECONNREFUSED:
            return ConnectResult::NotFound;
        case EAGAIN:
            return ConnectResult::Busy;
        default:
            return ConnectResult::Failed;
    }
}

bool WaitReady(Clock& clock, int fd, short events, std::uint32_t timeoutMs) {
    const std::int64_t start = clock.nowMs();
    while (true) {
        const std::int64_t remaining = std::int64_t{timeoutMs} - (clock.nowMs() - start);
        if (remaining <= 0) return PollOnce(fd, events, 0);
        const std::int64_t before = clock.counter();
        if (PollOnce(fd, events, static_cast<int>(std::min(remaining, kSliceMs)))) return true;
        if (clock.counter() == before) {
            clock.sleepMs(static_cast<std::uint32_t>(remaining));
            return PollOnce(fd, events, 0);
        }
    }
}

bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

ReadResult ReadToEnd(Clock& clock, int fd, char* buffer, std::size_t capacity, std::size_t& length,
                     std::uint32_t timeoutMs) {
    length = 0;
    const std::int64_t start = clock.nowMs();
    while (true) {
        // Read first: the peer has usually sent everything and closed its side by the time this
        // side looks, and then no wait is needed at all.
        char spare;
        const bool full = length == capacity;
        const ssize_t n = full ? ::read(fd, &spare, 1) : ::read(fd, buffer + length, capacity - length);
        if (n == 0) return ReadResult::Complete;
        if (n > 0) {
            if (full) return ReadResult::TooLong;
            length += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return ReadResult::Failed;
        // Wait for the end of the peer's sending rather than for each piece: one wake-up for a
        // text that arrives in pieces before the peer shuts down or closes.
        const std::int64_t remaining = std::int64_t{timeoutMs} - (clock.nowMs() - start);
        if (!WaitReady(clock, fd, POLLRDHUP,
                       static_cast<std::uint32_t>(std::max<std::int64_t>(remaining, 0))))
            return ReadResult::TimedOut;
    }
}

}  // namespace pipe
}  // namespace vm
