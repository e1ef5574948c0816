#include "python/src/simulator.h"

#include <stdexcept>
#include <string>

#include "python/src/text.h"
#include "sim/faults.h"
#include "sim/model.h"
#include "sim/rack.h"

namespace vm::py {

namespace {
// One advance of the virtual clock moves it on by at most 10^7 s (about 116 days).
constexpr std::int64_t kMaxAdvanceMs = 10'000'000'000;

sim::DriveModule& DriveAt(sim::Model& model, int slot) {
    sim::Slot* s = model.slot(slot, sim::ModuleKind::Drive);
    if (!s) throw std::invalid_argument("slot " + std::to_string(slot) + " holds no drive module");
    return s->drive;
}
}  // namespace

Simulator::Simulator(const std::string& rack, double speed, bool virtualTime) : rack_(rack), speed_(speed) {
    const auto config = sim::ParseRack(rack);
    if (!config)
        throw std::invalid_argument("rack must be six slot letters C, C1, O, R or -: \"" + rack + "\"");
    if (!(speed >= 0.01 && speed <= 1000)) throw std::invalid_argument("speed must be 0.01 to 1000");
    if (virtualTime) {
        auto clock = std::make_unique<VirtualClock>();
        virtual_ = clock.get();
        clock_ = std::move(clock);
    } else {
        clock_ = std::make_unique<ScaledClock>(speed);
    }
    controller_ = std::make_unique<sim::Controller>(*clock_, *config);
}

void Simulator::addFault(const std::string& rule) {
    const auto parsed = sim::ParseFaultRule(rule);
    if (!parsed) throw std::invalid_argument("not a fault rule: \"" + rule + "\"");
    controller_->addFault(*parsed);
}

void Simulator::clearFaults() { controller_->clearFaults(); }

void Simulator::setFailsafe(int slot, int bits) {
    if (bits < 0 || bits > 255) throw std::invalid_argument("failsafe bits are 0 to 255");
    controller_->inspect([&](sim::Model& model) { DriveAt(model, slot).failsafe = bits; });
}

std::int64_t Simulator::position(int slot, int channel) {
    if (channel < 1 || channel > 3) throw std::invalid_argument("channel is 1 to 3");
    return controller_->inspect(
        [&](sim::Model& model) { return DriveAt(model, slot).channel[channel - 1].totalSteps; });
}

std::vector<std::string> Simulator::lines() const {
    std::vector<std::string> lines = controller_->lines();
    for (auto& line : lines) line = FromWire(line);
    return lines;
}

void Simulator::clearLines() { controller_->clearTranscript(); }

double Simulator::nowMs() const { return static_cast<double>(clock_->nowUs()) / 1000.0; }

void Simulator::advanceMs(double ms) {
    if (!virtual_) throw std::invalid_argument("only a simulator in virtual time can be advanced");
    // NaN fails both comparisons; the bound keeps the clock's nanosecond count far from overflow.
    if (!(ms >= 0 && ms <= static_cast<double>(kMaxAdvanceMs)))
        throw std::invalid_argument("seconds must be a number from 0 to " +
                                    std::to_string(kMaxAdvanceMs / 1000));
    virtual_->advanceNs(static_cast<std::int64_t>(ms * 1e6));
}

}  // namespace vm::py
