// The encoder calibration procedure: its formulas against worked examples, the measurement run's
// bursts, progress line, time-out and key test, the kinds of third word OEMC takes, and every
// outcome end to end against the virtual controller's optical signal model, in virtual time.
// Default rack C,O,C,O,R,-: the encoder module in slot 2 serves the drive module in slot 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "cli/encoder_calibration.h"
#include "cli/messages.h"
#include "cli/validator.h"
#include "sim/controller.h"
#include "sim/faults.h"
#include "sim/model.h"
#include "sim/optical_signal.h"
#include "sim/sim_link.h"
#include "tests/support/random_reply_link.h"
#include "tests/support/run_tool.h"
#include "tests/support/sim_rig.h"

namespace {

using vm::cli::LinkKind;
using vm::test::Join;

struct SimRig : vm::test::SimToolRig {
    void signal(std::string_view name) {
        const auto s = vm::sim::ParseOpticalSignal(name);
        ASSERT_TRUE(s) << name;
        controller.inspect([&](vm::sim::Model& m) {
            auto& ch = m.slots[1].encoder.channel[0];
            ch.signalHigh = s->high;
            ch.signalLow = s->low;
            return 0;
        });
    }
    vm::sim::EncoderChannel encoder() {
        return controller.inspect([](vm::sim::Model& m) { return m.slots[1].encoder.channel[0]; });
    }
    std::vector<std::string> lines(std::string_view prefix) {
        std::vector<std::string> found;
        for (const auto& line : controller.lines())
            if (line.starts_with(prefix)) found.push_back(line);
        return found;
    }
};

// A session of its own around the rig's link, for calling the procedure's parts directly.
struct PartRig : SimRig {
    vm::cli::Session session{tool.console, tool.clock};
    PartRig() {
        link.OpenDefault();
        session.bind(&link, true);
    }
};

vm::cli::Words W(std::vector<std::string> words) {
    words.insert(words.begin(), "vmcli");
    return vm::cli::Words(std::move(words));
}

std::string Progress(long count, unsigned requested, int remaining) {
    return "\r        Progress Count: " + std::to_string(count) + "\\" + std::to_string(requested) + "  - " +
           std::to_string(remaining) + " [s]   ";
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

const std::string kEnterPrompt = "\n Press ENTER to continue ...\n";

// --- The formulas -------------------------------------------------------------------------

struct GainCase {
    bool good;
    int stage;
    int avgHigh;
    int avgLow;
    int gain, high, low;
    std::string factor;  // as printed, padded to three characters
};

const GainCase kGainCases[] = {
    {true, 1, 100, 0, 34, 160, 80, " 14"},
    {true, 10, 120, 0, 255, 160, 80, "101"},  // limited to 255
    {false, 40, 120, 20, 202, 87, 54, " 80"},
    {false, 10, 60, 10, 99, 0, 0, " 40"},  // m = 0: both thresholds 0
    // No high level at all would divide by zero; it gets the largest gain instead.
    {true, 1, 0, 0, 255, 160, 80, "101"},
    {false, 40, 0, 0, 255, 2, 2, "101"},
};

TEST(CalibrationFormulas, GainAndThresholdsFollowTheWorkedExamples) {
    for (const GainCase& c : kGainCases) {
        vm::test::HandlerHarness h;
        const auto high = static_cast<std::uint8_t>(c.avgHigh);
        const auto low = static_cast<std::uint8_t>(c.avgLow);
        const vm::cli::DetectorValues v = c.good ? vm::cli::GainForGoodSignal(h.session, high, c.stage)
                                                 : vm::cli::GainForBadSignal(h.session, high, low, c.stage);
        const std::string row = std::to_string(c.stage) + "/" + std::to_string(c.avgHigh);
        EXPECT_EQ(v.gain, c.gain) << row;
        EXPECT_EQ(v.highThreshold, c.high) << row;
        EXPECT_EQ(v.lowThreshold, c.low) << row;
        EXPECT_EQ(h.output(), "\n- Optical Signal will be boosted with a gain of " + c.factor + " [-]\n")
            << row;
    }
}

struct LevelCase {
    std::vector<std::uint8_t> samples;
    std::uint32_t count;
    int average, maximum, minimum;
};

const LevelCase kLevelCases[] = {
    {{200, 10, 20}, 3, 76, 20, 10},  // the first sample is averaged but not an extreme
    {{200, 10, 20}, 2, 105, 10, 10},
    {{90}, 1, 90, 0, 255},  // fewer than two samples: no extremes
    {{}, 0, 0, 0, 255},     // an empty table averages 0
    {std::vector<std::uint8_t>(400, 255), 400, 255, 255, 255},
    {std::vector<std::uint8_t>(400, 7), 900, 7, 7, 7},  // a count beyond the table stops at its end
};

TEST(CalibrationFormulas, LevelsAverageTruncateAndLeaveOutTheFirstSampleFromTheExtremes) {
    for (const LevelCase& c : kLevelCases) {
        std::array<std::uint8_t, 400> table{};
        std::copy(c.samples.begin(), c.samples.end(), table.begin());
        const vm::cli::PeakLevel level = vm::cli::LevelOf(table, c.count);
        EXPECT_EQ(level.average, c.average) << c.count;
        EXPECT_EQ(level.maximum, c.maximum) << c.count;
        EXPECT_EQ(level.minimum, c.minimum) << c.count;
    }
}

TEST(CalibrationFormulas, AveragePeaksPrintsBothLevelsAndRaisesALowAverageOfZero) {
    vm::test::HandlerHarness h;
    auto& state = h.session.state();
    state.highSamples[0] = 200;
    state.highSamples[1] = 10;
    state.highSamples[2] = 20;
    state.highCount = 3;
    state.lowCount = 0;
    const vm::cli::PeakAverages peaks = vm::cli::AveragePeaks(h.session);
    EXPECT_EQ(peaks.high.average, 76);
    EXPECT_EQ(peaks.low.average, 1);
    EXPECT_EQ(h.output(),
              "- Average of extreme values... \n"
              "   AVG high level: 76 [Max:20 Min:10]\n"
              "   AVG low  level: 1 [Max:0 Min:255]\n\n");
}

// --- The measurement run ------------------------------------------------------------------

TEST(MeasurementRun, MovesInBurstsUntilTheRequestedPulsesAndReadsTheSamples) {
    PartRig rig;
    rig.send("DSG 11 1 0\r");
    rig.controller.clearTranscript();
    rig.session.state().requestedPulses = 100;
    rig.session.state().timeoutSeconds = 30;
    // The long form: REQ PULSES is the move's step size, and the step count goes out as 0.
    const auto words = W({"OEMC", "2", "1", "PROFILE1", "4", "1", "100", "100", "30"});
    EXPECT_EQ(vm::cli::MeasurementRun(rig.session, words), 160);
    EXPECT_EQ(rig.tool.console.take(),
              Progress(0, 100, 30) + Progress(0, 100, 29) + Progress(80, 100, 28) + "\n");
    const std::vector<std::string> pass = {
        "STP 2 1 OEMC\r",
        "CSH 11 1 lowlevel\r",
        "CCT 11\r",
        "STS 2 1 OEMC\r",
        "CSH 11 1 lowlevel\r",
        "CCU 11 1 lowlevel\r",
        "MOV 2 1 100 100 0 12 1 S OEMC\r",
    };
    std::vector<std::string> expected = {"CAL 11 1\r"};
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), pass.begin(), pass.end());
    expected.insert(expected.end(), {"STP 2 1 OEMC\r", "CSH 11 1 lowlevel\r", "CCT 11\r"});
    for (int b = 0; b < 20; ++b) expected.push_back("CRP 11 " + std::to_string(b) + "\r");
    for (int b = 0; b < 20; ++b) expected.push_back("CRV 11 " + std::to_string(b) + "\r");
    expected.push_back("CAS 11\r");
    EXPECT_EQ(rig.controller.lines(), expected);
    EXPECT_EQ(rig.session.state().highCount, 160u);
    EXPECT_EQ(rig.session.state().lowCount, 160u);

