#pragma once
// Serves a Controller over TCP as the real controller does: one connection per command line,
// the reply ended by a carriage return, the connection closed after it. Transport faults of the
// controller's fault rules (delay, split, no reply, close) are carried out here.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "link/unique_fd.h"
#include "sim/controller.h"

namespace vm::sim {

struct Endpoint {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port
};

class TcpServer {
  public:
    // A client gets this long to send its command line before the connection is dropped.
    static constexpr std::uint32_t kReadWaitMs = 2000;
    // Bytes of a command line read at most; longer lines are answered "CNR".
    static constexpr std::size_t kMaxLine = 512;
    // An endless reply stops after this long even when the client keeps listening, so one
    // connection cannot hold the server for good.
    static constexpr std::uint32_t kEndlessLimitMs = 10000;

    TcpServer(Controller& controller, Clock& clock);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Binds and starts serving on a thread of its own; false with a message on failure.
    bool start(const Endpoint& endpoint, std::string* error);
    void stop();
    std::uint16_t port() const { return port_; }

  private:
    void run();
    void serve(UniqueFd connection);
    // Waits for the fd to become ready; false when stop() was called or the time ran out.
    bool waitFor(int fd, short events, std::uint32_t ms);
    // Sends a filler byte every gapMs (0: as fast as the client takes them) until the client
    // goes away, kEndlessLimitMs pass or stop() is called. False when the connection is done.
    bool trickle(int fd, std::uint32_t gapMs);

    Controller& controller_;
    Clock& clock_;
    UniqueFd listener_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::atomic<bool> stopping_{false};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Answers discovery broadcasts: every datagram "ZAVDiscover" gets the reply text (which should
// begin "ZAV "), sent `repeat` times to the sender.
class DiscoveryResponder {
  public:
    DiscoveryResponder() = default;
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    bool start(const Endpoint& endpoint, std::string replyText, int repeat, std::string* error);
    void stop();
    std::uint16_t port() const { return port_; }
    int requests() const { return requests_.load(); }

  private:
    void run();

    UniqueFd socket_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::string reply_;
    int repeat_ = 1;
    std::atomic<int> requests_{0};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace vm::sim
