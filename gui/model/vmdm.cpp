#include "gui/model/vmdm.h"

#include <cmath>

namespace vm::gui {

namespace {
constexpr bool kFailure = true;
constexpr bool kSuccess = false;
auto NoLinkFails() {
    return [] { return kFailure; };
}
}  // namespace

std::uint16_t ComputeRiseTime(const VMdef& profile, std::uint16_t temperature, std::uint8_t stepSize) {
    const double d = profile.paramA;
    const double f = profile.paramB;
    const double t = temperature;
    const double r = stepSize;
    double x = 1000.0 * std::sqrt(2.0 * (2.0 * f * r * (0.003 * t + 0.14) * 0.68 * 0.68) / (d * 100.0));
    if (std::isnan(x) || x > 65535.0) return 65535;
    if (x < 5.0) x = 5.0;
    return static_cast<std::uint16_t>(x);
}

VMDM::VMDM(CurrentLink& link) : link_(link), profiles_(DesktopProfiles()) {}

std::optional<std::uint16_t> VMDM::RiseTime(std::string_view type, std::uint16_t temperature,
                                            std::uint8_t stepSize) const {
    const VMdef* profile = FindProfile(profiles_, type);
    if (!profile) return std::nullopt;
    return ComputeRiseTime(*profile, temperature, stepSize);
}

std::optional<std::uint8_t> VMDM::EffectiveDirection(std::string_view type, std::uint8_t direction) const {
    const VMdef* profile = FindProfile(profiles_, type);
    if (!profile) return std::nullopt;
    if (profile->invertDirection == 1) return static_cast<std::uint8_t>(1 - direction);
    return direction;
}

bool VMDM::Move(std::uint8_t m, std::uint8_t c, std::string_view type, std::uint16_t temperature,
                std::uint8_t direction, std::uint16_t frequency, std::uint8_t stepSize, std::uint16_t steps) {
    const auto riseTime = RiseTime(type, temperature, stepSize);
    const auto sentDirection = EffectiveDirection(type, direction);
    if (!riseTime || !sentDirection) return kFailure;
    return link_.run(
        [&](Transaction& t) {
            t.exchange("MOV %u %u %u %u %u %u %u S\r", unsigned{m}, unsigned{*sentDirection},
                       unsigned{frequency}, unsigned{stepSize}, unsigned{steps}, unsigned{*riseTime},
                       unsigned{c});
            if (!t.tokens().is(0, "_MOV")) return kFailure;
            auto fields = link_.fieldsLock();
            status_.assign(t.tokens().token(0));
            return kSuccess;
        },
        NoLinkFails());
}

bool VMDM::Stop(std::uint8_t m) {
    return link_.run(
        [&](Transaction& t) {
            if (t.exchange("STP %u\r", unsigned{m})) return kFailure;
            auto fields = link_.fieldsLock();
            status_.assign(t.tokens().token(0));
            return kSuccess;
        },
        NoLinkFails());
}

bool VMDM::Status(std::uint8_t m) {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("STS %u\r", unsigned{m});
            if (!t.tokens().isAck(0)) return kFailure;
            auto fields = link_.fieldsLock();
            status_.assign(t.tokens().token(0));
            return kSuccess;
        },
        NoLinkFails());
}

bool VMDM::MeasureCapacitance(std::uint8_t m, std::uint8_t c) {
    return link_.run(
        [&](Transaction& t) {
            if (t.exchange("SCM %u %u\r", unsigned{m}, unsigned{c})) return kFailure;
            // The measurement ends when the module reports "_STP"; after about 20 s of polling
            // the result is read anyway.
            for (int poll = 0; poll < kCapacitancePolls; ++poll) {
                t.exchange("STS %u\r", unsigned{m});
                t.sleepMs(kPollWaitMs);
                if (t.tokens().is(0, "_STP")) break;
            }
            if (t.exchange("RCV %u\r", unsigned{m})) return kFailure;
            auto fields = link_.fieldsLock();
            capacitance_ = static_cast<std::uint16_t>(t.tokens().replyInteger(1));
            return kSuccess;
        },
        NoLinkFails());
}

bool VMDM::StartAmplifierMeasurement(std::uint8_t m, std::uint8_t c) {
    return link_.run(
        [&](Transaction& t) {
            // A refusal ("CNR" from a moving channel) starts nothing; only an acknowledged start
            // replaces the status, so a stale "_STP" never reads as the end of this measurement.
            t.exchange("SAM %u %u\r", unsigned{m}, unsigned{c});
            if (!t.tokens().isAck(0)) return kFailure;
            auto fields = link_.fieldsLock();
            status_.assign(t.tokens().token(0));
            return kSuccess;
        },
        NoLinkFails());
}

bool VMDM::ReadAmplifierValues(std::uint8_t m, std::uint8_t row) {
    if (row > kLastAmplifierRow) row = kLastAmplifierRow;
    return link_.run(
        [&](Transaction& t) {
            if (t.exchange("RAV %u %u\r", unsigned{m}, unsigned{row})) return kFailure;
            auto fields = link_.fieldsLock();
            AmplifierRow& values = amplifierTable_[row];
            for (std::size_t k = 0; k < values.size(); ++k)
                values[k] = static_cast<std::uint8_t>(t.tokens().replyInteger(k + 1));
            return kSuccess;
        },
        NoLinkFails());
}

bool VMDM::ReadFailsafe(std::uint8_t m) {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("GFS %u\r", unsigned{m});
            if (!t.tokens().is(0, "_GFS")) {
                auto fields = link_.fieldsLock();
                failsafe_ = 255;
                return kFailure;
            }
            auto fields = link_.fieldsLock();
            failsafe_ = static_cast<std::uint8_t>(t.tokens().replyInteger(1));
            return kSuccess;
        },
        [&] {
            auto fields = link_.fieldsLock();
            failsafe_ = 255;
            return kFailure;
        });
}

bool VMDM::ReadDescriptor(std::uint8_t m) {
    return link_.run(
        [&](Transaction& t) {
            t.exchange("DESC %u\r", unsigned{m});
            if (!t.tokens().is(0, "_DESC")) {
                auto fields = link_.fieldsLock();
                descriptor_ = 3;
                return kFailure;
            }
            auto fields = link_.fieldsLock();
            descriptor_ = static_cast<std::uint8_t>(t.tokens().replyInteger(1));
            return kSuccess;
        },
        [&] {
            auto fields = link_.fieldsLock();
            descriptor_ = 3;
            return kFailure;
        });
}

std::string VMDM::status() const {
    auto lock = link_.fieldsLock();
    return status_.str();
}

std::uint8_t VMDM::failsafe() const {
    auto lock = link_.fieldsLock();
    return failsafe_;
}

VMDM::AmplifierTable VMDM::amplifierTable() const {
    auto lock = link_.fieldsLock();
    return amplifierTable_;
}

std::uint16_t VMDM::capacitance() const {
    auto lock = link_.fieldsLock();
    return capacitance_;
}

std::uint8_t VMDM::descriptor() const {
    auto lock = link_.fieldsLock();
    return descriptor_;
}

}  // namespace vm::gui
