// Drive-module command words: moves (stepping and DC level), stops, status, failsafe and the
// descriptor. Lines address the module by its slot number, 1 to 6.
#include "sim/model.h"

namespace vm::sim {

namespace {

using Mode = DriveChannel::Mode;

// The status word of a set of channels: any stepping channel makes the module busy, then a
// held DC level, then external-input drive.
std::string StatusOf(const DriveModule& module, int first, int last) {
    bool dc = false;
    bool external = false;
    for (int c = first; c <= last; ++c) {
        const Mode mode = module.channel[c - 1].mode;
        if (mode == Mode::Stepping) return Ack("MOV");
        dc = dc || mode == Mode::Dc;
        external = external || mode == Mode::External;
    }
    if (dc) return Ack("MDC");
    if (external) return Ack("EXT");
    return Ack("STP");
}

// Finds the addressed drive module; the reply for a bad line or an empty slot goes to *error.
// Lines ending in OEMC come from the encoder calibration, which names the encoder module's slot:
// they reach the drive module that this encoder module serves, in the slot before it.
DriveModule* Addressed(Model& model, const Request& r, std::string* error) {
    auto address = r.integer(0);
    if (!address) {
        *error = kCannotRead;
        return nullptr;
    }
    if (r.endsWith("OEMC")) {
        if (model.slot(*address, ModuleKind::Encoder) == nullptr) {
            *error = kNotFound;
            return nullptr;
        }
        *address -= 1;
    }
    Slot* slot = model.slot(*address, ModuleKind::Drive);
    if (slot == nullptr) {
        *error = kNotFound;
        return nullptr;
    }
    return &slot->drive;
}

// The channel argument at index i, 1 to the module's channel count.
std::optional<int> ChannelArg(const DriveModule& module, const Request& r, int i) {
    const auto channel = r.integer(i);
    if (!channel || *channel < 1 || *channel > module.channels) return std::nullopt;
    return static_cast<int>(*channel);
}

using Measurement = DriveMeasurement::Kind;

bool Measuring(const DriveModule& module, std::int64_t nowUs) {
    return module.measurement.kind != Measurement::None && nowUs < module.measurement.untilUs;
}

// The drive fields of a move; steps 0 runs until stopped.
struct MoveFields {
    int direction;
    int frequency;
    int stepSize;
    std::int64_t steps;
    int riseTime;
    std::string waveform;
};

// Takes a channel's new move from now on; the caller sets the mode (stepping or DC level).
void Start(DriveChannel& ch, std::int64_t nowUs, const MoveFields& f) {
    ch.direction = f.direction;
    ch.frequency = f.frequency;
    ch.stepSize = f.stepSize;
    ch.steps = f.steps;
    ch.riseTime = f.riseTime;
    ch.waveform = f.waveform;
    ch.startUs = nowUs;
    ch.stepsDone = 0;
}

// MOV m dir freq stepSize steps riseTime channel waveform [OEMC]. The waveform word "DC" holds
// the DC level given in the step-size field (0 to 1023) instead of stepping.
std::string Move(Model& model, const Request& r) {
    const bool oemc = r.endsWith("OEMC");
    if (r.argCount() != (oemc ? 9 : 8)) return kCannotRead;
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    const auto direction = r.integer(1);
    const auto frequency = r.integer(2);
    const auto stepSize = r.integer(3);
    const auto steps = r.integer(4);
    const auto riseTime = r.integer(5);
    const auto channel = ChannelArg(*module, r, 6);
    const std::string& waveform = r.arg(7);
    if (!direction || !frequency || !stepSize || !steps || !riseTime || !channel) return kCannotRead;
    if ((*direction != 0 && *direction != 1) || *frequency < 0 || *frequency > 100000 || *stepSize < 0 ||
        *steps < 0 || *riseTime < 0)
        return kCannotRead;
    DriveChannel& ch = module->channel[*channel - 1];
    Start(ch, model.nowUs,
          {static_cast<int>(*direction), static_cast<int>(*frequency), static_cast<int>(*stepSize), *steps,
           static_cast<int>(*riseTime), waveform});
    if (waveform == "DC") {
        if (*stepSize > 1023) return kCannotRead;
        ch.mode = Mode::Dc;
        ch.dcLevel = static_cast<int>(*stepSize);
    } else {
        ch.mode = Mode::Stepping;
    }
    return Ack("MOV");
}

// The channels a status or stop line names: "m" for all, "m c" or "m c OEMC" for one.
bool ChannelRange(const DriveModule& module, const Request& r, int* first, int* last) {
    const int args = r.argCount() - (r.endsWith("OEMC") ? 1 : 0);
    if (args == 1) {
        *first = 1;
        *last = module.channels;
        return true;
    }
    if (args != 2) return false;
    const auto channel = ChannelArg(module, r, 1);
    if (!channel) return false;
    *first = *last = *channel;
    return true;
}

std::string Stop(Model& model, const Request& r) {
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    int first = 0;
    int last = 0;
    if (!ChannelRange(*module, r, &first, &last)) return kCannotRead;
    for (int c = first; c <= last; ++c) {
        DriveChannel& ch = module->channel[c - 1];
        ch.mode = Mode::Idle;
        ch.dcLevel = 0;
    }
    return Ack("STP");
}

std::string Status(Model& model, const Request& r) {
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    int first = 0;
    int last = 0;
    if (!ChannelRange(*module, r, &first, &last)) return kCannotRead;
    if (Measuring(*module, model.nowUs))
        return Ack(module->measurement.kind == Measurement::Capacitance ? "SCM" : "SAM");
    return StatusOf(*module, first, last);
}

// Lines that name only the module.
template <typename F>
CommandTable::Handler ModuleOnly(F f) {
    return [f](Model& model, const Request& r) -> std::string {
        if (r.argCount() != 1) return kCannotRead;
        std::string error;
        DriveModule* module = Addressed(model, r, &error);
        if (module == nullptr) return error;
        return f(*module);
    };
}

// EXT m dir freq stepSize 0 riseTime channel waveform: the channel follows the external input
// until stopped.
std::string External(Model& model, const Request& r) {
    if (r.argCount() != 8) return kCannotRead;
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    const auto direction = r.integer(1);
    const auto frequency = r.integer(2);
    const auto stepSize = r.integer(3);
    const auto riseTime = r.integer(5);
    const auto channel = ChannelArg(*module, r, 6);
    if (!direction || !frequency || !stepSize || !riseTime || !channel) return kCannotRead;
    if ((*direction != 0 && *direction != 1) || *frequency < 0 || *stepSize < 0 || *riseTime < 0)
        return kCannotRead;
    DriveChannel& ch = module->channel[*channel - 1];
    ch.mode = Mode::External;
    ch.direction = static_cast<int>(*direction);
    ch.frequency = static_cast<int>(*frequency);
    ch.stepSize = static_cast<int>(*stepSize);
    ch.riseTime = static_cast<int>(*riseTime);
    ch.waveform = r.arg(7);
    return Ack("EXT");
}

// SCM m c and SAM m 1 start a measurement of an idle module; status answers "_SCM" or "_SAM"
// until it is done.
CommandTable::Handler StartMeasurement(Measurement kind) {
    return [kind](Model& model, const Request& r) -> std::string {
        if (r.argCount() != 2) return kCannotRead;
        std::string error;
        DriveModule* module = Addressed(model, r, &error);
        if (module == nullptr) return error;
        const auto channel = ChannelArg(*module, r, 1);
        if (!channel || Measuring(*module, model.nowUs) ||
            StatusOf(*module, 1, module->channels) != Ack("STP"))
            return kCannotRead;
        DriveMeasurement& m = module->measurement;
        m.kind = kind;
        m.channel = *channel;
        m.untilUs = model.nowUs + (kind == Measurement::Capacitance ? DriveMeasurement::kCapacitanceUs
                                                                    : DriveMeasurement::kAmplifierUs);
        if (kind == Measurement::Capacitance) m.resultNf = 0;
        if (kind == Measurement::Amplifier) m.amplifierMeasured = false;
        return Ack(kind == Measurement::Capacitance ? "SCM" : "SAM");
    };
}

// Results become visible once a measurement has run its time.
void FinishMeasurement(DriveModule& module, std::int64_t nowUs) {
    DriveMeasurement& m = module.measurement;
    if (m.kind == Measurement::None || nowUs < m.untilUs) return;
    if (m.kind == Measurement::Capacitance) m.resultNf = m.loadNf[m.channel - 1];
    if (m.kind == Measurement::Amplifier) m.amplifierMeasured = true;
    m.kind = Measurement::None;
}

// RCV m: the load found by the last capacitance measurement in nF, 0 while none has finished.
std::string ReadCapacitance(Model& model, const Request& r) {
    if (r.argCount() != 1) return kCannotRead;
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    FinishMeasurement(*module, model.nowUs);
    return Ack("RCV", {module->measurement.resultNf});
}

// RAV m row: eight values of the amplifier's 512-point transfer table (row 0 to 63), all 0 until
// a measurement has finished.
std::string ReadAmplifier(Model& model, const Request& r) {
    if (r.argCount() != 2) return kCannotRead;
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    const auto row = r.integer(1);
    if (!row || *row < 0 || *row > 63) return kCannotRead;
    FinishMeasurement(*module, model.nowUs);
    std::vector<std::int64_t> values;
    for (int k = 0; k < 8; ++k) {
        const std::int64_t index = *row * 8 + k;
        values.push_back(module->measurement.amplifierMeasured ? DriveMeasurement::AmplifierValue(index) : 0);
    }
    return Ack("RAV", values);
}

// Extended mode: FBP m riseTime enters it, FBM m dir freq steps channel 1 until stopped, FBS
// stops every module's extended-mode move, FBX m stops and leaves it.
std::string EnterExtended(Model& model, const Request& r) {
    if (r.argCount() != 2) return kCannotRead;
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    const auto riseTime = r.integer(1);
    if (!riseTime || *riseTime < 0) return kCannotRead;
    module->extended.active = true;
    module->extended.riseTime = static_cast<int>(*riseTime);
    return Ack("FBP");
}

std::string MoveExtended(Model& model, const Request& r) {
    if (r.argCount() != 3) return kCannotRead;
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    const auto direction = r.integer(1);
    const auto frequency = r.integer(2);
    if (!module->extended.active || !direction || !frequency || (*direction != 0 && *direction != 1) ||
        *frequency < 0)
        return kCannotRead;
    DriveChannel& ch = module->channel[0];
    Start(
        ch, model.nowUs,
        {static_cast<int>(*direction), static_cast<int>(*frequency), 100, 0, module->extended.riseTime, "S"});
    ch.mode = Mode::Stepping;
    return Ack("FBM");
}

void StopChannels(DriveModule& module) {
    for (DriveChannel& ch : module.channel) {
        ch.mode = Mode::Idle;
        ch.dcLevel = 0;
    }
}

std::string StopExtended(Model& model, const Request& r) {
    if (r.argCount() != 0) return kCannotRead;
    for (Slot& slot : model.slots)
        if (slot.kind == ModuleKind::Drive && slot.drive.extended.active) StopChannels(slot.drive);
    return Ack("FBS");
}

std::string ExitExtended(Model& model, const Request& r) {
    if (r.argCount() != 1) return kCannotRead;
    std::string error;
    DriveModule* module = Addressed(model, r, &error);
    if (module == nullptr) return error;
    StopChannels(*module);
    module->extended.active = false;
    return Ack("FBX");
}

}  // namespace

void RegisterDriveCommands(CommandTable& table) {
    table.add("MOV", Move);
    table.add("STP", Stop);
    table.add("STS", Status);
    table.add("GFS", ModuleOnly([](DriveModule& m) { return Ack("GFS", {m.failsafe}); }));
    table.add("RFS", ModuleOnly([](DriveModule& m) {
                  m.failsafe = 0;
                  return Ack("RFS");
              }));
    table.add("EXT", External);
    table.add("SCM", StartMeasurement(Measurement::Capacitance));
    table.add("SAM", StartMeasurement(Measurement::Amplifier));
    table.add("RCV", ReadCapacitance);
    table.add("RAV", ReadAmplifier);
    table.add("FBP", EnterExtended);
    table.add("FBM", MoveExtended);
    table.add("FBS", StopExtended);
    table.add("FBX", ExitExtended);
    table.add("DESC", ModuleOnly([](DriveModule& m) {
                  return "_DESC " + std::to_string(m.channels) + " " + m.version + "\r";
              }));
}

}  // namespace vm::sim
