#include "link/clock.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace vm {

namespace {
std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Whole milliseconds, rounded up so that a wait never ends before its deadline.
int CeilMs(double us) {
    if (us <= 0) return 0;
    const double ms = std::ceil(us / 1000.0);
    return ms >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(ms);
}

}  // namespace

int Clock::systemWaitMs(std::int64_t) const { return 0; }

std::int64_t Clock::nowUs() const {
    const std::int64_t f = frequency();
    const std::int64_t c = counter();
    // Split to avoid overflow of c * 1e6 for large counters.
    return (c / f) * 1'000'000 + (c % f) * 1'000'000 / f;
}

void SteadyClock::sleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::int64_t SteadyClock::counter() const { return steadyNs(); }

int SteadyClock::systemWaitMs(std::int64_t us) const { return CeilMs(static_cast<double>(us)); }

int ScaledClock::systemWaitMs(std::int64_t us) const { return CeilMs(static_cast<double>(us) / speed_); }

ScaledClock::ScaledClock(double speed) : speed_(speed > 0 ? speed : 1.0), origin_(steadyNs()) {}

void ScaledClock::sleepMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<std::int64_t>(ms * 1000.0 / speed_)));
}

std::int64_t ScaledClock::counter() const {
    return static_cast<std::int64_t>(static_cast<double>(steadyNs() - origin_) * speed_);
}

void VirtualClock::advanceNs(std::int64_t ns) {
    const std::int64_t now = now_.fetch_add(ns) + ns;
    Observer observer;
    {
        std::lock_guard lock(observerMutex_);
        observer = observer_;
    }
    if (observer) observer(now);
}

void VirtualClock::setObserver(Observer observer) {
    std::lock_guard lock(observerMutex_);
    observer_ = std::move(observer);
}

}  // namespace vm
