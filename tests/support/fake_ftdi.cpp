#include "tests/support/fake_ftdi.h"

#include <algorithm>

namespace vm::test {

namespace {

class FakeFtdiDevice final : public FtdiDevice {
  public:
    FakeFtdiDevice(FakeBridge& bridge, Clock& clock) : bridge_(bridge), clock_(clock) {}
    ~FakeFtdiDevice() override { bridge_.open = false; }

    FT_STATUS SetDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                     std::uint8_t parity) override {
        return record("SetDataCharacteristics " + std::to_string(wordLength) + " " +
                      std::to_string(stopBits) + " " + std::to_string(parity));
    }
    FT_STATUS SetTimeouts(std::uint32_t readMs, std::uint32_t writeMs) override {
        return record("SetTimeouts " + std::to_string(readMs) + " " + std::to_string(writeMs));
    }
    FT_STATUS SetBaudRate(std::uint32_t baud) override {
        return record("SetBaudRate " + std::to_string(baud));
    }
    FT_STATUS Purge(std::uint32_t mask) override {
        if (mask & FT_PURGE_RX) {
            bridge_.received.clear();
            bridge_.pending.clear();
        }
        return record("Purge " + std::to_string(mask));
    }
    FT_STATUS SetChars(std::uint8_t eventChar, std::uint8_t eventOn, std::uint8_t errorChar,
                       std::uint8_t errorOn) override {
        return record("SetChars " + std::to_string(eventChar) + " " + std::to_string(eventOn) + " " +
                      std::to_string(errorChar) + " " + std::to_string(errorOn));
    }
    FT_STATUS SetEventNotification(std::uint32_t mask) override {
        return record("SetEventNotification " + std::to_string(mask));
    }

    bool WaitForEvent(Clock& clock, std::uint32_t timeoutMs) override {
        deliver();
        if (!bridge_.signalled) {
            const std::int64_t now = clock.nowMs();
            const std::int64_t deadline = now + timeoutMs;
            const std::int64_t next = bridge_.pending.empty() ? deadline + 1 : bridge_.pending.front().atMs;
            const std::int64_t until = std::min(next, deadline);
            if (until > now) clock.sleepMs(static_cast<std::uint32_t>(until - now));
            deliver();
        }
        const bool signalled = bridge_.signalled;
        bridge_.signalled = false;
        return signalled;
    }

    FT_STATUS GetStatus(std::uint32_t& rxQueue, std::uint32_t& txQueue, std::uint32_t& eventStatus) override {
        deliver();
        rxQueue = static_cast<std::uint32_t>(bridge_.received.size());
        txQueue = 0;
        eventStatus = bridge_.arrivedSinceStatus ? FT_EVENT_RXCHAR : 0;
        bridge_.arrivedSinceStatus = false;
        return FT_OK;
    }

    FT_STATUS Read(char* buffer, std::uint32_t toRead, std::uint32_t& bytesRead) override {
        deliver();
        const std::size_t n = std::min<std::size_t>(toRead, bridge_.received.size());
        std::copy_n(bridge_.received.begin(), n, buffer);
        bridge_.received.erase(0, n);
        bytesRead = static_cast<std::uint32_t>(n);
        return FT_OK;
    }

    FT_STATUS Write(const char* buffer, std::uint32_t toWrite, std::uint32_t& bytesWritten) override {
        const std::string text(buffer, toWrite);
        bridge_.writes.push_back(text);
        FtdiFault fault = bridge_.defaultFault;
        if (!bridge_.faults.empty()) {
            fault = bridge_.faults.front();
            bridge_.faults.pop_front();
        }
        if (fault.delivery == FtdiDelivery::WriteFails) {
            bytesWritten = 0;
            return FT_IO_ERROR;
        }
        bytesWritten = toWrite;
        const std::string reply = answer(text);
        if (reply.empty() || fault.delivery == FtdiDelivery::Never) return FT_OK;

        // The device answers in order: a reply arrives at least 1 ms after the one before it.
        const std::int64_t now = clock_.nowMs();
        const std::int64_t delay = fault.delivery == FtdiDelivery::Late ? fault.delayMs : bridge_.latencyMs;
        const std::int64_t at = std::max(now + delay, bridge_.lastArrivalMs + 1);
        switch (fault.delivery) {
            case FtdiDelivery::TwoPieces: {
                const std::size_t split = std::min(fault.split, reply.size());
                schedule(at, reply.substr(0, split));
                schedule(at + bridge_.pieceGapMs, reply.substr(split));
                break;
            }
            case FtdiDelivery::TwoLines:
                schedule(at, reply + reply);
                break;
            default:
                schedule(at, reply);
                break;
        }
        return FT_OK;
    }

