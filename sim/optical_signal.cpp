#include "sim/optical_signal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace vm::sim {

namespace {

// The detector needs a swing above its own noise floor plus amplifier noise that grows with the
// square root of the amplification.
constexpr double kNoiseFloorSwing = 15;
constexpr double kAmplifierNoiseSwing = 4.5;
constexpr double kMaxLevel = 255;

std::optional<double> Level(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end || !(value >= 0) ||
        !(value <= kMaxLevel))
        return std::nullopt;
    return value;
}

std::optional<int> Digit(std::string_view text, int low, int high) {
    if (text.size() != 1 || text[0] < '0' + low || text[0] > '0' + high) return std::nullopt;
    return text[0] - '0';
}

}  // namespace

double Amplification(int gain) { return 1.0 + gain * 100.0 / 256.0; }

int AmplifiedLevel(double level, int gain) {
    const double amplified = std::round(level * Amplification(gain));
    return static_cast<int>(std::clamp(amplified, 0.0, kMaxLevel));
}

double DetectableSwing(int gain) {
    return kNoiseFloorSwing + kAmplifierNoiseSwing * std::sqrt(Amplification(gain));
}

bool Detects(const OpticalSignal& signal, int gain) {
    return AmplifiedLevel(signal.high, gain) - AmplifiedLevel(signal.low, gain) >= DetectableSwing(gain);
}

const std::vector<NamedSignal>& NamedSignals() {
    static const std::vector<NamedSignal> kSignals = {
        {"good", {100, 4}, "counts at gain 1x; the recheck succeeds"},
        {"weak10", {12, 0.3}, "needs 10x and is then good; the recheck succeeds"},
        {"noisy10", {8, 2}, "needs 10x and is then bad; its thresholds come out 0 and the recheck fails"},
        {"weak40", {3.02, 0.52}, "needs 40x, bad signal; the recheck succeeds"},
        {"faint", {6, 0}, "needs 10x but stays too low: second-stage error"},
        {"dark", {0.5, 0}, "too weak for any gain: initial-stage error"},
        {"bright",
         {100, 30},
         "good at 1x, but the new gain saturates both levels: the recheck counts nothing"},
        {"offset", {100, 5}, "good at 1x, but the new gain lifts the low level too far: the recheck fails"},
    };
    return kSignals;
}

std::optional<OpticalSignal> ParseOpticalSignal(std::string_view text) {
    for (const NamedSignal& named : NamedSignals())
        if (named.name == text) return named.signal;
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto high = Level(text.substr(0, slash));
    const auto low = Level(text.substr(slash + 1));
    if (!high || !low) return std::nullopt;
    return OpticalSignal{*high, *low};
}

std::optional<ChannelSignal> ParseChannelSignal(std::string_view text) {
    const auto dot = text.find('.');
    const auto equals = text.find('=');
    if (dot == std::string_view::npos || equals == std::string_view::npos || dot > equals)
        return std::nullopt;
    const auto slot = Digit(text.substr(0, dot), 1, 6);
    const auto channel = Digit(text.substr(dot + 1, equals - dot - 1), 1, 3);
    const auto signal = ParseOpticalSignal(text.substr(equals + 1));
    if (!slot || !channel || !signal) return std::nullopt;
    return ChannelSignal{*slot, *channel, *signal};
}

}  // namespace vm::sim
