#pragma once
// What the diagnostic window and its workers share: the drive modules found by the last module
// diagnostic, the channel chosen for the amplifier or encoder work, and the two-character channel
// items of the window's channel lists ("2A": module digit and channel letter).
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

namespace vm::gui {

struct DetectedModules {
    std::uint8_t count = 0;
    // Addresses in ascending order from position 0; positions from count on hold 0.
    std::array<std::uint8_t, 6> addresses{};
};

struct DiagnosticChannel {
    std::uint8_t module = 0;
    std::uint8_t channel = 0;
};

// The channels a module's descriptor gives: the descriptor itself, but never more than the three
// channels a module has, so a garbled descriptor cannot make a worker walk through 255 channels.
inline std::uint8_t ChannelCount(std::uint8_t descriptor) { return descriptor > 3 ? 3 : descriptor; }

// "2A" for module 2, channel 1.
inline QString ChannelItem(std::uint8_t module, std::uint8_t channel) {
    return QString(QChar('0' + module)) + QChar('@' + channel);
}

// The channel an item stands for: first character minus "0", second minus "@". Anything that is
// not a module digit 1 to 6 followed by a letter A to C gives nothing, so a stray item can never
// address a module the window did not list.
inline std::optional<DiagnosticChannel> ParseChannelItem(const QString& item) {
    if (item.size() != 2) return std::nullopt;
    const int module = item[0].unicode() - '0';
    const int channel = item[1].unicode() - '@';
    if (module < 1 || module > 6 || channel < 1 || channel > 3) return std::nullopt;
    return DiagnosticChannel{static_cast<std::uint8_t>(module), static_cast<std::uint8_t>(channel)};
}

}  // namespace vm::gui
