// Resistive-sensor-module command words: readings that follow the stage positions of the drive
// module below the sensor module, excitation, minimum and maximum tracking, bit masks, a
// high-frequency recording and the settings store. Lines address the module by its wire
// address, the slot number plus 9.
#include <algorithm>
#include <functional>

#include "sim/model.h"

namespace vm::sim {

namespace {

// Readings are 24-bit numbers; a stage at position 0 reads SensorModule::reading.
constexpr std::int64_t kFullScale = (std::int64_t{1} << 24) - 1;
// Reading counts per actuator step: a step of about 0.1 um on a sensor of 14.5 mm full scale.
constexpr std::int64_t kCountsPerStep = 116;
constexpr std::int64_t kMaxExcitationHz = 30000;
constexpr std::int64_t kMaxBitmask = 24;
// A recording holds this many samples, 204.8 us apart (about 0.42 s, less than the 500 ms the
// tool waits before reading it).
constexpr std::size_t kRecordedSamples = 2048;
constexpr std::int64_t kSamplePeriodNs = 204800;

struct Addressing {
    SensorModule* module = nullptr;
    std::int64_t slot = 0;
    std::string error;
};

std::optional<int> ChannelOf(const Request& r, int i) {
    const auto channel = r.integer(i);
    if (!channel || *channel < 1 || *channel > 3) return std::nullopt;
    return static_cast<int>(*channel);
}

// The drive module whose stages the sensor module reads: the nearest one in a lower slot.
const DriveModule* WatchedDrive(Model& model, std::int64_t slot) {
    for (std::int64_t s = slot - 1; s >= 1; --s)
        if (Slot* drive = model.slot(s, ModuleKind::Drive)) return &drive->drive;
    return nullptr;
}

// The reading of a channel with its stage `steps` from position 0.
std::int64_t ReadingAt(const SensorModule& module, int channel, std::int64_t steps, std::int64_t noise) {
    if (module.excitationDuty == 0) return 0;  // no excitation, no signal
    const std::int64_t value =
        std::clamp(module.reading[channel - 1] + steps * kCountsPerStep + noise, std::int64_t{0}, kFullScale);
    const int mask = module.channel[channel - 1].bitmask;
    return value & ~((std::int64_t{1} << mask) - 1);
}

std::int64_t Reading(Model& model, const Addressing& a, int channel) {
    const DriveModule* drive = WatchedDrive(model, a.slot);
    return ReadingAt(*a.module, channel, drive != nullptr ? drive->channel[channel - 1].totalSteps : 0, 0);
}

// The module keeps the extremes of every channel; the model brings them up to date whenever a
// line reaches the module.
void Track(Model& model, const Addressing& a) {
    for (int c = 1; c <= 3; ++c) {
        const std::int64_t value = Reading(model, a, c);
        SensorChannel& ch = a.module->channel[c - 1];
        ch.minimum = std::min(ch.minimum, value);
        ch.maximum = std::max(ch.maximum, value);
    }
}

// A handler for lines with exactly `args` arguments on an existing sensor module.
CommandTable::Handler OnModule(int args, std::function<std::string(Model&, Addressing&, const Request&)> f) {
    return [args, f](Model& model, const Request& r) -> std::string {
        if (r.argCount() != args) return kCannotRead;
        const auto address = r.integer(0);
        if (!address) return kCannotRead;
        Slot* slot = model.moduleAt(*address, ModuleKind::Sensor);
        if (slot == nullptr) return kNotFound;
        Addressing a{&slot->sensor, *address - 9, {}};
        Track(model, a);
        return f(model, a, r);
    };
}

// Lines "WORD a c" on one channel.
CommandTable::Handler OnChannel(std::function<std::string(Model&, Addressing&, int)> f) {
    return OnModule(2, [f](Model& model, Addressing& a, const Request& r) -> std::string {
        const auto channel = ChannelOf(r, 1);
        if (!channel) return kCannotRead;
        return f(model, a, *channel);
    });
}

// Where the stage of a channel will be `ns` from now, following the move it is making.
std::int64_t PositionAhead(const DriveModule* drive, int channel, std::int64_t ns) {
    if (drive == nullptr) return 0;
    const DriveChannel& ch = drive->channel[channel - 1];
    if (ch.mode != DriveChannel::Mode::Stepping) return ch.totalSteps;
    std::int64_t ahead = ns * ch.frequency / 1'000'000'000;
    if (ch.steps > 0) ahead = std::min(ahead, ch.steps - ch.stepsDone);
    return ch.totalSteps + (ch.direction == 1 ? ahead : -ahead);
}

// "BUF a c": records the channel from now on.
std::string Record(Model& model, Addressing& a, int channel) {
    SensorRecording& rec = a.module->recording;
    rec.channel = channel;
    rec.startUs = model.nowUs;
    rec.samples.clear();
    const DriveModule* drive = WatchedDrive(model, a.slot);
    for (std::size_t n = 0; n < kRecordedSamples; ++n) {
        const auto i = static_cast<std::int64_t>(n);
        const std::int64_t noise = (i * 7) % 5 - 2;  // a little sensor noise, -2 to +2 counts
        rec.samples.push_back(
            ReadingAt(*a.module, channel, PositionAhead(drive, channel, i * kSamplePeriodNs), noise));
    }
    return Ack("BUF");
}

// "BUR a n scale kind": sample n of the recording, "FINISHED" past its end, "CNR" for a sample
// whose time has not come yet.
std::string ReadRecording(Model& model, Addressing& a, const Request& r) {
    const auto n = r.integer(1);
    const std::string& kind = r.arg(3);
    if (!n || *n < 0 || r.arg(2).empty() || (kind != "L" && kind != "R")) return kCannotRead;
    const SensorRecording& rec = a.module->recording;
    if (rec.channel == 0 || static_cast<std::size_t>(*n) >= rec.samples.size()) return "_BUR FINISHED\r";
    if (model.nowUs * 1000 < rec.startUs * 1000 + (*n + 1) * kSamplePeriodNs) return kCannotRead;
    return Ack("BUR", {rec.samples[static_cast<std::size_t>(*n)]});
}

std::string SetExcitation(Model&, Addressing& a, const Request& r) {
    const auto hz = r.integer(1);
    const auto duty = r.integer(2);
    if (!hz || *hz < 1 || *hz > kMaxExcitationHz) return kCannotRead;
    if (!duty || (*duty != 0 && (*duty < 10 || *duty > 100))) return kCannotRead;
    a.module->excitationHz = static_cast<int>(*hz);
    a.module->excitationDuty = static_cast<int>(*duty);
    return Ack("EXS");
}

std::string SetBitmask(Model&, Addressing& a, const Request& r) {
    const auto channel = ChannelOf(r, 1);
    const auto mask = r.integer(2);
    if (!channel || !mask || *mask < 0 || *mask > kMaxBitmask) return kCannotRead;
    a.module->channel[*channel - 1].bitmask = static_cast<int>(*mask);
    return Ack("SKS");
}

std::string StoreSettings(Model&, Addressing& a, const Request&) {
    SensorModule& m = *a.module;
    m.flash = {
        m.excitationHz, m.excitationDuty, {m.channel[0].bitmask, m.channel[1].bitmask, m.channel[2].bitmask}};
    return Ack("RSS");
}

}  // namespace

void RegisterSensorCommands(CommandTable& table) {
    table.add("PGV", OnChannel([](Model& model, Addressing& a, int c) {
                  return Ack("PGV", {Reading(model, a, c)});
              }));
    table.add("PGVA", OnModule(1, [](Model& model, Addressing& a, const Request&) {
                  return Ack("PGVA", {Reading(model, a, 1), Reading(model, a, 2), Reading(model, a, 3)});
              }));
    table.add("EXS", OnModule(3, SetExcitation));
    table.add("EXR", OnModule(1, [](Model&, Addressing& a, const Request&) {
                  return Ack("EXR", {a.module->excitationHz, a.module->excitationDuty});
              }));
    table.add("MIS", OnChannel([](Model& model, Addressing& a, int c) {
                  a.module->channel[c - 1].minimum = Reading(model, a, c);
                  return Ack("MIS");
              }));
    table.add("MAS", OnChannel([](Model& model, Addressing& a, int c) {
                  a.module->channel[c - 1].maximum = Reading(model, a, c);
                  return Ack("MAS");
              }));
    table.add("MIR", OnChannel([](Model&, Addressing& a, int c) {
                  return Ack("MIR", {a.module->channel[c - 1].minimum});
              }));
    table.add("MAR", OnChannel([](Model&, Addressing& a, int c) {
                  return Ack("MAR", {a.module->channel[c - 1].maximum});
              }));
    table.add("MMR", OnChannel([](Model& model, Addressing& a, int c) {
                  SensorChannel& ch = a.module->channel[c - 1];
                  ch.minimum = ch.maximum = Reading(model, a, c);
                  return Ack("MMR");
              }));
    table.add("SKS", OnModule(3, SetBitmask));
    table.add("SKR", OnChannel([](Model&, Addressing& a, int c) {
                  return Ack("SKR", {a.module->channel[c - 1].bitmask});
              }));
    table.add("BUF", OnChannel(Record));
    table.add("BUR", OnModule(4, ReadRecording));
    table.add("RSS", OnModule(1, StoreSettings));
}

}  // namespace vm::sim
