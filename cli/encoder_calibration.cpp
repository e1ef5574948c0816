#include "cli/encoder_calibration.h"

#include <algorithm>
#include <string>
#include <vector>

#include "cli/drive_module.h"
#include "cli/encoder_module.h"

namespace vm::cli {

namespace {

// The words of an encoder-module command for this command line's ADDR and CH, with an optional
// value, so the procedure runs the command's own handler (and prints what it prints).
Words ChannelCommand(const Words& w, const char* command) {
    return Words({std::string(w.word(0)), command, std::string(w.word(2)), std::string(w.word(3))});
}
Words ChannelCommand(const Words& w, const char* command, int value) {
    Words words = ChannelCommand(w, command);
    words.all().push_back(std::to_string(value));
    return words;
}

// The long form hands the move its eight arguments, whose last two stand where the move expects
// step size and step count: REQ PULSES is the step size, and the step count becomes 0 (endless)
// instead of TIMEOUT.
Words MoveWords(const Words& w) {
    Words move = w;
    if (move.count() > 9) move.all()[9] = "0";
    return move;
}

void ReverseDirection(Words& w) {
    if (w.count() > 6) w.all()[6] = w.integer(6) == 1 ? "0" : "1";
}

// The performance counter in seconds, kept in single precision.
float Seconds(const Clock& clock) {
    return static_cast<float>(static_cast<double>(clock.counter()) / static_cast<double>(clock.frequency()));
}

// The remaining whole seconds as a signed 8-bit value. A run that overran its time by more than
// 128 s must still read as over time, so the value is limited to the 8-bit range instead of
// wrapping round to a positive number.
int RemainingSeconds(std::int32_t timeoutSeconds, float elapsed) {
    const float remaining = static_cast<float>(timeoutSeconds) - elapsed;
    return static_cast<int>(std::clamp(remaining, -128.0f, 127.0f));
}

// (g − 1) × 256 × 0.01 truncated toward zero; anything outside 0 to 255 (including the infinite
// gain of a signal without a high level) becomes 255.
std::uint8_t LimitedGain(float g) {
    const double gain = (g - 1) * 256 * 0.01;
    if (!(gain > -1) || !(gain < 256)) return 255;
    return static_cast<std::uint8_t>(static_cast<int>(gain));
}

// The effective amplification of a gain value.
double Factor(std::uint8_t gain) { return gain * 0.00390625 * 100 + 1; }

void PrintBoost(Session& s, double factor) {
    s.print("\n- Optical Signal will be boosted with a gain of %3.0f [-]\n", factor);
}

void PrintVerdict(Session& s, const Words& w, bool checked, bool success) {
    if (!checked) {
        s.print("- ERROR: could not check set values !! \n");
    } else if (success) {
        s.print("- SUCCESS: Calibration complete\n");
    } else {
        s.print("- FAILED: Signal range too low\n");
        ResetDetector(s, w);
    }
}

}  // namespace

PeakLevel LevelOf(std::span<const std::uint8_t> table, std::uint32_t count) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, table.size()));
    PeakLevel level;
    if (n == 0) return level;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) sum += table[i];
    level.average = static_cast<std::uint8_t>(sum / n);
    for (std::uint32_t i = 1; i < n; ++i) {
        level.maximum = std::max(level.maximum, table[i]);
        level.minimum = std::min(level.minimum, table[i]);
    }
    return level;
}

long MeasurementRun(Session& s, const Words& w) {
    const bool reporting = s.developmentMode();
    const CliState& state = s.state();
    StartCalibration(s, w, reporting);
    s.sleepMs(kCalibrationSettleMs);
    const Words move = MoveWords(w);
    const float start = Seconds(s.clock());
    long count = 0;
    while (true) {
        const int remaining = RemainingSeconds(state.timeoutSeconds, Seconds(s.clock()) - start);
        s.print("\r        Progress Count: %ld\\%u  - %d [s]   ", count, state.requestedPulses, remaining);
        s.console().flush();
        s.sleepMs(kBurstMs);
        StopWithEncoder(s, w, reporting);
        count = ReadCalibrationCount(s, w, reporting);
        MoveWithEncoder(s, move, reporting);
        // The key is left waiting, so every later run of the procedure also ends after one pass.
        if (static_cast<std::uint32_t>(count) >= state.requestedPulses || s.console().keyPressed() ||
            remaining <= 0)
            break;
    }
    StopWithEncoder(s, w, reporting);
    ReadPeakSamples(s, w, reporting);
    StopCalibration(s, w, reporting);
    return count;
}

PeakAverages AveragePeaks(Session& s) {
    const CliState& state = s.state();
    PeakAverages peaks{LevelOf(state.highSamples, state.highCount),
                       LevelOf(state.lowSamples, state.lowCount)};
    if (peaks.low.average == 0) peaks.low.average = 1;
    s.print("- Average of extreme values... \n");
    s.print("   AVG high level: %d [Max:%d Min:%d]\n   AVG low  level: %d [Max:%d Min:%d]\n\n",
            peaks.high.average, peaks.high.maximum, peaks.high.minimum, peaks.low.average, peaks.low.maximum,
            peaks.low.minimum);
    return peaks;
}

DetectorValues GainForGoodSignal(Session& s, std::uint8_t avgHigh, int gainStage) {
    const float f = static_cast<float>(avgHigh * 0.11);
    const std::uint8_t gain = avgHigh == 0 ? 255 : LimitedGain(160 / f * static_cast<float>(gainStage));
    PrintBoost(s, Factor(gain));
    return {gain, 160, 80};
}

