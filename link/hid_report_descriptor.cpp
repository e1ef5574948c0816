#include "link/hid_report_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "link/unique_fd.h"

namespace vm {

namespace {

enum class ReportKind { Input, Output, Feature };

struct GlobalState {
    std::uint32_t reportSize = 0;   // bits per field
    std::uint32_t reportCount = 0;  // fields
    std::uint32_t reportId = 0;
};

// Descriptors nest Push items only a few levels deep; more is taken as a broken descriptor.
constexpr std::size_t kMaxPushDepth = 16;
// The largest descriptor the kernel hands out.
constexpr std::size_t kMaxDescriptorSize = 4096;

std::uint32_t ItemData(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data.size(); ++i) value |= std::uint32_t{data[i]} << (8 * i);
    return value;
}

}  // namespace

std::optional<HidReportLengths> ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
    GlobalState global;
    std::vector<GlobalState> stack;
    // Bits per report ID, for each kind.
    std::map<std::pair<ReportKind, std::uint32_t>, std::uint64_t> bits;

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == 0xFE) {  // long item: size, tag, data; carries nothing we count
            if (pos + 2 >= descriptor.size()) return std::nullopt;
            const std::size_t size = descriptor[pos + 1];
            if (pos + 3 + size > descriptor.size()) return std::nullopt;
            pos += 3 + size;
            continue;
        }
        static constexpr std::array<std::size_t, 4> kSizes{0, 1, 2, 4};
        const std::size_t size = kSizes[prefix & 0x03];
        const std::uint8_t type = (prefix >> 2) & 0x03;
        const std::uint8_t tag = prefix >> 4;
        if (pos + 1 + size > descriptor.size()) return std::nullopt;
        const std::uint32_t value = ItemData(descriptor.subspan(pos + 1, size));
        pos += 1 + size;

        if (type == 0) {  // main item
            std::optional<ReportKind> kind;
            if (tag == 0x8) kind = ReportKind::Input;
            if (tag == 0x9) kind = ReportKind::Output;
            if (tag == 0xB) kind = ReportKind::Feature;
            if (kind) {
                std::uint64_t& total = bits[{*kind, global.reportId}];
                total += std::uint64_t{global.reportSize} * global.reportCount;
                if (total > std::uint64_t{kMaxHidReportLength} * 8) return std::nullopt;
            }
        } else if (type == 1) {  // global item
            switch (tag) {
                case 0x7:
                    global.reportSize = value;
                    break;
                case 0x8:
                    global.reportId = value;
                    break;
                case 0x9:
                    global.reportCount = value;
                    break;
                case 0xA:
                    if (stack.size() >= kMaxPushDepth) return std::nullopt;
                    stack.push_back(global);
                    break;
                case 0xB:
                    if (stack.empty()) return std::nullopt;
                    global = stack.back();
                    stack.pop_back();
                    break;
                default:
                    break;
            }
        }
    }

    HidReportLengths lengths;
    for (const auto& [key, count] : bits) {
        const std::uint32_t bytes = static_cast<std::uint32_t>((count + 7) / 8) + 1;
        if (bytes > kMaxHidReportLength) return std::nullopt;
        std::uint32_t& field = key.first == ReportKind::Input    ? lengths.input
                               : key.first == ReportKind::Output ? lengths.output
                                                                 : lengths.feature;
        field = std::max(field, bytes);
    }
    return lengths;
}

HidReportLengths ReportLengthsOfHidraw(std::string_view devicePath, std::string_view sysfsRoot) {
    const HidReportLengths fallback{kDefaultHidReportLength, kDefaultHidReportLength, 0};
    // Only "/dev/hidrawN" names a node whose descriptor we know where to find.
    constexpr std::string_view kPrefix = "/dev/";
    if (!devicePath.starts_with(kPrefix)) return fallback;
    const std::string_view node = devicePath.substr(kPrefix.size());
    constexpr std::string_view kHidraw = "hidraw";
    if (!node.starts_with(kHidraw) || node.size() == kHidraw.size() ||
        !std::all_of(node.begin() + kHidraw.size(), node.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return fallback;

    const std::string file =
        std::string(sysfsRoot) + "/class/hidraw/" + std::string(node) + "/device/report_descriptor";
    // Plain reads rather than a file stream: the stream would bring the whole locale machinery
    // into every program that links the USB links, and with it thousands of start-up relocations.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fallback;
    std::vector<std::uint8_t> data(kMaxDescriptorSize + 1);
    std::size_t n = 0;
    while (n < data.size()) {
        const ssize_t got = ::read(fd.get(), data.data() + n, data.size() - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fallback;
        if (got == 0) break;
        n += static_cast<std::size_t>(got);
    }
    if (n == 0 || n > kMaxDescriptorSize) return fallback;
    data.resize(n);
    const auto parsed = ParseReportDescriptor(data);
    if (!parsed || (parsed->input == 0 && parsed->output == 0)) return fallback;
    return *parsed;
}

}  // namespace vm
