#pragma once
// Named pipes on Linux: Unix-domain stream sockets in a private per-user directory.
//
// Each side of the pipe pair creates the endpoint it reads ("<name>SR" by the server, "<name>RS"
// by the client) and connects to the other's endpoint once per transaction. An endpoint is
// owned through an exclusive lock on "<endpoint>.lock", so a live owner is never displaced and
// the socket file of an owner that died is replaced by the next one. The directory is 0700 and
// the endpoints 0600, so no other user can reach them; both sides also check the peer's user,
// and the client the server's process, through the socket credentials.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/clock.h"
#include "link/unique_fd.h"

namespace vm {

namespace pipe {

// Environment variable that names the endpoint directory instead of the default one.
inline constexpr const char* kDirectoryVariable = "VM_PIPE_DIR";
// A pipe base name: at most 38 characters, so the full pipe names with their prefix and suffix
// fit their 50-byte fields; no "/", so an endpoint always stays inside its directory.
inline constexpr std::size_t kMaxBaseName = 38;
inline constexpr std::string_view kRequestSuffix = "SR";
inline constexpr std::string_view kReplySuffix = "RS";
// The server's word on a request, on the request connection's otherwise unused way back: sent
// once the reply connection is made and written, so the client knows its reply is the last
// connection waiting at its endpoint. A request closed without it got no reply.
inline constexpr char kReplySent = 'R';

bool ValidBaseName(std::string_view name);

// The endpoint directory: $VM_PIPE_DIR, else $XDG_RUNTIME_DIR/vmcontrol, else
// /tmp/vmcontrol-<uid>. It is created with mode 0700 when missing. nullopt when it is not a
// real directory owned by this user (a symbolic link, another user's directory) or cannot be
// made private; a directory of ours with group or other access is made private first.
std::optional<std::string> EndpointDirectory();

struct Peer {
    pid_t pid;
    uid_t uid;
};
// The credentials of the process at the other end of a connected Unix socket.
std::optional<Peer> PeerOf(int fd);

// An endpoint this process owns and listens on. Destroying it removes the socket file and then
// releases the lock.
class Endpoint {
  public:
    Endpoint() = default;
    Endpoint(Endpoint&&) noexcept = default;
    Endpoint& operator=(Endpoint&& other) noexcept;
    ~Endpoint();

    // Takes the endpoint "<directory>/<file>": fails at once when another live owner holds it
    // (then busy is set) or the socket cannot be made. The backlog is the listen queue length.
    static std::optional<Endpoint> create(const std::string& directory, std::string_view file, int backlog,
                                          bool* busy = nullptr);

    int fd() const { return socket_.get(); }
    const std::string& path() const { return path_; }
    bool valid() const { return socket_.valid(); }

  private:
    void release();

    std::string path_;
    UniqueFd lock_;
    UniqueFd socket_;
};

// Accepts one pending connection without waiting; an invalid descriptor when none is pending.
UniqueFd AcceptPending(int listener);

enum class ConnectResult { Connected, NotFound, Busy, Failed };
// Connects without blocking to the endpoint "<directory>/<file>". NotFound: no endpoint or no
// listener there; Busy: the listener's queue is full.
ConnectResult ConnectEndpoint(const std::string& directory, std::string_view file, UniqueFd& out);

// Waits until the descriptor is ready for the poll events, at most timeoutMs as the clock
// counts. The real clocks wait in the kernel and wake at once; a clock that does not move by
// itself (virtual time) gets one short real look and is then charged the remaining time, so a
// test of a bound finishes at once.
bool WaitReady(Clock& clock, int fd, short events, std::uint32_t timeoutMs);

// Writes all bytes without blocking and without SIGPIPE; false when the peer is gone or the
// socket would block.
bool SendAll(int fd, std::string_view bytes);

enum class ReadResult { Complete, TooLong, TimedOut, Failed };
// Reads until the peer closes its end (or shuts down its sending side), at most capacity bytes
// (more is TooLong) and at most timeoutMs in all; the descriptor must be non-blocking. `length`
// is the number of bytes stored in buffer.
ReadResult ReadToEnd(Clock& clock, int fd, char* buffer, std::size_t capacity, std::size_t& length,
                     std::uint32_t timeoutMs);

}  // namespace pipe
}  // namespace vm
