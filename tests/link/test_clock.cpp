#include <gtest/gtest.h>

#include <limits>

#include "link/clock.h"

namespace {

TEST(VirtualClock, SleepAdvancesTimeAtOnceAndNotifies) {
    vm::VirtualClock clock;
    std::vector<std::int64_t> seen;
    clock.setObserver([&](std::int64_t now) { seen.push_back(now / 1'000'000); });
    clock.sleepMs(5);
    clock.sleepMs(1000);
    EXPECT_EQ(clock.elapsedMs(), 1005);
    EXPECT_EQ(clock.nowUs(), 1'005'000);
    EXPECT_EQ(seen, (std::vector<std::int64_t>{5, 1005}));
}

TEST(Clock, MicrosecondsDoNotOverflowForLargeCounters) {
    vm::VirtualClock clock;
    clock.advanceNs(std::int64_t{400} * 24 * 3600 * 1'000'000'000);  // 400 days
    EXPECT_EQ(clock.nowMs(), std::int64_t{400} * 24 * 3600 * 1000);
}

TEST(Clock, SystemWaitsCoverTheClockTimeAndNeverEndEarly) {
    struct Case {
        const char* what;
        const vm::Clock& clock;
        std::int64_t us;
        int ms;
    };
    const vm::SteadyClock steady;
    const vm::ScaledClock fast(4.0);
    const vm::VirtualClock virtualTime;
    const Case cases[] = {
        {"steady, nothing left", steady, 0, 0},
        {"steady, less than 1 ms", steady, 1, 1},
        {"steady, exactly 1 s", steady, 1'000'000, 1000},
        {"steady, just over 1 s", steady, 1'000'001, 1001},
        {"steady, beyond an int", steady, std::int64_t{1} << 50, std::numeric_limits<int>::max()},
        {"four times as fast", fast, 1'000'000, 250},
        {"four times as fast, a little", fast, 10, 1},
        {"virtual: time passes only by sleeps", virtualTime, 1'000'000, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.clock.systemWaitMs(c.us), c.ms) << c.what;
}

}  // namespace
