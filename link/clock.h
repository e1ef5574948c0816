#pragma once
// Every wait and every time stamp of the project goes through Clock, so that tests can run
// protocols in virtual time: a VirtualClock's sleep advances its time at once.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace vm {

class Clock {
  public:
    virtual ~Clock() = default;
    // Sleeps for the given number of milliseconds.
    virtual void sleepMs(std::uint32_t ms) = 0;
    // High-resolution counter and its ticks per second.
    virtual std::int64_t counter() const = 0;
    virtual std::int64_t frequency() const = 0;

    // Elapsed time helpers built on the counter.
    std::int64_t nowUs() const;
    std::int64_t nowMs() const { return nowUs() / 1000; }

    // How long a wait that blocks in the system (poll on a socket) may take, in real
    // milliseconds, to cover `us` microseconds of this clock's time. 0 means the clock's time
    // does not pass by itself: the caller looks without blocking and sleeps on the clock instead.
    virtual int systemWaitMs(std::int64_t us) const;
};

// The real clock: steady_clock counter in nanoseconds, a real sleep.
class SteadyClock final : public Clock {
  public:
    void sleepMs(std::uint32_t ms) override;
    std::int64_t counter() const override;
    std::int64_t frequency() const override { return 1'000'000'000; }
    int systemWaitMs(std::int64_t us) const override;
};

// Scaled real time, for running the virtual controller faster than real time in demos.
class ScaledClock final : public Clock {
  public:
    explicit ScaledClock(double speed);
    void sleepMs(std::uint32_t ms) override;
    std::int64_t counter() const override;
    std::int64_t frequency() const override { return 1'000'000'000; }
    int systemWaitMs(std::int64_t us) const override;

  private:
    double speed_;
    std::int64_t origin_;
};

// Virtual time in nanoseconds, starting at 0. sleepMs advances time immediately. Thread-safe;
// an optional observer sees every advance (tests use it to make things happen at given times).
class VirtualClock final : public Clock {
  public:
    using Observer = std::function<void(std::int64_t nowNs)>;

    void sleepMs(std::uint32_t ms) override { advanceNs(std::int64_t{ms} * 1'000'000); }
    std::int64_t counter() const override { return now_.load(); }
    std::int64_t frequency() const override { return 1'000'000'000; }

    void advanceNs(std::int64_t ns);
    void advanceMs(std::int64_t ms) { advanceNs(ms * 1'000'000); }
    // Total time slept or advanced so far, in milliseconds.
    std::int64_t elapsedMs() const { return now_.load() / 1'000'000; }
    void setObserver(Observer observer);

  private:
    std::atomic<std::int64_t> now_{0};
    std::mutex observerMutex_;
    Observer observer_;
};

}  // namespace vm
