// Front-end command words: the module map, the user memory of 18 channel records, the network
// settings, the descriptor word and firmware versions. These lines carry no module address
// ("CLS" and "CSS" carry the user-memory channel index).
#include "sim/model.h"

namespace vm::sim {

namespace {

// Type and tag texts are kept to 8 characters, the most the desktop program shows and parses.
constexpr std::size_t kRecordTextMax = 8;
// A store whose type and tag are both the single byte 0xFF clears the whole user memory; this
// is how the desktop program asks for "clear all".
constexpr std::string_view kClearMarker = "\xff";

std::string ScanWord(const Model& model) {
    // Configuration letter, one unused character, then one letter per slot.
    std::string word{model.rack.configuration, '0'};
    for (const auto& slot : model.slots) word += ScanLetter(slot.kind);
    return word;
}

template <typename F>
CommandTable::Handler NoArguments(F f) {
    return [f](Model& model, const Request& r) -> std::string {
        if (r.argCount() != 0) return kCannotRead;
        return f(model);
    };
}

std::string ModuleMap(const Model& model, bool encoders) {
    std::vector<std::int64_t> entries;
    for (int i = 1; i <= RackConfig::kSlots; ++i) {
        if (!encoders) {
            entries.push_back(model.slots[i - 1].kind == ModuleKind::Drive ? i : 0);
        } else {
            // Entry i names the encoder module that serves the drive module in slot i: it sits in
            // slot i + 1 and answers at i + 10.
            const bool present = i < RackConfig::kSlots && model.slots[i].kind == ModuleKind::Encoder;
            entries.push_back(present ? i + 10 : 0);
        }
    }
    return Ack(encoders ? "GOM" : "GCM", entries);
}

std::optional<int> RecordIndex(const Request& r) {
    const auto index = r.integer(0);
    if (!index || *index < 1 || *index > FrontEnd::kChannels) return std::nullopt;
    return static_cast<int>(*index);
}

std::string LoadChannel(Model& model, const Request& r) {
    const auto index = RecordIndex(r);
    if (r.argCount() != 1 || !index) return kCannotRead;
    const ChannelRecord& c = model.front.memory[*index - 1];
    return "_CLS " + std::to_string(*index) + " " + std::to_string(c.frequency) + " " +
           std::to_string(c.stepSize) + " " + std::to_string(c.temperature) + " " + std::to_string(c.paramB) +
           " " + std::to_string(c.paramA) + " " + c.type + " " + c.tag + " " + std::to_string(c.invert) +
           "\r";
}

std::string StoreChannel(Model& model, const Request& r) {
    const auto index = RecordIndex(r);
    if (r.argCount() != 9 || !index) return kCannotRead;
    if (r.arg(6) == kClearMarker && r.arg(7) == kClearMarker) {
        model.front.memory.fill(ChannelRecord{});
        return Ack("CSS");
    }
    std::array<std::int64_t, 6> numbers{};
    for (int i : {1, 2, 3, 4, 5, 8}) {
        const auto value = r.integer(i);
        if (!value || *value < 0 || *value > 65535) return kCannotRead;
        numbers[i == 8 ? 0 : i] = *value;
    }
    ChannelRecord& c = model.front.memory[*index - 1];
    c.frequency = static_cast<int>(numbers[1]);
    c.stepSize = static_cast<int>(numbers[2]);
    c.temperature = static_cast<int>(numbers[3]);
    c.paramB = static_cast<int>(numbers[4]);
    c.paramA = static_cast<int>(numbers[5]);
    c.invert = static_cast<int>(numbers[0]);
    c.type = r.arg(6).substr(0, kRecordTextMax);
    c.tag = r.arg(7).substr(0, kRecordTextMax);
    return Ack("CSS");
}

std::string SetNetwork(Model& model, const Request& r) {
    if (r.argCount() != 13) return kCannotRead;
    std::array<int, 13> settings{};
    for (int i = 0; i < 13; ++i) {
        const auto value = r.integer(i);
        if (!value || *value < 0 || *value > 255) return kCannotRead;
        settings[i] = static_cast<int>(*value);
    }
    model.front.network = settings;
    if (model.persist && !model.persist(model)) return kCannotRead;
    return Ack("IPS");
}

std::string FirmwareVersion(Model& model, const Request& r) {
    if (r.argCount() != 1) return kCannotRead;
    const auto address = r.integer(0);
    if (!address) return kCannotRead;
    if (*address == 0) return "_FIV " + model.front.version + "\r";
    // Drive modules answer at their slot, encoder and sensor modules at their slot plus 9.
    if (Slot* s = model.slot(*address, ModuleKind::Drive)) return "_FIV " + s->drive.version + "\r";
    if (Slot* s = model.moduleAt(*address, ModuleKind::Encoder)) return "_FIV " + s->encoder.version + "\r";
    if (Slot* s = model.moduleAt(*address, ModuleKind::Sensor)) return "_FIV " + s->sensor.version + "\r";
    return kNotFound;
}

}  // namespace

void RegisterFrontEndCommands(CommandTable& table) {
    table.add("SCN", NoArguments([](Model& m) { return "_SCN " + ScanWord(m) + "\r"; }));
    table.add("GCM", NoArguments([](Model& m) { return ModuleMap(m, false); }));
    table.add("GOM", NoArguments([](Model& m) { return ModuleMap(m, true); }));
    table.add("CLS", LoadChannel);
    table.add("CSS", StoreChannel);
    table.add("STF", NoArguments([](Model& m) {
                  m.front.flash = m.front.memory;
                  if (m.persist && !m.persist(m)) return kCannotRead;
                  return Ack("STF");
              }));
    table.add("IPR", NoArguments([](Model& m) {
                  return Ack("IPR",
                             std::vector<std::int64_t>(m.front.network.begin(), m.front.network.end()));
              }));
    table.add("IPS", SetNetwork);
    table.add("SUD", [](Model& m, const Request& r) -> std::string {
        if (r.argCount() != 1) return kCannotRead;
        m.front.descriptor = r.arg(0).substr(0, 15);
        return Ack("SUD");
    });
    table.add("FIV", FirmwareVersion);
}

}  // namespace vm::sim
