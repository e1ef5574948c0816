#pragma once
// A fake FTDI bridge driver for tests. Each bridge answers the command lines written to it with a
// responder (a virtual controller or a scripted function) and delivers the reply in virtual time:
// whole, in two pieces, two lines at once, late, never, or it fails the write. Waiting for the
// receive event advances the clock to the next arrival or to the end of the wait.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/ftdi_driver.h"

namespace vm::test {

// Answers one command line (with its carriage return); an empty text is no answer.
using LineResponder = std::function<std::string(std::string_view line)>;

enum class FtdiDelivery {
    Whole,       // the reply arrives latencyMs after the write
    TwoPieces,   // the first split characters, then the rest pieceGapMs later
    TwoLines,    // the reply twice in one arrival
    Late,        // the reply arrives delayMs after the write
    Never,       // the command is processed, the reply is lost
    WriteFails,  // the write reports an I/O error and nothing reaches the device
};

struct FtdiFault {
    FtdiDelivery delivery = FtdiDelivery::Whole;
    std::size_t split = 2;
    std::uint32_t delayMs = 0;
};

struct FakeBridge {
    std::string serial;
    std::string description;
    LineResponder responder;
    bool heldElsewhere = false;  // another process has it open
    std::uint32_t latencyMs = 1;
    std::uint32_t pieceGapMs = 2;
    // One fault per write, taken from the front; when empty, defaultFault.
    std::deque<FtdiFault> faults;
    FtdiFault defaultFault;

    // What the bridge saw.
    std::vector<std::string> writes;  // every write call, failed ones included
    std::vector<std::string> calls;   // configuration calls and Close, in order
    bool open = false;
    int openCount = 0;

    // Receive side, shared with the open device.
    struct Arrival {
        std::int64_t atMs;
        std::string bytes;
    };
    std::deque<Arrival> pending;
    std::string received;
    std::string lineBuffer;
    bool signalled = false;
    bool arrivedSinceStatus = false;
    std::int64_t lastArrivalMs = 0;
};

class FakeFtdiDriver final : public FtdiDriver {
  public:
    explicit FakeFtdiDriver(Clock& clock) : clock_(clock) {}

    FakeBridge& addBridge(std::string serial, std::string description, LineResponder responder = {});
    FakeBridge& bridge(std::size_t index) { return *bridges_.at(index); }
    std::size_t bridgeCount() const { return bridges_.size(); }

    bool failCreateList = false;
    bool failGetList = false;
    // Reported by CreateDeviceInfoList instead of the bridge count when set.
    std::uint32_t reportedCount = 0;

    FT_STATUS OpenEx(std::string_view arg, std::uint32_t flags, std::unique_ptr<FtdiDevice>& device) override;
    FT_STATUS CreateDeviceInfoList(std::uint32_t& count) override;
    FT_STATUS GetDeviceInfoList(std::span<FT_DEVICE_LIST_INFO_NODE> list, std::uint32_t& count) override;

  private:
    Clock& clock_;
    std::vector<std::unique_ptr<FakeBridge>> bridges_;
};

}  // namespace vm::test
