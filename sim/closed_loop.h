#pragma once
// The controller's closed loop: up to three axes, each held at a set-point by driving its stage
// until the position sensor reads the set-point. Positions and set-points are in the set-point
// units of the wire (-1 to 1). A linear stage has end stops at -1 and +1 of stage travel; a rotary
// stage has none. Every axis moves at one fixed speed in virtual (or real) time.
#include <array>
#include <cstdint>

namespace vm::sim {

struct ClosedLoopAxis {
    bool enabled = false;
    // The stage parameters of the "FBEN" line; the model keeps them for tests and uses the kind
    // and the tolerance.
    double scaleFactor = 0;
    char kind = 'L';
    double scanValue = 0;
    double loopValue = 0;
    int riseTime = 0;
    int invertDirection = 0;
    double clear = 0;
    int loopInteger = 1;
    // Deviations up to this (loop value / 1000000) are not corrected while holding.
    double tolerance = 0;

    double position = 0;  // stage position; survives disable and enable
    double zero = 0;      // stage position that reads 0; an end-stop search with ZERO 1 moves it
    double setPoint = 0;  // as commanded, in reading units
    double target = 0;    // the stage position the loop drives to
    bool moving = false;
    bool searching = false;  // an end-stop search is running
    bool zeroAtEndStop = false;
    std::int64_t startUs = 0;  // when the current positioning began; the time-out counts from here

    bool timedOut = false;
    bool invalidSetPoint = false;
    bool positionError = false;

    // Fault injection for tests: a blocked actuator makes no progress.
    bool stalled = false;

    double reading() const { return position - zero; }
    bool hasEndStops() const { return kind == 'L'; }
};

struct ClosedLoop {
    static constexpr int kAxes = 3;
    // Set-point units per second; a full stroke of 2 takes 8 s.
    static constexpr double kSpeedPerSecond = 0.25;
    // A positioning or end-stop search that has not arrived after this long stops with a time-out.
    static constexpr std::int64_t kTimeoutUs = 20'000'000;
    static constexpr double kEndStop = 1.0;
    // A holding axis pushed further than this from its set-point reports a position error (and
    // is driven back).
    static constexpr double kPositionErrorLimit = 0.05;
    // Positions advance in steps between commands; an axis this close to its goal has arrived, so
    // rounding in the steps cannot keep it moving.
    static constexpr double kArrivalMargin = 1e-9;

    std::array<ClosedLoopAxis, kAxes> axis{};
    std::int64_t lastUs = 0;

    bool enabled() const;
    // Enabled, and no enabled axis is still moving.
    bool finished() const;
    // Moves every enabled axis on to the given time.
    void advance(std::int64_t nowUs);
    // Fault injection for tests: an outside force moves the stage of an axis (0 to 2) by delta.
    void push(int axisIndex, double delta);
};

}  // namespace vm::sim