    // Sampling starts 500 ms before the first pass; the actuator then runs 800 ms per burst.
    std::vector<std::int64_t> stops;
    for (const auto& entry : rig.controller.transcript())
        if (entry.line == "STP 2 1 OEMC\r") stops.push_back(entry.timeUs);
    ASSERT_EQ(stops.size(), 4u);
    EXPECT_EQ(stops[0], 1'300'000);
    for (std::size_t i = 1; i + 1 < stops.size(); ++i) {
        EXPECT_GE(stops[i] - stops[i - 1], 800'000);
        EXPECT_LT(stops[i] - stops[i - 1], 850'000);
    }
    EXPECT_EQ(
        rig.controller.inspect([](vm::sim::Model& m) { return m.slots[0].drive.channel[0].totalSteps; }),
        160);
}

TEST(MeasurementRun, EndsWhenItsTimeIsUp) {
    PartRig rig;
    rig.signal("dark");
    const auto words = W({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    EXPECT_EQ(vm::cli::MeasurementRun(rig.session, words), 0);
    const std::string out = rig.tool.console.take();
    EXPECT_TRUE(out.starts_with(Progress(0, 100, 10) + Progress(0, 100, 9))) << out;
    EXPECT_TRUE(out.ends_with(Progress(0, 100, 1) + Progress(0, 100, 0) + "\n")) << out;
    EXPECT_EQ(Occurrences(out, "Progress Count"), 13u) << out;
    EXPECT_LE(rig.tool.clock.elapsedMs(), 11'500);
}

TEST(MeasurementRun, AnOverrunOfMoreThan128SecondsStillEndsTheRun) {
    PartRig rig;
    rig.signal("dark");
    auto rule = vm::sim::ParseFaultRule("delay:210000@CCT*1");
    ASSERT_TRUE(rule);
    rig.controller.addFault(*rule);
    const auto words = W({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    vm::cli::MeasurementRun(rig.session, words);
    // 10 s minus about 211 s would wrap round to a positive 8-bit value.
    EXPECT_EQ(rig.tool.console.take(), Progress(0, 100, 10) + Progress(0, 100, -128) + "\n");
}

TEST(MeasurementRun, AWaitingKeyEndsEveryRunAfterOnePass) {
    PartRig rig;
    rig.tool.console.addKeys("k");
    const auto words = W({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(vm::cli::MeasurementRun(rig.session, words), 0);
        EXPECT_EQ(rig.tool.console.take(), Progress(0, 100, 10) + "\n") << run;
    }
    EXPECT_EQ(rig.tool.console.readKey(), 'k');  // the key is tested, never read
}

// --- The procedure end to end -------------------------------------------------------------

struct Detector {
    int gain, high, low;
    bool operator==(const Detector&) const = default;
};
Detector Working(const vm::sim::EncoderChannel& ch) { return {ch.gain, ch.high, ch.low}; }
Detector Flash(const vm::sim::EncoderChannel& ch) { return {ch.flashGain, ch.flashHigh, ch.flashLow}; }

struct OutcomeCase {
    std::string signal;
    int stages;                        // gain stages the search went through
    std::vector<std::string> outcome;  // in order
    Detector working;
    Detector flash;
};

const std::string kGood = "- Encoder Signal is EXCELLENT!\n\n";
const std::string kBad = "- Encoder Signal quality is BAD!\n\n";
const std::string kSuccess = "- SUCCESS: Calibration complete\n";
const std::string kFailed = "- FAILED: Signal range too low\n";
const std::string kUnchecked = "- ERROR: could not check set values !! \n";
const std::string kReset = "\n\n- Reset Settings to default...\n\n";
const std::string kInitial =
    "\n\n- Error in Calibration Initial Stage: \n    Signal too low.\n    Refer to manual calibration.\n";
const std::string kSecond =
    "\n- Error in Calibration Second Stage: \n    Signal too low.\n    Refer to manual calibration.\n";
const Detector kFactory{128, 180, 60};
const Detector kCleared{255, 255, 255};

const OutcomeCase kOutcomes[] = {
    {"good", 1, {kGood, kSuccess}, {35, 160, 80}, {35, 160, 80}},
    {"weak10", 2, {kGood, kSuccess}, {255, 160, 80}, {255, 160, 80}},
    {"noisy10", 2, {kBad, kFailed, kReset}, kCleared, {69, 0, 0}},
    {"weak40", 3, {kBad, kSuccess}, {202, 87, 54}, {202, 87, 54}},
    {"faint", 2, {kSecond, kReset}, kCleared, kFactory},
    {"dark", 3, {kInitial, kReset}, kCleared, kFactory},
    {"bright", 1, {kGood, kUnchecked}, {35, 160, 80}, {35, 160, 80}},
    {"offset", 1, {kGood, kFailed, kReset}, kCleared, {35, 160, 80}},
};

TEST(Calibration, EveryOutcomeIsReachedAgainstTheSignalModel) {
    for (const OutcomeCase& c : kOutcomes) {
        SimRig rig;
        rig.signal(c.signal);
        const std::string out = rig.run({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
        EXPECT_EQ(Occurrences(out, "Set Gain to 10x"), c.stages >= 2 ? 1u : 0u) << c.signal;
        EXPECT_EQ(Occurrences(out, "Set Gain to 40x"), c.stages >= 3 ? 1u : 0u) << c.signal;
        std::size_t at = 0;
        for (const std::string& part : c.outcome) {
            at = out.find(part, at);
            ASSERT_NE(at, std::string::npos) << c.signal << ": " << part << "\n" << out;
        }
        EXPECT_TRUE(out.ends_with(kEnterPrompt)) << c.signal;
        EXPECT_EQ(Occurrences(out, "Unable to comply"), 0u) << c.signal;
        EXPECT_EQ(Working(rig.encoder()), c.working) << c.signal;
        EXPECT_EQ(Flash(rig.encoder()), c.flash) << c.signal;
        EXPECT_EQ(rig.tool.console.title(), "OEM Calibration Procedure");
    }
}

TEST(Calibration, BadSignalAtFortyTimesReportsTheWholeEvaluation) {
    SimRig rig;
    rig.signal("weak40");
    const std::string out = rig.run({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    const std::string expected =
        "\n        Using 320 pulses for process...\n\n"
        "- Average of extreme values... \n"
        "   AVG high level: 120 [Max:124 Min:118]\n"
        "   AVG low  level: 20 [Max:24 Min:18]\n\n" +
        kBad +
        "\n- Optical Signal will be boosted with a gain of  80 [-]\n"
        "- Summary of determined values: \n"
        "   SWGain        :\t202\n"
        "   High Threshold:\t87\n"
        "   Low  Threshold:\t54\n"
        "\n"
        "GAIN for CH1 has been set\n"
        "High Threshold for CH1 has been set\n"
        "Low Threshold for CH1 has been set\n"
        "Settings have been stored to internal flash\n"
        "\n- Recheck set values with applied gain\n" +
        Progress(0, 100, 10) + Progress(0, 100, 9) + Progress(80, 100, 8) +
        "\n\n"
        "- Average of extreme values... \n"
        "   AVG high level: 240 [Max:244 Min:238]\n"
        "   AVG low  level: 41 [Max:45 Min:39]\n\n"
        "\n"
        "- Load set values from controller for recheck: \n"
        "Post Detector Gain         CH1: 202\n"
        "Upper Comparator Threshold CH1: 87\n"
        "Lower Comparator Threshold CH1: 54\n"
        "\n" +
        kSuccess + kEnterPrompt;
    const auto at = out.find("\n        Using");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.substr(at), expected);
    // DIR alternates: 1 (sent as 0 for the inverting profile of ASPEN1), then 0, 1 and 0 for the recheck.
    std::vector<char> directions;
    for (const auto& line : rig.lines("MOV ")) directions.push_back(line[6]);
    ASSERT_FALSE(directions.empty());
    EXPECT_EQ(directions.front(), '0');
    EXPECT_EQ(directions.back(), '1');
    EXPECT_EQ(rig.lines("DSG 11 1 "), (std::vector<std::string>{"DSG 11 1 0\r", "DSG 11 1 25\r",
                                                                "DSG 11 1 100\r", "DSG 11 1 202\r"}));
}

TEST(Calibration, TooWeakASignalShowsTheSettingsAndEndsInTheInitialStageError) {
    SimRig rig;
    rig.signal("dark");
    const std::string out = rig.run({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    const std::string head =
        "\n\n==================== OEM Calibration Procedure ==========================\n"
        "\n- Displaying current values:\n"
        "Post Detector Gain         CH1: 128\n"
        "Upper Comparator Threshold CH1: 180\n"
        "Lower Comparator Threshold CH1: 60\n"
        "\n"
        "- Determining SW Gain...\n"
        "        Set Gain to 1x...\n        "
        "GAIN for CH1 has been set\n" +
        Progress(0, 100, 10);
    EXPECT_TRUE(out.starts_with(head)) << out;
    const std::string stage10 = Progress(0, 100, 0) +
                                "\n\n        Error: Signal too low, adjusting..."
                                "\n        Set Gain to 10x...\n        "
                                "GAIN for CH1 has been set\n" +
                                Progress(0, 100, 10);
    EXPECT_NE(out.find(stage10), std::string::npos) << out;
    const std::string tail = Progress(0, 100, 0) + "\n" + kInitial + kReset +
                             "GAIN for CH1 has been set\n"
                             "High Threshold for CH1 has been set\n"
                             "Low Threshold for CH1 has been set\n" +
                             kEnterPrompt;
    EXPECT_TRUE(out.ends_with(tail)) << out;
}

TEST(Calibration, TheLongFormSetsPulsesAndTimeOut) {
    SimRig rig;
    const std::string out = rig.run({"OEMC", "2", "1", "PROFILE1", "4", "1", "100", "200", "30"});
    EXPECT_TRUE(out.find(Progress(0, 200, 30) + Progress(0, 200, 29) + Progress(80, 200, 28) +
                         Progress(160, 200, 27)) != std::string::npos)
        << out;
    EXPECT_NE(out.find("Using 480 pulses"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with(kSuccess + kEnterPrompt)) << out;
}

TEST(Calibration, AKeyPressedInTheFirstRunEndsThatRunAndEveryLaterOneAfterOnePass) {
    SimRig rig;
    rig.tool.console.addKeys("q");
    rig.tool.console.setKeyDelay(1);  // seen at the second pass of the first run
    const std::string out = rig.run({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    // First run: two passes, 80 pulses, a good signal; the recheck stops after its first pass.
    EXPECT_NE(out.find(Progress(0, 100, 10) + Progress(0, 100, 9) + "\n\n        Using 160 pulses"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("- Recheck set values with applied gain\n" + Progress(0, 100, 10) + "\n\n- Average"),
              std::string::npos)
        << out;
    EXPECT_EQ(Occurrences(out, "Progress Count"), 3u) << out;
    EXPECT_TRUE(out.ends_with(kUnchecked + kEnterPrompt)) << out;
}

TEST(Calibration, AKeyWaitingFromTheStartGivesOnePassPerStage) {
    SimRig rig;
    rig.tool.console.addKeys("q");
    const std::string out = rig.run({"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    EXPECT_EQ(Occurrences(out, "Progress Count"), 3u) << out;
    EXPECT_NE(out.find(kInitial), std::string::npos) << out;
}

TEST(Calibration, ALinkThatFailsThroughoutStillRunsToThePrompt) {
    vm::test::ScriptedLink link;
    link.answerEverything("CNR\r");
    const std::string out = vm::test::RunTool(link, {"OEMC", "2", "1", "ASPEN1", "4", "1", "100"});
    EXPECT_NE(out.find("Could not start Calibration... \n"), std::string::npos);
    EXPECT_NE(out.find(kInitial), std::string::npos);
    EXPECT_TRUE(out.ends_with(kEnterPrompt));
}

TEST(Calibration, RandomRepliesNeverCrashOrKeepItRunning) {
    const std::vector<std::vector<std::string>> forms = {
        {"OEMC", "2", "1", "PROFILE1", "4", "1", "600"},
        {"DEVMODE", "OEMC", "3", "3", "ASPEN1", "300", "0", "1", "400", "120"},
    };
    for (const auto& words : forms) {
        for (std::uint32_t seed = 0; seed < 60; ++seed) {
            vm::test::ToolHarness h;
            vm::test::RandomReplyLink link(seed * 104729u + 17u);
            link.words.insert(link.words.end(), {"_CAL", "_CAS", "_CCT", "_CRP", "_CRV", "_DSG", "_DSH",
                                                 "_DSL", "_MLS", "_MSS", "_CSH", "_CCU", "_CCD"});
            h.links.serve(LinkKind::Ftdi, link);
            const std::string out = h.run(words);
            ASSERT_FALSE(link.runaway()) << Join(words) << " seed " << seed;
            ASSERT_NE(out.find(kEnterPrompt), std::string::npos) << Join(words) << " seed " << seed;
            // A run ends by its time-out at the latest: four runs of at most 120 s and their waits.
            ASSERT_LT(h.clock.elapsedMs(), 4 * 135'000) << Join(words) << " seed " << seed;
        }
    }
}

// --- The third word -----------------------------------------------------------------------

struct WordCase {
    std::vector<std::string> words;
    int message;  // 0: accepted
};

const WordCase kWordCases[] = {
    // Short form: a stage word or a drive-profile name; anything else is an invalid stage.
    {{"OEMC", "2", "1", "PROFILE1", "4", "1", "600"}, 0},  // the desktop program's call
    {{"OEMC", "2", "1", "ASPEN1", "4", "1", "600"}, 0},
    {{"OEMC", "2", "1", "ELM1.X", "4", "1", "600"}, 0},
    {{"OEMC", "2", "1", "TESTSINE", "4", "1", "600"}, 0},
    {{"OEMC", "2", "1", "OAK", "4", "1", "600"}, 104},
    {{"OEMC", "2", "1", "NONE", "4", "1", "600"}, 104},
    {{"OEMC", "2", "1", "profile1", "4", "1", "600"}, 104},
    {{"OEMC", "2", "1", "ELM1", "4", "1", "600"}, 105},
    {{"OEMC", "2", "1", "OAK", "4", "1", "601"}, 103},  // numbers first
    // Long form: the same words, any other word refused before the numbers.
    {{"OEMC", "2", "1", "PROFILE3", "4", "1", "600", "400", "5"}, 0},
    {{"OEMC", "2", "1", "ASPEN1", "4", "1", "600", "400", "5"}, 0},
    {{"OEMC", "2", "1", "OAK", "4", "1", "600", "400", "5"}, 103},
    {{"OEMC", "2", "1", "ELM1", "4", "1", "600", "400", "5"}, 103},
    {{"OEMC", "2", "1", "NONE  ", "4", "1", "600", "400", "5"}, 103},
};

TEST(CalibrationWord, BothFormsTakeAStageWordOrAProfileName) {
    for (const WordCase& c : kWordCases) {
        std::vector<std::string> full{"vmcli"};
        full.insert(full.end(), c.words.begin(), c.words.end());
        vm::StringTextOut out;
        const auto errors = vm::cli::ValidateArguments(out, vm::cli::Words(full), false);
        EXPECT_EQ(errors, c.message == 0 ? 0 : 1) << Join(c.words);
        vm::StringTextOut expected;
        if (c.message != 0) vm::cli::PrintMessage(expected, c.message);
        EXPECT_EQ(out.text(), expected.text()) << Join(c.words);
    }
}

struct MoveCase {
    std::vector<std::string> words;
    std::string move;  // the first move line
};

const MoveCase kMoveCases[] = {
    {{"OEMC", "2", "1", "PROFILE1", "4", "1", "100"}, "MOV 2 1 100 100 0 12 1 S OEMC\r"},
    {{"OEMC", "2", "1", "PROFILE2", "4", "1", "100"}, "MOV 2 0 100 100 0 12 1 S OEMC\r"},
    {{"OEMC", "2", "1", "ASPEN1", "4", "1", "100"}, "MOV 2 0 100 100 0 12 1 S OEMC\r"},   // PROFILE2
    {{"OEMC", "2", "1", "ASPEN1B", "4", "1", "100"}, "MOV 2 1 100 100 0 12 1 S OEMC\r"},  // PROFILE1
    {{"OEMC", "2", "1", "TESTSINE", "4", "1", "100"}, "MOV 2 1 100 100 0 551 1 SIN OEMC\r"},
    {{"OEMC", "2", "1", "PROFILE3", "4", "1", "100", "200", "30"}, "MOV 2 1 100 200 0 33 1 S OEMC\r"},
};

TEST(CalibrationWord, TheMoveUsesTheStagesFamilyProfileOrTheNamedOne) {
    for (const MoveCase& c : kMoveCases) {
        SimRig rig;
        rig.run(c.words);
        const auto moves = rig.lines("MOV ");
        ASSERT_FALSE(moves.empty()) << Join(c.words);
        EXPECT_EQ(moves.front(), c.move) << Join(c.words);
    }
}

}  // namespace
