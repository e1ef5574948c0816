// Encoder-module command words: counter direction, hold, read and zero; detector gain and
// thresholds with their flash copy; laser duty cycle; calibration sampling. Lines address the
// module by its wire address, the slot number plus 9.
#include <algorithm>

#include "sim/model.h"
#include "sim/optical_signal.h"

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

// Detector values and the laser duty cycle, and the calibration block numbers they accept.
constexpr std::int64_t kMaxDetectorValue = 255;
constexpr std::int64_t kMinLaserDutyCycle = 2;
constexpr std::int64_t kMaxLaserDutyCycle = 1000;
constexpr std::int64_t kMaxSampleBlock = 1023;

// Lines "WORD a ..." with exactly `args` arguments: the module and its slot number.
struct Addressing {
    EncoderModule* module = nullptr;
    std::int64_t slot = 0;
    std::string error;
};

Addressing Address(Model& model, const Request& r, int args) {
    Addressing a;
    if (r.argCount() != args) {
        a.error = kCannotRead;
        return a;
    }
    a.module = Addressed(model, r, &a.error);
    if (a.module != nullptr) a.slot = *r.integer(0) - 9;
    return a;
}

std::optional<int> ChannelOf(const Request& r, int i) {
    const auto channel = r.integer(i);
    if (!channel || *channel < 1 || *channel > 3) return std::nullopt;
    return static_cast<int>(*channel);
}

// "DSG a c v", "DSH a c v", "DSL a c v": one detector value of one channel.
CommandTable::Handler SetDetector(const char* word, int EncoderChannel::*field) {
    return [word, field](Model& model, const Request& r) -> std::string {
        Addressing a = Address(model, r, 3);
        if (a.module == nullptr) return a.error;
        const auto channel = ChannelOf(r, 1);
        const auto value = r.integer(2);
        if (!channel || !value || *value < 0 || *value > kMaxDetectorValue) return kCannotRead;
        a.module->channel[*channel - 1].*field = static_cast<int>(*value);
        return Ack(word);
    };
}

// The actuator an encoder channel watches: the same channel of the drive module in the slot before.
const DriveChannel* PairedDrive(Model& model, std::int64_t encoderSlot, int channel) {
    Slot* drive = model.slot(encoderSlot - 1, ModuleKind::Drive);
    return drive != nullptr ? &drive->drive.channel[channel - 1] : nullptr;
}

// Pulses seen since "CAL": one per encoder pulse of the paired actuator's travel, in either
// direction, while the signal swings enough at the gain of the start to be detected.
std::int64_t CalibrationPulses(Model& model, std::int64_t slot, const EncoderModule& module) {
    const EncoderCalibration& cal = module.calibration;
    if (!cal.running) return cal.pulses;
    if (!cal.detected) return 0;
    const DriveChannel* drive = PairedDrive(model, slot, cal.channel);
    return drive != nullptr ? (drive->travelledSteps - cal.startSteps) * model.rack.pulsesPerStep : 0;
}

// Sample i of a level: the level with a little deterministic noise of -3 to +3.
int Sample(int level, std::int64_t i) {
    const auto noise = static_cast<int>((i * 5 + i / 8 * 3) % 7) - 3;
    return std::clamp(level + noise, 0, 255);
}

std::string StartCalibration(Model& model, const Request& r) {
    Addressing a = Address(model, r, 2);
    if (a.module == nullptr) return a.error;
    const auto channel = ChannelOf(r, 1);
    if (!channel) return kCannotRead;
    const EncoderChannel& ch = a.module->channel[*channel - 1];
    const DriveChannel* drive = PairedDrive(model, a.slot, *channel);
    const OpticalSignal signal{ch.signalHigh, ch.signalLow};
    a.module->calibration = {true,
                             *channel,
                             drive != nullptr ? drive->travelledSteps : 0,
                             0,
                             AmplifiedLevel(signal.high, ch.gain),
                             AmplifiedLevel(signal.low, ch.gain),
                             Detects(signal, ch.gain)};
    return Ack("CAL");
}

std::string StopCalibration(Model& model, const Request& r) {
    Addressing a = Address(model, r, 1);
    if (a.module == nullptr) return a.error;
    EncoderCalibration& cal = a.module->calibration;
    cal.pulses = CalibrationPulses(model, a.slot, *a.module);
    cal.running = false;
    return Ack("CAS");
}

// "_CCT high low": the pulses counted, which are also the numbers of high and low samples.
std::string CalibrationCount(Model& model, const Request& r) {
    Addressing a = Address(model, r, 1);
    if (a.module == nullptr) return a.error;
    const std::int64_t pulses = CalibrationPulses(model, a.slot, *a.module);
    return Ack("CCT", {pulses, pulses});
}

// "CRP a b" and "CRV a b": block b of eight high or low samples.
CommandTable::Handler SampleBlock(const char* word, bool high) {
    return [word, high](Model& model, const Request& r) -> std::string {
        Addressing a = Address(model, r, 2);
        if (a.module == nullptr) return a.error;
        const auto block = r.integer(1);
        if (!block || *block < 0 || *block > kMaxSampleBlock) return kCannotRead;
        const EncoderCalibration& cal = a.module->calibration;
        std::vector<std::int64_t> values;
        for (std::int64_t i = 8 * *block; i < 8 * *block + 8; ++i)
            values.push_back(Sample(high ? cal.sampleHigh : cal.sampleLow, i));
        return Ack(word, values);
    };
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
    table.add("DSG", SetDetector("DSG", &EncoderChannel::gain));
    table.add("DSH", SetDetector("DSH", &EncoderChannel::high));
    table.add("DSL", SetDetector("DSL", &EncoderChannel::low));
    table.add("MLS", OnChannel(false, [](EncoderChannel& ch) {
                  ch.gain = ch.flashGain;
                  ch.high = ch.flashHigh;
                  ch.low = ch.flashLow;
                  return Ack("MLS", {ch.gain, ch.high, ch.low});
              }));
    table.add("MSS", OnChannel(false, [](EncoderChannel& ch) {
                  ch.flashGain = ch.gain;
                  ch.flashHigh = ch.high;
                  ch.flashLow = ch.low;
                  return Ack("MSS");
              }));
    table.add("SLD", [](Model& model, const Request& r) -> std::string {
        Addressing a = Address(model, r, 2);
        if (a.module == nullptr) return a.error;
        const auto duty = r.integer(1);
        if (!duty || *duty < kMinLaserDutyCycle || *duty > kMaxLaserDutyCycle) return kCannotRead;
        a.module->laserDutyCycle = static_cast<int>(*duty);
        return Ack("SLD");
    });
    table.add("CAL", StartCalibration);
    table.add("CAS", StopCalibration);
    table.add("CCT", CalibrationCount);
    table.add("CRP", SampleBlock("CRP", true));
    table.add("CRV", SampleBlock("CRV", false));
}

}  // namespace vm::sim
