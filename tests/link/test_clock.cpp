#include <gtest/gtest.h>

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

}  // namespace
