#pragma once
// A fake HID driver for tests. Each device collects the payloads of its output reports into
// command lines (ended by a carriage return; the extra carriage return and line feed the link
// sends make empty lines, which it ignores, as the controller does) and answers them through a
// responder. Its input reports carry the reply text once the reply is due, and zeros otherwise.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/hid_driver.h"
#include "tests/support/fake_ftdi.h"

namespace vm::test {

struct FakeHidDevice {
    std::string path;
    std::optional<std::wstring> manufacturer = L"Vellumotor";
    std::optional<std::wstring> product = L"Vellumotor Control System";
    std::optional<std::wstring> serial;
    HidAttributes attributes{0x1209, 0x5650, 0x0100};
    HidCaps caps{0, 0xFF00, 65, 65, 0};
    LineResponder responder;
    std::uint32_t replyDelayMs = 0;

    // Failures.
    bool queryOpenFails = false;  // the enumeration cannot open the path
    bool capsFail = false;        // no preparsed data
    bool openFails = false;       // OpenDevice fails
    bool inputFails = false;      // every input report fails
    bool outputFails = false;     // every output report fails
    // Payloads served before any reply text, e.g. all-zero reports or a hand-made report.
    std::deque<std::vector<std::uint8_t>> scriptedPayloads;

    // What the device saw.
    std::vector<std::vector<std::uint8_t>> outputReports;
    std::vector<std::string> lines;
    int openCount = 0;
    int closeCount = 0;
    int inputReads = 0;
    bool open = false;

    // Reply text not yet delivered and when it is due.
    std::string pending;
    std::int64_t dueMs = 0;
    std::string lineBuffer;
};

class FakeHidDriver final : public HidDriver {
  public:
    explicit FakeHidDriver(Clock& clock) : clock_(clock) {}

    // A device with the controller's product string; its path is "/dev/hidrawN".
    FakeHidDevice& addDevice(std::string serial, LineResponder responder = {});
    FakeHidDevice& device(std::size_t index) { return *devices_.at(index); }

    std::vector<std::string> InterfacePaths() override;
    std::unique_ptr<HidHandle> OpenPath(const std::string& path, HidAccess access) override;

    int enumerations = 0;

  private:
    Clock& clock_;
    std::vector<std::unique_ptr<FakeHidDevice>> devices_;
};

}  // namespace vm::test
