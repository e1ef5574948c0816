#pragma once
// The encoder calibration procedure OEMC: it moves the actuator of one encoder channel in short
// bursts while the encoder module counts pulses and samples the optical signal, raises the
// detector gain in up to three stages until pulses are counted, derives a gain and the two
// comparator thresholds from the averaged samples, writes and stores them, measures again with
// them and reports the outcome. Everything it does is console output; it ends by waiting for Enter.
#include <cstdint>
#include <span>

#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

// Waits of a measurement run: after starting the module's sampling, and per burst of movement.
inline constexpr std::uint32_t kCalibrationSettleMs = 500;
inline constexpr std::uint32_t kBurstMs = 800;
// A run that counts fewer pulses than this calls for the next gain stage.
inline constexpr long kMinSearchPulses = 5;
// An evaluation needs more high samples than this.
inline constexpr std::uint32_t kMinHighSamples = 10;
// Detector gain values of the three search stages (about 1x, 10x and 40x) and the value that the
// failure paths leave in the working settings.
inline constexpr int kSearchGain1 = 0;
inline constexpr int kSearchGain10 = 25;
inline constexpr int kSearchGain40 = 100;
inline constexpr int kResetValue = 255;

// Average, maximum and minimum of one sample table.
struct PeakLevel {
    std::uint8_t average = 0;
    std::uint8_t maximum = 0;
    std::uint8_t minimum = 255;
};

struct PeakAverages {
    PeakLevel high;
    PeakLevel low;  // its average is raised to 1 when it would be 0
};

// Detector values to write: gain 0 to 255 and the two comparator thresholds.
struct DetectorValues {
    std::uint8_t gain = 0;
    std::uint8_t highThreshold = 0;
    std::uint8_t lowThreshold = 0;
};

// The first `count` samples of a table: the average is the sum divided by the count, truncated;
// the extremes leave out the first sample. An empty table (count 0) averages 0: the module
// reported no samples, so there is no level to speak of, and 0 keeps every later decision on the
// safe side (too low a signal). `count` is limited to the table size.
PeakLevel LevelOf(std::span<const std::uint8_t> table, std::uint32_t count);

// One measurement run with the words of the OEMC command line (DIR as it is now); returns the
// last pulse count that the module reported.
long MeasurementRun(Session& s, const Words& w);
// Averages the session's sample tables and prints them.
PeakAverages AveragePeaks(Session& s);
// Gain and thresholds for a clean signal of average high level `avgHigh` at the search stage's
// nominal gain (1, 10 or 40); prints the amplification factor.
DetectorValues GainForGoodSignal(Session& s, std::uint8_t avgHigh, int gainStage);
// Gain and thresholds for a noisy signal; the thresholds sit at two thirds and one third of the
// measured range, scaled by how strongly the new gain amplifies.
DetectorValues GainForBadSignal(Session& s, std::uint8_t avgHigh, std::uint8_t avgLow, int gainStage);
// Writes and stores the values, reverses DIR in `w`, measures again and loads the stored values
// back; returns the averages of the recheck (the sample counts are in the session's state).
PeakAverages ApplyAndRecheck(Session& s, Words& w, const DetectorValues& values);
// Sets gain and thresholds to 255 in the module's working settings (not in its flash).
void ResetDetector(Session& s, const Words& w);
// Prompts and waits for one line of input; returns at once at end of input.
void WaitForEnter(Session& s);

// OEMC ADDR CH STAGE-OR-PROFILE TEMP DIR FREQ [REQ-PULSES TIMEOUT]
void HandleOEMC(Session& s, const Words& w);

}  // namespace vm::cli