DetectorValues GainForBadSignal(Session& s, std::uint8_t avgHigh, std::uint8_t avgLow, int gainStage) {
    const std::uint8_t gain =
        avgHigh == 0 ? 255 : LimitedGain(240 / static_cast<float>(avgHigh) * static_cast<float>(gainStage));
    const double factor = Factor(gain);
    PrintBoost(s, factor);
    const int m = static_cast<int>(factor * 0.025);
    const int range = avgHigh - avgLow;
    return {gain, static_cast<std::uint8_t>(m * ((2 * range) / 3 + avgLow + 1)),
            static_cast<std::uint8_t>(m * (range / 3 + avgLow + 1))};
}

PeakAverages ApplyAndRecheck(Session& s, Words& w, const DetectorValues& values) {
    s.print("- Summary of determined values: \n");
    s.print("   SWGain        :\t%d\n", values.gain);
    s.print("   High Threshold:\t%d\n", values.highThreshold);
    s.print("   Low  Threshold:\t%d\n", values.lowThreshold);
    s.print("\n");
    HandleDSG(s, ChannelCommand(w, "DSG", values.gain));
    HandleDSH(s, ChannelCommand(w, "DSH", values.highThreshold));
    HandleDSL(s, ChannelCommand(w, "DSL", values.lowThreshold));
    HandleMSS(s, ChannelCommand(w, "MSS"));
    ReverseDirection(w);
    s.print("\n- Recheck set values with applied gain\n");
    MeasurementRun(s, w);
    s.print("\n");
    const PeakAverages peaks = AveragePeaks(s);
    s.print("\n");
    s.print("- Load set values from controller for recheck: \n");
    HandleMLS(s, ChannelCommand(w, "MLS"));
    s.print("\n");
    return peaks;
}

void ResetDetector(Session& s, const Words& w) {
    s.print("\n");
    s.print("\n- Reset Settings to default...\n\n");
    HandleDSG(s, ChannelCommand(w, "DSG", kResetValue));
    HandleDSH(s, ChannelCommand(w, "DSH", kResetValue));
    HandleDSL(s, ChannelCommand(w, "DSL", kResetValue));
}

void WaitForEnter(Session& s) {
    s.print("\n Press ENTER to continue ...\n");
    s.console().flush();
    // The console returns at once at end of input, and does not wait on input that is not a
    // terminal, so a script or a closed standard input never keeps the tool waiting.
    s.console().readLine();
}

void HandleOEMC(Session& s, const Words& command) {
    Words w = command;  // DIR alternates between the runs
    CliState& state = s.state();
    if (w.count() > 9) {
        state.requestedPulses = static_cast<std::uint32_t>(w.integer(8));
        state.timeoutSeconds = static_cast<std::int32_t>(w.integer(9));
    }
    s.console().setTitle("OEM Calibration Procedure");
    s.print("\n\n==================== OEM Calibration Procedure ==========================\n");
    s.print("\n- Displaying current values:\n");
    HandleMLS(s, ChannelCommand(w, "MLS"));
    s.print("\n");
    s.print("- Determining SW Gain...\n");
    s.print("        Set Gain to 1x...\n        ");

    struct Stage {
        int nominal;
        int gain;
        const char* announcement;
    };
    const Stage raised[] = {{10, kSearchGain10, "\n        Set Gain to 10x...\n        "},
                            {40, kSearchGain40, "\n        Set Gain to 40x...\n        "}};
    int gainStage = 1;
    HandleDSG(s, ChannelCommand(w, "DSG", kSearchGain1));
    long count = MeasurementRun(s, w);
    for (const Stage& stage : raised) {
        if (count >= kMinSearchPulses) break;
        s.print("\n        Error: Signal too low, adjusting...");
        s.print("%s", stage.announcement);
        gainStage = stage.nominal;
        HandleDSG(s, ChannelCommand(w, "DSG", stage.gain));
        ReverseDirection(w);
        count = MeasurementRun(s, w);
    }

    if (state.highCount <= kMinHighSamples) {
        s.print(
            "\n\n- Error in Calibration Initial Stage: \n    Signal too low.\n    Refer to manual "
            "calibration.\n");
        ResetDetector(s, w);
        WaitForEnter(s);
        return;
    }
    s.print("\n        Using %u pulses for process...\n\n", state.highCount + state.lowCount);
    const PeakAverages peaks = AveragePeaks(s);
    const std::uint8_t avgHigh = peaks.high.average;
    const std::uint8_t avgLow = peaks.low.average;

    if (gainStage == 1 || (gainStage == 10 && avgHigh > 110 && avgLow < 7)) {
        s.print("- Encoder Signal is EXCELLENT!\n\n");
        const DetectorValues values = GainForGoodSignal(s, avgHigh, gainStage);
        const PeakAverages recheck = ApplyAndRecheck(s, w, values);
        PrintVerdict(s, w, state.highCount > kMinHighSamples,
                     recheck.high.average >= 200 && recheck.low.average < 70);
    } else if (gainStage == 40 || avgLow >= 7) {
        s.print("- Encoder Signal quality is BAD!\n\n");
        const DetectorValues values = GainForBadSignal(s, avgHigh, avgLow, gainStage);
        ApplyAndRecheck(s, w, values);
        PrintVerdict(s, w, state.highCount > kMinHighSamples,
                     values.highThreshold - values.lowThreshold > 20);
    } else {
        s.print(
            "\n- Error in Calibration Second Stage: \n    Signal too low.\n    Refer to manual "
            "calibration.\n");
        ResetDetector(s, w);
    }
    WaitForEnter(s);
}

}  // namespace vm::cli
