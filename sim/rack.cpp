#include "sim/rack.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace vm::sim {

namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::optional<SlotConfig> ParseSlot(std::string_view letter) {
    if (letter == "C" || letter == "C3") return SlotConfig{ModuleKind::Drive, 3};
    if (letter == "C1") return SlotConfig{ModuleKind::Drive, 1};
    if (letter == "O") return SlotConfig{ModuleKind::Encoder, 3};
    if (letter == "R") return SlotConfig{ModuleKind::Sensor, 3};
    if (letter == "-") return SlotConfig{ModuleKind::Empty, 3};
    return std::nullopt;
}

}  // namespace

RackConfig RackConfig::Default() { return *ParseRack("C,O,C,O,R,-"); }

std::optional<RackConfig> ParseRack(std::string_view text) {
    RackConfig rack;
    int index = 0;
    while (true) {
        const auto comma = text.find(',');
        const auto part = Trim(text.substr(0, comma));
        if (index >= RackConfig::kSlots) return std::nullopt;
        const auto slot = ParseSlot(part);
        if (!slot) return std::nullopt;
        rack.slots[index++] = *slot;
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    if (index != RackConfig::kSlots) return std::nullopt;
    return rack;
}

char ScanLetter(ModuleKind kind) {
    switch (kind) {
        case ModuleKind::Drive:
            return 'C';
        case ModuleKind::Encoder:
            return 'O';
        case ModuleKind::Sensor:
            return 'R';
        case ModuleKind::Empty:
            break;
    }
    return '-';
}

std::string RackSpec(const RackConfig& rack) {
    std::string text;
    for (const auto& slot : rack.slots) {
        if (!text.empty()) text += ',';
        text += ScanLetter(slot.kind);
        if (slot.kind == ModuleKind::Drive && slot.channels == 1) text += '1';
    }
    return text;
}

std::optional<RackConfig> LoadRackFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    auto fail = [&](const std::string& message) -> std::optional<RackConfig> {
        if (error) *error = path + ": " + message;
        return std::nullopt;
    };
    if (!in) return fail("cannot be read");
    RackConfig rack = RackConfig::Default();
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string_view line = raw;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos)
            return fail("line " + std::to_string(number) + ": expected key = value");
        const auto key = Trim(line.substr(0, equals));
        const auto value = Trim(line.substr(equals + 1));
        if (key == "rack") {
            const auto parsed = ParseRack(value);
            if (!parsed) return fail("line " + std::to_string(number) + ": bad rack");
            rack.slots = parsed->slots;
        } else if (key == "configuration" && value.size() == 1 && value[0] > ' ' && value[0] < 127) {
            rack.configuration = value[0];
        } else if (key == "pulses-per-step") {
            std::istringstream number_in{std::string(value)};
            int pulses = 0;
            if (!(number_in >> pulses) || !number_in.eof() || pulses < 0 || pulses > 10000)
                return fail("line " + std::to_string(number) + ": pulses-per-step must be 0 to 10000");
            rack.pulsesPerStep = pulses;
        } else if (key == "signal") {
            // "2.1 weak40": the channel, blanks, the signal.
            const auto blank = value.find_first_of(" \t");
            const auto rest = blank == std::string_view::npos ? std::string_view{} : Trim(value.substr(blank));
            const auto signal = ParseChannelSignal(std::string(value.substr(0, blank)) + "=" + std::string(rest));
            if (!signal) return fail("line " + std::to_string(number) + ": expected signal = SLOT.CH SIGNAL");
            rack.signals.push_back(*signal);
        } else {
            return fail("line " + std::to_string(number) + ": unknown setting");
        }
    }
    return rack;
}

}  // namespace vm::sim
