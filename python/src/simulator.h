#pragma once
// The virtual controller inside the Python process: the rack model on a clock of its own, either
// virtual time (every wait passes at once, for tests) or real time scaled by a speed factor.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/clock.h"
#include "sim/controller.h"

namespace vm::py {

class Simulator {
  public:
    // rack in the form vmsim reads ("C,O,C,O,R,-"); speed 0.01 to 1000. Throws
    // std::invalid_argument for a bad rack or speed.
    Simulator(const std::string& rack, double speed, bool virtualTime);

    Clock& clock() { return *clock_; }
    sim::Controller& controller() { return *controller_; }
    bool virtualTime() const { return virtual_ != nullptr; }
    std::string rack() const { return rack_; }
    double speed() const { return speed_; }

    // Fault rules as vmsim's --fault takes them ("noreply", "delay:500@STS*2"); throws
    // std::invalid_argument for one it cannot read.
    void addFault(const std::string& rule);
    void clearFaults();
    // The failsafe bits a drive module reports; throws std::invalid_argument for a slot without one.
    void setFailsafe(int slot, int bits);
    // Signed steps a drive channel has made since the start.
    std::int64_t position(int slot, int channel);
    // Every line received, carriage return included, oldest first.
    std::vector<std::string> lines() const;
    void clearLines();
    double nowMs() const;
    // Virtual time only: moves time on (moves progress, counters count).
    void advanceMs(double ms);

  private:
    std::unique_ptr<Clock> clock_;
    VirtualClock* virtual_ = nullptr;
    std::unique_ptr<sim::Controller> controller_;
    std::string rack_;
    double speed_;
};

}  // namespace vm::py
