#pragma once
// The layout of a virtual rack: what sits in each of the six slots and the front end's
// configuration letter. A rack is written as six comma-separated slot letters:
//   C   drive module with three channels (descriptor 3)
//   C1  drive module with one channel (descriptor 1); "C3" is the same as "C"
//   O   optical encoder module
//   R   resistive sensor module
//   -   empty slot
// for example "C,O,C,O,R,-" (the default: two drive modules each followed by its encoder module,
// and one sensor module).
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/optical_signal.h"

namespace vm::sim {

enum class ModuleKind { Empty, Drive, Encoder, Sensor };

struct SlotConfig {
    ModuleKind kind = ModuleKind::Empty;
    int channels = 3;  // drive modules: the descriptor, 1 or 3
};

struct RackConfig {
    static constexpr int kSlots = 6;
    std::array<SlotConfig, kSlots> slots{};
    char configuration = 'A';  // first character of the "SCN" word
    // Encoder pulses counted per actuator step while a counter counts.
    int pulsesPerStep = 1;
    // Optical signals of single encoder channels; the others keep the default good signal.
    // Entries for slots that hold no encoder module are ignored.
    std::vector<ChannelSignal> signals;

    static RackConfig Default();
};

// Parses "C,O,R,-,-,-"; nullopt when the text is not six known slot letters.
std::optional<RackConfig> ParseRack(std::string_view text);
// The slot letters of a rack in the form ParseRack reads.
std::string RackSpec(const RackConfig& rack);
// The letter of a slot in the "SCN" module word.
char ScanLetter(ModuleKind kind);

// Reads a small config file of "key = value" lines ("#" starts a comment):
//   rack = C,O,C,O,R,-
//   configuration = A
//   pulses-per-step = 1
//   signal = 2.1 weak40        (encoder slot.channel and a signal, see sim/optical_signal.h)
// Unknown keys or bad values give nullopt and a message in *error.
std::optional<RackConfig> LoadRackFile(const std::string& path, std::string* error);

}  // namespace vm::sim
