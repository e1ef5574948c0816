// Encoder-module command words: counter direction, hold, read and zero. Lines address the
// module by its wire address, the slot number plus 9.
#include "sim/model.h"

namespace vm::sim {

namespace {

// Counters travel offset by 131072, so a reply of 131072 is the count 0.
constexpr std::int64_t kCounterOffset = 131072;

EncoderModule* Addressed(Model& model, const Request& r, std::string* error) {
    const auto address = r.integer(0);
    if (!address) {
        *error = kCannotRead;
        return nullptr;
    }
    Slot* slot = model.moduleAt(*address, ModuleKind::Encoder);
    if (slot == nullptr) {
        *error = kNotFound;
        return nullptr;
    }
    return &slot->encoder;
}

// Lines "WORD a c" (and "WORD a c lowlevel" where allowed) on one counter channel.
template <typename F>
CommandTable::Handler OnChannel(bool lowLevelForm, F f) {
    return [lowLevelForm, f](Model& model, const Request& r) -> std::string {
        const int args = r.argCount() - (lowLevelForm && r.endsWith("lowlevel") ? 1 : 0);
        if (args != 2) return kCannotRead;
        std::string error;
        EncoderModule* module = Addressed(model, r, &error);
        if (module == nullptr) return error;
        const auto channel = r.integer(1);
        if (!channel || *channel < 1 || *channel > 3) return kCannotRead;
        return f(module->channel[*channel - 1]);
    };
}

CommandTable::Handler SetCount(const char* word, EncoderChannel::Count count) {
    return OnChannel(true, [word, count](EncoderChannel& ch) {
        ch.count = count;
        return Ack(word);
    });
}

std::string ReadAll(Model& model, const Request& r) {
    if (r.argCount() != 1) return kCannotRead;
    std::string error;
    EncoderModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    return Ack("CGVA",
               {module->channel[0].counter + kCounterOffset, module->channel[1].counter + kCounterOffset,
                module->channel[2].counter + kCounterOffset});
}

}  // namespace

void RegisterEncoderCommands(CommandTable& table) {
    table.add("CCU", SetCount("CCU", EncoderChannel::Count::Up));
    table.add("CCD", SetCount("CCD", EncoderChannel::Count::Down));
    table.add("CSH", SetCount("CSH", EncoderChannel::Count::Hold));
    table.add("CGV", OnChannel(false, [](EncoderChannel& ch) {
                  return Ack("CGV", {ch.counter + kCounterOffset, ch.analog});
              }));
    table.add("CGVA", ReadAll);
    table.add("CSZ", OnChannel(false, [](EncoderChannel& ch) {
                  ch.counter = 0;
                  return Ack("CSZ");
              }));
}

}  // namespace vm::sim
