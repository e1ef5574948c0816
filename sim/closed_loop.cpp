// Closed-loop command words: "FBEN" (one line per axis), "FBCS" (set-points), "FBST" (state),
// "FBFE" (end-stop search), "FBXT" and "FBES" (leave closed-loop operation). The lines carry no
// module address; the axes are 0 to 2.
#include "sim/closed_loop.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "sim/model.h"

namespace vm::sim {

bool ClosedLoop::enabled() const {
    return std::any_of(axis.begin(), axis.end(), [](const ClosedLoopAxis& a) { return a.enabled; });
}

bool ClosedLoop::finished() const {
    return enabled() && std::none_of(axis.begin(), axis.end(),
                                     [](const ClosedLoopAxis& a) { return a.enabled && a.moving; });
}

namespace {

void Advance(ClosedLoopAxis& a, std::int64_t lastUs, std::int64_t nowUs) {
    if (!a.enabled) return;
    if (!a.moving && !a.timedOut) {
        // Holding: the loop corrects a deviation beyond the tolerance, and reports one beyond the
        // error limit.
        const double deviation = std::fabs(a.target - a.position);
        if (deviation > ClosedLoop::kPositionErrorLimit) a.positionError = true;
        if (deviation > a.tolerance) {
            a.moving = true;
            a.startUs = lastUs;
        }
    }
    if (!a.moving) return;
    const double goal =
        a.hasEndStops() ? std::clamp(a.target, -ClosedLoop::kEndStop, ClosedLoop::kEndStop) : a.target;
    const std::int64_t deadline = a.startUs + ClosedLoop::kTimeoutUs;
    const std::int64_t end = std::min(nowUs, deadline);
    if (end > lastUs && !a.stalled) {
        const double travel = ClosedLoop::kSpeedPerSecond * static_cast<double>(end - lastUs) / 1e6;
        const double distance = goal - a.position;
        if (std::fabs(distance) <= travel + ClosedLoop::kArrivalMargin) {
            a.position = goal;
            // At an end stop short of the target the actuator keeps pushing until the time-out.
            if (goal == a.target) a.moving = false;
        } else {
            a.position += std::copysign(travel, distance);
        }
    }
    if (a.moving && nowUs >= deadline) {
        a.moving = false;
        a.timedOut = true;
    }
    if (a.searching && !a.moving) {
        a.searching = false;
        // The search ends where the stage stopped: that is the new set-point, and with ZERO 1
        // the new zero as well.
        if (!a.timedOut && a.zeroAtEndStop) a.zero = a.position;
        a.target = a.position;
        a.setPoint = a.reading();
    }
}

std::optional<double> Real(const Request& r, int i) {
    const std::string& text = r.arg(i);
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::int64_t> IntegerIn(const Request& r, int i, std::int64_t low, std::int64_t high) {
    const auto value = r.integer(i);
    if (!value || *value < low || *value > high) return std::nullopt;
    return value;
}

// FBEN axis scale kind scan loop riseTime invert clear loopInteger
std::string Enable(Model& model, const Request& r) {
    if (r.argCount() != 9) return kCannotRead;
    const auto index = IntegerIn(r, 0, 0, ClosedLoop::kAxes - 1);
    const auto scale = Real(r, 1);
    const std::string& kind = r.arg(2);
    const auto scan = Real(r, 3);
    const auto loop = Real(r, 4);
    const auto rise = IntegerIn(r, 5, 1, 65535);
    const auto invert = IntegerIn(r, 6, 0, 1);
    const auto clear = Real(r, 7);
    const auto loopInteger =
        IntegerIn(r, 8, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (!index || !scale || (kind != "L" && kind != "R") || !scan || !loop || *loop < 0 || !rise || !invert ||
        !clear || *clear < 0 || *clear > 1 || !loopInteger)
        return kCannotRead;
    ClosedLoopAxis& a = model.closedLoop.axis[static_cast<std::size_t>(*index)];
    a.scaleFactor = *scale;
    a.kind = kind[0];
    a.scanValue = *scan;
    a.loopValue = *loop;
    a.riseTime = static_cast<int>(*rise);
    a.invertDirection = static_cast<int>(*invert);
    a.clear = *clear;
    a.loopInteger = static_cast<int>(*loopInteger);
    a.tolerance = *loop / 1e6;
    // A newly enabled axis holds where its stage is.
    a.enabled = true;
    a.moving = a.searching = false;
    a.timedOut = a.invalidSetPoint = a.positionError = false;
    a.target = a.position;
    a.setPoint = a.reading();
    return Ack("FBEN");
}

// FBCS sp1 abs1 sp2 abs2 sp3 abs3: an ABS flag of 1 makes the set-point absolute, 0 relative to
// the axis's current set-point. A set-point that is not a number, lies outside -1 to 1 or names an
// axis that is not enabled is refused for that axis (reported in "FBST"); the other axes move.
std::string SetPoints(Model& model, const Request& r) {
    if (r.argCount() != 6) return kCannotRead;
    ClosedLoop& loop = model.closedLoop;
    if (!loop.enabled()) return kCannotRead;
    std::array<std::optional<std::int64_t>, ClosedLoop::kAxes> flags;
    for (int i = 0; i < ClosedLoop::kAxes; ++i) {
        flags[i] = IntegerIn(r, 2 * i + 1, 0, 1);
        if (!flags[i]) return kCannotRead;
    }
    for (int i = 0; i < ClosedLoop::kAxes; ++i) {
        ClosedLoopAxis& a = loop.axis[static_cast<std::size_t>(i)];
        const auto value = Real(r, 2 * i);
        const std::optional<double> setPoint =
            value ? std::optional<double>(*flags[i] == 1 ? *value : a.setPoint + *value) : std::nullopt;
        a.timedOut = a.positionError = false;
        a.invalidSetPoint = !a.enabled || !setPoint || *setPoint < -1 || *setPoint > 1;
        if (a.invalidSetPoint) continue;
        a.setPoint = *setPoint;
        a.target = *setPoint + a.zero;
        a.searching = false;
        a.moving = a.target != a.position;
        a.startUs = model.nowUs;
    }
    return Ack("FBCS");
}

std::string State(Model& model, const Request& r) {
    if (r.argCount() != 0) return kCannotRead;
    const ClosedLoop& loop = model.closedLoop;
    std::vector<std::int64_t> values{loop.enabled() ? 1 : 0, loop.finished() ? 1 : 0};
    for (const auto& a : loop.axis) values.push_back(a.timedOut ? 1 : 0);
    for (const auto& a : loop.axis) values.push_back(a.invalidSetPoint ? 1 : 0);
    for (const auto& a : loop.axis) values.push_back(a.positionError ? 1 : 0);
    return Ack("FBST", values);
}

// FBFE dir filter zero: every enabled axis drives toward its end stop (DIR 1 upward, 0 downward)
// and holds there; ZERO 1 makes the end stop read 0. A rotary stage has no end stop, so its search
// ends with a time-out. The model accepts FILTER (1 to 20) and does not use it.
std::string FindEndStop(Model& model, const Request& r) {
    if (r.argCount() != 3) return kCannotRead;
    const auto direction = IntegerIn(r, 0, 0, 1);
    const auto filter = IntegerIn(r, 1, 1, 20);
    const auto zero = IntegerIn(r, 2, 0, 1);
    if (!direction || !filter || !zero || !model.closedLoop.enabled()) return kCannotRead;
    const double towards = *direction == 1 ? 1.0 : -1.0;
    for (ClosedLoopAxis& a : model.closedLoop.axis) {
        if (!a.enabled) continue;
        a.timedOut = a.invalidSetPoint = a.positionError = false;
        a.searching = true;
        a.zeroAtEndStop = *zero == 1;
        a.target = a.hasEndStops() ? towards * ClosedLoop::kEndStop
                                   : towards * std::numeric_limits<double>::infinity();
        a.moving = true;
        a.startUs = model.nowUs;
    }
    return Ack("FBFE");
}

// FBXT leaves closed-loop operation; FBES stops every axis where it is first. Both disable the
// loop and keep the last state flags readable.
std::string Leave(Model& model, const Request& r, bool stop) {
    if (r.argCount() != 0) return kCannotRead;
    for (ClosedLoopAxis& a : model.closedLoop.axis) {
        if (stop) {
            a.target = a.position;
            a.setPoint = a.reading();
        }
        a.enabled = a.moving = a.searching = false;
    }
    return Ack(stop ? "FBES" : "FBXT");
}

}  // namespace

void ClosedLoop::advance(std::int64_t nowUs) {
    if (nowUs < lastUs) nowUs = lastUs;
    for (ClosedLoopAxis& a : axis) Advance(a, lastUs, nowUs);
    lastUs = nowUs;
}

void ClosedLoop::push(int axisIndex, double delta) {
    if (axisIndex < 0 || axisIndex >= kAxes) return;
    axis[static_cast<std::size_t>(axisIndex)].position += delta;
}

void RegisterClosedLoopCommands(CommandTable& table) {
    table.add("FBEN", Enable);
    table.add("FBCS", SetPoints);
    table.add("FBST", State);
    table.add("FBFE", FindEndStop);
    table.add("FBXT", [](Model& m, const Request& r) { return Leave(m, r, false); });
    table.add("FBES", [](Model& m, const Request& r) { return Leave(m, r, true); });
}

}  // namespace vm::sim
