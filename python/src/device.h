#pragma once
// The controller as the Python package sees it: one link made current in the desktop device model,
// and the few procedures a script needs (module scan, move start, poll, stop loop) built from the
// model's operations. Every call holds the model's operation lock for its whole run, so calls from
// several Python threads never interleave on the link; the Python layer releases the GIL around
// each call. Failures are thrown as LinkFailure or Refused, which the module turns into the
// package's exception classes; nothing else crosses into Python as an exception.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "gui/model/current_link.h"
#include "gui/model/oem.h"
#include "gui/model/pci.h"
#include "gui/model/vmdm.h"
#include "link/clock.h"
#include "link/com_method.h"
#include "link/text_out.h"

namespace vm::py {

class Simulator;

// The link did not deliver a reply (or there is no link).
struct LinkFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The controller answered, but not with the acknowledgement the operation needs.
struct Refused : std::runtime_error {
    Refused(const std::string& what, std::string command, std::string reply)
        : std::runtime_error(what), command(std::move(command)), reply(std::move(reply)) {}
    std::string command;
    std::string reply;
};

// One exchange as the log shows it: the line and the reply without their carriage returns, the
// link's result and the time it took on the device's clock.
struct ExchangeRecord {
    std::string line;
    std::string reply;
    int result = 0;
    std::int64_t us = 0;
};

// Passes every exchange through to the real link and notes it. Exchanges run in the calling
// thread, so the notes go to a log of that thread, which the Python layer takes after each call.
class RecordingLink final : public COM_METHOD {
  public:
    RecordingLink(const LinkContext& context, std::unique_ptr<COM_METHOD> inner);

    bool OpenDefault() override { return inner_->OpenDefault(); }
    bool Open(std::string_view name) override { return inner_->Open(name); }
    void Close() override { inner_->Close(); }
    int Exchange() override;
    int ListDevices() override { return inner_->ListDevices(); }

    // The latest exchange of this link (read under the operation lock).
    const ExchangeRecord& last() const { return last_; }
    std::uint64_t exchanges() const { return exchanges_; }

    static void ClearThreadLog();
    static std::vector<ExchangeRecord> TakeThreadLog();

  private:
    std::unique_ptr<COM_METHOD> inner_;
    ExchangeRecord last_;
    std::uint64_t exchanges_ = 0;
};

// One slot of the rack: its kind ("drive", "encoder", "sensor", "empty"), the channel count of a
// drive module that answered (0 otherwise) and whether an encoder module serves it.
using SlotInfo = std::tuple<int, std::string, int, bool>;
// A user-memory record: frequency, step size, temperature, paramB, paramA, invert flag, type, tag.
using ChannelTuple = std::tuple<int, int, int, int, int, int, std::string, std::string>;
// What a poll of a moving axis found: the module status word and the counter (when read).
using PollResult = std::tuple<std::string, std::optional<std::int64_t>>;

class Device {
  public:
    // Interval of the status polls while a move runs and of the stop loop, as the desktop's
    // position monitor uses; stops sent at most before the stop loop gives up.
    static constexpr std::uint32_t kPollMs = 100;
    static constexpr int kStopAttempts = 10;

    // A link to a controller: with no selector the first USB controller (FTDI, then HID);
    // otherwise the selector rules of the command-line tool ("SERV[:NAME]" and "CMON[:NAME]" a
    // pipe server, else an FTDI serial number, an HID serial string, an IPv4 address). port
    // replaces the LAN command port.
    static std::unique_ptr<Device> Connect(const std::optional<std::string>& selector, int port);
    // The in-process virtual controller, on its clock.
    static std::unique_ptr<Device> ConnectSimulator(std::shared_ptr<Simulator> simulator);

    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    void close();
    // Read without the operation lock, so asking never waits for another thread's exchange.
    bool closed() const { return closed_.load(); }
    std::string description() const { return description_; }

    // The rack: configuration letter and the six slots (module map, status and descriptor of every
    // drive module as the desktop's module scan reads them).
    std::tuple<std::string, std::vector<SlotInfo>> scan();
    bool hasEncoder(int m);
    // One short query ("SCN") to see that the controller answers.
    void ping();

    ChannelTuple loadChannel(int m, int c);
    void storeChannel(int index, const ChannelTuple& record);
    void commit();

    // Starts a move as the desktop's step buttons do: the paired encoder counter set to follow
    // the direction, then the drive line. steps 0 runs until stopped.
    void startMove(int m, int c, const std::string& type, int temperature, int direction, int frequency,
                   int stepSize, int steps);
    // Waits one poll interval on the device's clock (without the lock), then reads the counter
    // (when an encoder module serves the module) and the module status.
    PollResult poll(int m, int c);
    // Sends stops, one poll interval apart, until the module reports "_STP"; returns the counter.
    std::optional<std::int64_t> stop(int m, int c);
    std::string status(int m);
    std::optional<std::int64_t> counter(int m, int c);
    void zeroCounter(int m, int c);
    int failsafe(int m);
    int descriptor(int m);
    // Text in and out is one character per byte (see text.h).
    std::string exchange(const std::string& text);

    // The device's clock: milliseconds since it started, and a sleep on it.
    double nowMs() const;
    void sleepMs(double ms);
    // Rise time of the type (empty when it names no profile), and the profile table: name,
    // paramA, paramB, invertDirection.
    std::optional<int> riseTime(const std::string& type, int temperature, int stepSize) const;
    std::vector<std::tuple<std::string, int, int, int>> profiles() const;

  private:
    Device(std::unique_ptr<Clock> ownClock, Clock& clock, std::shared_ptr<Simulator> simulator);
    void install(std::unique_ptr<COM_METHOD> link, std::string description);
    // Runs fn under the operation lock with the thread's log cleared first.
    template <class Fn>
    auto locked(Fn&& fn);
    // Throws for a failed operation: LinkFailure when its last exchange failed or there is no
    // link, Refused with the reply otherwise.
    [[noreturn]] void fail(const std::string& what);
    void requireLink();

    std::unique_ptr<Clock> ownClock_;
    Clock& clock_;
    std::shared_ptr<Simulator> simulator_;  // keeps the virtual controller alive
    StringTextOut out_;                     // link messages, added to LinkFailure texts
    LinkContext context_;
    gui::CurrentLink current_;
    gui::OEM oem_{current_};
    gui::VMDM vmdm_{current_};
    gui::PCI pci_{current_};
    RecordingLink* link_ = nullptr;  // owned by current_
    std::atomic<bool> closed_{true};
    std::uint64_t exchangesAtStart_ = 0;
    std::string description_;
    std::int64_t originUs_ = 0;
};

}  // namespace vm::py
