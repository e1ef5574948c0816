#pragma once
// The narrow HID driver interface the HID device classes use: the present HID interfaces by
// device path, opening a path (for queries only, or for reading and writing), the capabilities
// with the report lengths, attributes, the three device strings, and the report transfers. The
// production backend runs on hidapi (hidraw); tests use a fake driven by a virtual controller.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/usb_library.h"

namespace vm {

// The part of the HID capabilities record the links use. Report lengths include the report-ID
// byte.
struct HidCaps {
    std::uint16_t usage = 0;
    std::uint16_t usagePage = 0;
    std::uint32_t inputReportByteLength = 0;
    std::uint32_t outputReportByteLength = 0;
    std::uint32_t featureReportByteLength = 0;
};

struct HidAttributes {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
};

enum class HidAccess {
    Query,      // no access rights: capabilities, attributes and strings only
    ReadWrite,  // report transfers as well
};

// One opened device path. Destroying it closes the path.
class HidHandle {
  public:
    virtual ~HidHandle() = default;
    // The capabilities from the device's preparsed data; nothing when that cannot be had.
    virtual std::optional<HidCaps> GetCaps() = 0;
    virtual std::optional<HidAttributes> GetAttributes() = 0;
    // The device strings as wide text; nothing when the query fails.
    virtual std::optional<std::wstring> GetManufacturerString() = 0;
    virtual std::optional<std::wstring> GetProductString() = 0;
    virtual std::optional<std::wstring> GetSerialNumberString() = 0;
    // report[0] holds the report ID on the way in; the whole report is returned in place.
    virtual bool GetInputReport(std::span<std::uint8_t> report) = 0;
    // report[0] is the report ID, the payload follows.
    virtual bool SetOutputReport(std::span<const std::uint8_t> report) = 0;
    // Cancels pending transfers on the handle.
    virtual void CancelIo() = 0;
};

class HidDriver {
  public:
    virtual ~HidDriver() = default;
    // Device paths of the present devices that expose the HID interface, in enumeration order.
    virtual std::vector<std::string> InterfacePaths() = 0;
    // Opens a path, shared for reading and writing, existing devices only; nothing on failure.
    virtual std::unique_ptr<HidHandle> OpenPath(const std::string& path, HidAccess access) = 0;
};

// The production backend on hidapi's hidraw flavour, loaded at the first enumeration that may
// find an interface. Report lengths come from the report descriptor in sysfs, or 65 (64 + report
// ID) when it cannot be read. Without the library no interface is listed.
std::shared_ptr<HidDriver> MakeHidapiDriver(UsbLibraryOptions options = {});

}  // namespace vm