    FT_STATUS Close() override {
        bridge_.open = false;
        return record("Close");
    }

  private:
    FT_STATUS record(std::string call) {
        bridge_.calls.push_back(std::move(call));
        return FT_OK;
    }

    // Complete lines go to the responder; a line without its carriage return waits for the rest.
    std::string answer(const std::string& text) {
        bridge_.lineBuffer += text;
        std::string reply;
        std::size_t cr;
        while ((cr = bridge_.lineBuffer.find('\r')) != std::string::npos) {
            const std::string line = bridge_.lineBuffer.substr(0, cr + 1);
            bridge_.lineBuffer.erase(0, cr + 1);
            if (bridge_.responder) reply += bridge_.responder(line);
        }
        return reply;
    }

    void schedule(std::int64_t atMs, std::string bytes) {
        if (bytes.empty()) return;
        bridge_.pending.push_back({atMs, std::move(bytes)});
        bridge_.lastArrivalMs = atMs;
    }

    void deliver() {
        const std::int64_t now = clock_.nowMs();
        while (!bridge_.pending.empty() && bridge_.pending.front().atMs <= now) {
            bridge_.received += bridge_.pending.front().bytes;
            bridge_.pending.pop_front();
            bridge_.signalled = bridge_.arrivedSinceStatus = true;
        }
    }

    FakeBridge& bridge_;
    Clock& clock_;
};

}  // namespace

FakeBridge& FakeFtdiDriver::addBridge(std::string serial, std::string description, LineResponder responder) {
    auto bridge = std::make_unique<FakeBridge>();
    bridge->serial = std::move(serial);
    bridge->description = std::move(description);
    bridge->responder = std::move(responder);
    bridges_.push_back(std::move(bridge));
    return *bridges_.back();
}

FT_STATUS FakeFtdiDriver::OpenEx(std::string_view arg, std::uint32_t flags,
                                 std::unique_ptr<FtdiDevice>& device) {
    FT_STATUS result = FT_DEVICE_NOT_FOUND;
    for (auto& bridge : bridges_) {
        const std::string& key = flags == FT_OPEN_BY_SERIAL_NUMBER ? bridge->serial : bridge->description;
        if (key != arg) continue;
        if (bridge->heldElsewhere || bridge->open) {
            result = FT_DEVICE_NOT_OPENED;
            continue;
        }
        bridge->open = true;
        ++bridge->openCount;
        device = std::make_unique<FakeFtdiDevice>(*bridge, clock_);
        return FT_OK;
    }
    return result;
}

FT_STATUS FakeFtdiDriver::CreateDeviceInfoList(std::uint32_t& count) {
    count = 0;
    if (failCreateList) return FT_OTHER_ERROR;
    count = reportedCount != 0 ? reportedCount : static_cast<std::uint32_t>(bridges_.size());
    return FT_OK;
}

FT_STATUS FakeFtdiDriver::GetDeviceInfoList(std::span<FT_DEVICE_LIST_INFO_NODE> list, std::uint32_t& count) {
    count = 0;
    if (failGetList) return FT_OTHER_ERROR;
    const std::size_t n = std::min(list.size(), bridges_.size());
    for (std::size_t i = 0; i < n; ++i) {
        list[i].serialNumber.assign(bridges_[i]->serial);
        list[i].description.assign(bridges_[i]->description);
    }
    count = static_cast<std::uint32_t>(n);
    return FT_OK;
}

}  // namespace vm::test
