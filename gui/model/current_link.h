#pragma once
// The desktop program's current controller link, shared by every window and worker thread, with
// the one reply parser. Each device-model operation runs as one unit under the operation lock
// (format, exchange, parse, copy out), so two threads can never interleave on the link's buffers
// or the parser. The lock is recursive: a caller that needs an operation and the fields it filled
// as one unit holds it around both with hold(). The fields themselves have a lock of their own,
// private to the device model (OEM, PCI, VMDM), so reading them never waits for an exchange.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "gui/model/string_parser.h"
#include "link/clock.h"
#include "link/com_method.h"

namespace vm::gui {

// How the current link has answered lately: exchanges made and how many failed in a row. Read
// without any lock, so a window can show "not answering" while a worker holds the link.
class LinkHealth {
  public:
    void record(bool failed) {
        exchanges_.fetch_add(1, std::memory_order_relaxed);
        if (failed)
            failuresInRow_.fetch_add(1, std::memory_order_relaxed);
        else
            failuresInRow_.store(0, std::memory_order_relaxed);
    }
    void reset() {
        exchanges_.store(0, std::memory_order_relaxed);
        failuresInRow_.store(0, std::memory_order_relaxed);
    }
    unsigned exchanges() const { return exchanges_.load(std::memory_order_relaxed); }
    unsigned failuresInRow() const { return failuresInRow_.load(std::memory_order_relaxed); }

  private:
    std::atomic<unsigned> exchanges_{0};
    std::atomic<unsigned> failuresInRow_{0};
};

// What an operation may touch while it holds the lock.
class Transaction {
  public:
    Transaction(COM_METHOD& link, StringParser& parser, Clock& clock, LinkHealth* health = nullptr)
        : link_(link), parser_(parser), clock_(clock), health_(health) {}

    // Formats the command into the link's command buffer, exchanges it and parses the reply.
    // Returns true when the exchange reported a failure; the reply then counts as empty, because
    // the buffer may still hold the previous command's reply (HID and LAN keep it) or a fragment.
    bool exchange(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    const StringParser& tokens() const { return parser_; }
    // The reply text of the latest exchange as the link stored it.
    std::string_view reply() const { return link_.reply().view(); }
    void sleepMs(std::uint32_t ms) { clock_.sleepMs(ms); }

  private:
    COM_METHOD& link_;
    StringParser& parser_;
    Clock& clock_;
    LinkHealth* health_;
};

// What one raw command line brought back: the failure flag and the reply text without its
// carriage return (empty when the exchange failed or the line was refused).
struct LineReply {
    bool failed = true;
    std::string text;
};

class CurrentLink {
  public:
    // Longest raw line: the line and its carriage return must fit the command buffer.
    static constexpr std::size_t kMaxLineLength = COM_METHOD::kBufferSize - 2;

    using Lock = std::unique_lock<std::recursive_mutex>;

    explicit CurrentLink(Clock& clock) : clock_(clock) {}
    // Closes the link that is still current.
    ~CurrentLink();
    CurrentLink(const CurrentLink&) = delete;
    CurrentLink& operator=(const CurrentLink&) = delete;

    // Makes a new link current. The old one is closed and destroyed once no operation uses it.
    void replace(std::unique_ptr<COM_METHOD> link);
    bool hasLink() const;

    // Holds the operation lock across several operations and field reads.
    Lock hold() const { return Lock(mutex_); }

    // Runs the connection logic's own calls (list, open, close, device table, selector) under the
    // lock; fn receives the current link or nullptr.
    template <class Fn>
    auto access(Fn&& fn) {
        Lock lock(mutex_);
        return fn(link_.get());
    }

    // Runs one device-model operation under the lock. Without a current link nothing is sent,
    // noLink() runs instead (also under the lock) and its result is returned.
    template <class Body, class NoLink>
    auto run(Body&& body, NoLink&& noLink) {
        Lock lock(mutex_);
        if (!link_) return noLink();
        Transaction t(*link_, parser_, clock_, &health_);
        return body(t);
    }

    // Sends one command line as the caller wrote it (the carriage return is added) under the
    // lock and parses the reply like every operation does. A line holding a carriage return or
    // line feed (it would reach the controller as two commands), a zero byte (it would end the line
    // early) or longer than kMaxLineLength is
    // refused without sending; so is every line without a current link.
    LineReply exchangeLine(std::string_view line);

    // A copy of the parser with the tokens of the latest reply.
    StringParser parser() const;

    // The device-model exchanges on the current link; replace() starts the count anew.
    const LinkHealth& health() const { return health_; }

  private:
    friend class OEM;
    friend class PCI;
    friend class VMDM;

    // Guards the model's fields alone. Getters take only this one, so a window reading a field
    // never waits for an exchange (or a 20 s measurement) of a worker thread; operations take it
    // briefly when they copy values out. Order: the operation lock first, then this one. It is
    // not recursive and every getter takes it, so only the model's own code may hold it.
    std::unique_lock<std::mutex> fieldsLock() const { return std::unique_lock<std::mutex>(fieldsMutex_); }

    mutable std::recursive_mutex mutex_;
    mutable std::mutex fieldsMutex_;
    Clock& clock_;
    StringParser parser_;
    LinkHealth health_;
    std::unique_ptr<COM_METHOD> link_;
};

}  // namespace vm::gui
