#pragma once
// The optical signal of an encoder channel as the detector sees it: a high and a low level before
// the post-detector gain, the amplification of a gain value, and whether the detector turns the
// amplified signal into pulses. Named signals cover the outcomes of a calibration run (a good
// signal, weak ones that need more gain, one too weak for any gain, ones that fail the recheck).
#include <optional>
#include <string_view>
#include <vector>

namespace vm::sim {

struct OpticalSignal {
    double high = 100;  // levels before the gain, 0 to 255
    double low = 4;
};

// A signal chosen for one encoder channel: slot 1 to 6, channel 1 to 3.
struct ChannelSignal {
    int slot = 0;
    int channel = 0;
    OpticalSignal signal;
};

// The gain value g (0 to 255) amplifies by 1 + g × 100 / 256: about 1, 10 and 40 for 0, 25, 100.
double Amplification(int gain);
// A level after the gain, rounded and limited to 0 to 255.
int AmplifiedLevel(double level, int gain);
// The smallest swing between the amplified high and low levels that the detector counts. The
// amplifier's own noise grows with the gain, so a higher gain needs a larger swing: 19.5 at
// gain 0, about 30 at gain 25, 43 at gain 100 and 47 at gain 128.
double DetectableSwing(int gain);
// True when the amplified signal swings enough to give pulses. A gain that drives both levels
// into the limit leaves no swing, so too much gain counts nothing either.
bool Detects(const OpticalSignal& signal, int gain);

struct NamedSignal {
    std::string_view name;
    OpticalSignal signal;
    std::string_view outcome;  // what a calibration run on it ends in
};
const std::vector<NamedSignal>& NamedSignals();

// A signal name ("weak40") or two levels "HIGH/LOW" ("3/0.5"), each 0 to 255.
std::optional<OpticalSignal> ParseOpticalSignal(std::string_view text);
// "SLOT.CH=SIGNAL", for example "2.1=weak40".
std::optional<ChannelSignal> ParseChannelSignal(std::string_view text);

}  // namespace vm::sim
