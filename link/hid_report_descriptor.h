#pragma once
// Report lengths of a HID device from its report descriptor, counted the way the HID class
// driver reports them: the longest report of each kind in bytes plus one byte for the report ID,
// which is counted even when the device uses no report IDs.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vm {

struct HidReportLengths {
    std::uint32_t input = 0;
    std::uint32_t output = 0;
    std::uint32_t feature = 0;
};

// Used when the descriptor cannot be read or parsed: 64 payload bytes plus the report ID byte,
// the full-speed interrupt report of the controller.
inline constexpr std::uint32_t kDefaultHidReportLength = 65;
// A report longer than this (report ID byte included) is taken as a misread descriptor.
inline constexpr std::uint32_t kMaxHidReportLength = 4097;

// Parses the short and long items of a report descriptor. Nothing for a truncated item, a
// Push/Pop imbalance or a report longer than kMaxHidReportLength.
std::optional<HidReportLengths> ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

// Report lengths of a hidraw node ("/dev/hidrawN") from
// /sys/class/hidraw/hidrawN/device/report_descriptor, or the default lengths when that file is
// missing or unusable. sysfsRoot replaces "/sys" in tests.
HidReportLengths ReportLengthsOfHidraw(std::string_view devicePath, std::string_view sysfsRoot = "/sys");

}  // namespace vm
