#include "tests/support/fake_hid.h"

#include <algorithm>

namespace vm::test {

namespace {

class FakeHidHandle final : public HidHandle {
  public:
    FakeHidHandle(FakeHidDevice& device, Clock& clock, bool readWrite)
        : device_(device), clock_(clock), readWrite_(readWrite) {
        if (readWrite_) {
            device_.open = true;
            ++device_.openCount;
        }
    }
    ~FakeHidHandle() override {
        if (readWrite_) {
            device_.open = false;
            ++device_.closeCount;
        }
    }

    std::optional<HidCaps> GetCaps() override {
        if (device_.capsFail) return std::nullopt;
        return device_.caps;
    }
    std::optional<HidAttributes> GetAttributes() override { return device_.attributes; }
    std::optional<std::wstring> GetManufacturerString() override { return device_.manufacturer; }
    std::optional<std::wstring> GetProductString() override { return device_.product; }
    std::optional<std::wstring> GetSerialNumberString() override { return device_.serial; }

    bool GetInputReport(std::span<std::uint8_t> report) override {
        if (!readWrite_ || device_.inputFails || report.empty()) return false;
        ++device_.inputReads;
        std::fill(report.begin(), report.end(), 0);
        const std::span<std::uint8_t> payload = report.subspan(1);
        if (!device_.scriptedPayloads.empty()) {
            const auto& scripted = device_.scriptedPayloads.front();
            std::copy_n(scripted.begin(), std::min(scripted.size(), payload.size()), payload.begin());
            device_.scriptedPayloads.pop_front();
            return true;
        }
        if (!device_.pending.empty() && clock_.nowMs() >= device_.dueMs) {
            const std::size_t n = std::min(payload.size(), device_.pending.size());
            std::copy_n(device_.pending.begin(), n, payload.begin());
            device_.pending.erase(0, n);
        }
        return true;
    }

    bool SetOutputReport(std::span<const std::uint8_t> report) override {
        if (!readWrite_ || device_.outputFails || report.empty()) return false;
        device_.outputReports.emplace_back(report.begin(), report.end());
        for (const std::uint8_t b : report.subspan(1)) {
            if (b == 0) break;
            device_.lineBuffer.push_back(static_cast<char>(b));
        }
        std::size_t cr;
        while ((cr = device_.lineBuffer.find('\r')) != std::string::npos) {
            std::string line = device_.lineBuffer.substr(0, cr + 1);
            device_.lineBuffer.erase(0, cr + 1);
            line.erase(0, line.find_first_not_of('\n'));
            if (line.empty() || line == "\r") continue;
            device_.lines.push_back(line);
            if (device_.responder) {
                device_.pending += device_.responder(line);
                device_.dueMs = clock_.nowMs() + device_.replyDelayMs;
            }
        }
        return true;
    }

    void CancelIo() override {}

  private:
    FakeHidDevice& device_;
    Clock& clock_;
    bool readWrite_;
};

}  // namespace

FakeHidDevice& FakeHidDriver::addDevice(std::string serial, LineResponder responder) {
    auto device = std::make_unique<FakeHidDevice>();
    device->path = "/dev/hidraw" + std::to_string(devices_.size());
    device->serial = std::wstring(serial.begin(), serial.end());
    device->responder = std::move(responder);
    devices_.push_back(std::move(device));
    return *devices_.back();
}

std::vector<std::string> FakeHidDriver::InterfacePaths() {
    ++enumerations;
    std::vector<std::string> paths;
    for (const auto& d : devices_) paths.push_back(d->path);
    return paths;
}

std::unique_ptr<HidHandle> FakeHidDriver::OpenPath(const std::string& path, HidAccess access) {
    for (const auto& d : devices_) {
        if (d->path != path) continue;
        const bool readWrite = access == HidAccess::ReadWrite;
        if (readWrite ? d->openFails : d->queryOpenFails) return nullptr;
        return std::make_unique<FakeHidHandle>(*d, clock_, readWrite);
    }
    return nullptr;
}

}  // namespace vm::test
