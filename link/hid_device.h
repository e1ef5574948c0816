#pragma once
// HID device objects: one present HID device with its strings, attributes and report lengths
// (CUSBHumanInterfaceDevice), the text reader on top of it (CUSBHIDSerialStringWriter), the
// enumeration filters, and the process-wide array of ten device objects that every HID link of
// a process shares.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/fixed_text.h"
#include "link/hid_driver.h"

namespace vm {

using HidString = FixedText<128>;

// The low byte of each of the first code units, up to the first zero unit; at most 127
// characters.
HidString NarrowHidString(std::wstring_view text);

class CUSBHumanInterfaceDevice {
  public:
    CUSBHumanInterfaceDevice() = default;
    CUSBHumanInterfaceDevice(const CUSBHumanInterfaceDevice&) = delete;
    CUSBHumanInterfaceDevice& operator=(const CUSBHumanInterfaceDevice&) = delete;
    virtual ~CUSBHumanInterfaceDevice() = default;

    // Opens the device path for reading and writing; an open device is closed first, so a failed
    // reopen leaves it closed.
    bool OpenDevice();
    bool IsOpen() const { return open_; }
    // Cancels pending transfers; false when there was no handle.
    bool CloseDevice();
    // Sends the bytes in output reports of outputReportLength bytes: report ID 0, then the
    // payload, zero padded. False when not open, when there is nothing to send, or when a report
    // fails (the rest is not sent).
    bool WriteBytes(std::span<const std::uint8_t> bytes);
    // The text immediately followed by the suffix, without terminator.
    bool WriteText(std::string_view text, std::string_view suffix);
    // One input report with report ID 0; its payload (inputReportLength - 1 bytes) replaces the
    // content of payload. False with an empty payload on failure.
    bool ReadReport(std::vector<std::uint8_t>& payload);

    // Takes over what one enumeration step learned about a present device.
    void Fill(HidDriver& driver, std::string path, const HidCaps& caps, HidHandle& handle);

    const std::string& path() const { return path_; }
    const HidString& manufacturer() const { return manufacturer_; }
    const HidString& product() const { return product_; }
    const HidString& serial() const { return serial_; }
    std::uint32_t vendorId() const { return vendorId_; }
    std::uint32_t productId() const { return productId_; }
    std::uint32_t version() const { return version_; }
    const HidCaps& caps() const { return caps_; }
    std::uint32_t inputReportLength() const { return inputReportLength_; }
    std::uint32_t outputReportLength() const { return outputReportLength_; }

  private:
    HidDriver* driver_ = nullptr;
    std::unique_ptr<HidHandle> handle_;
    bool open_ = false;
    std::string path_;  // the interface detail: the path the device is opened by
    HidString manufacturer_;
    HidString product_;
    HidString serial_;
    HidAttributes attributes_;
    std::uint32_t vendorId_ = 0;
    std::uint32_t productId_ = 0;
    std::uint32_t version_ = 0;
    HidCaps caps_;
    std::uint32_t inputReportLength_ = 0;
    std::uint32_t outputReportLength_ = 0;
};

// Text from input reports: a text ends at a zero byte, and what a report carries after its first
// zero byte is dropped. Characters beyond the maximum stay queued for the next call.
class CUSBHIDSerialStringWriter final : public CUSBHumanInterfaceDevice {
  public:
    // Appends at most maximum bytes to destination (a returned zero byte ends the text and is
    // counted); returns the count.
    std::size_t ReadText(char* destination, std::size_t maximum);
    std::size_t queued() const { return queue_.size(); }

  private:
    // Appends a payload up to and including its first zero byte.
    void queuePayload(const std::vector<std::uint8_t>& payload);

    std::deque<std::uint8_t> queue_;
};

class USBHIDEnumFilter {
  public:
    virtual ~USBHIDEnumFilter() = default;
    // Any valid handle.
    virtual bool Accept(HidHandle* handle) { return handle != nullptr; }
};

class USBHIDEnumProductStringFilter final : public USBHIDEnumFilter {
  public:
    explicit USBHIDEnumProductStringFilter(std::string_view product) : product_(product) {}
    // A valid handle whose product string can be read and equals the wanted text.
    bool Accept(HidHandle* handle) override;

  private:
    std::string product_;
};

// Fills the first device objects with the present HID devices the filter accepts (every device
// without a filter); later objects keep what they held. Returns the number stored, at most
// maximum and the array's size.
int EnumerateDevices(HidDriver& driver, std::span<CUSBHIDSerialStringWriter> devices, int maximum,
                     USBHIDEnumFilter* filter);

// The ten device objects of a process and its current HID device; shared by every HID link.
struct HidDeviceArray {
    static constexpr std::size_t kCount = 10;

    explicit HidDeviceArray(std::shared_ptr<HidDriver> hidDriver) : driver(std::move(hidDriver)) {}

    std::shared_ptr<HidDriver> driver;
    std::array<CUSBHIDSerialStringWriter, kCount> devices;
    CUSBHIDSerialStringWriter* current = nullptr;
};

}  // namespace vm
