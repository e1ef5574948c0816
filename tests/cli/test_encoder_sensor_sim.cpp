// The encoder-module and sensor-module commands of the tool against the virtual controller, in
// process and in virtual time: default rack C,O,C,O,R,- (the encoder module in slot 2 serves the
// drive module in slot 1; the sensor module in slot 5 reads the stages of the drive module in
// slot 3).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/controller.h"
#include "sim/model.h"
#include "sim/sim_link.h"
#include "tests/support/run_tool.h"
#include "tests/support/sim_rig.h"

namespace {

using vm::cli::LinkKind;

const std::string kBanner =
    "------------------------------------------\n"
    "| Program running in Development Mode... |\n"
    "------------------------------------------\n\n";

struct SimRig : vm::test::SimToolRig {
    std::string dev(std::vector<std::string> words) {
        words.insert(words.begin(), "DEVMODE");
        const std::string out = tool.run(std::move(words));
        EXPECT_TRUE(out.ends_with(kBanner)) << out;
        return out.substr(0, out.size() - std::min(out.size(), kBanner.size()));
    }
};

TEST(EncoderOnSim, DetectorSettingsSurviveInFlashOnly) {
    SimRig rig;
    EXPECT_EQ(rig.run({"DSG", "2", "1", "40"}), "GAIN for CH1 has been set\n");
    EXPECT_EQ(rig.run({"DSH", "2", "1", "170"}), "High Threshold for CH1 has been set\n");
    EXPECT_EQ(rig.run({"DSL", "2", "1", "70"}), "Low Threshold for CH1 has been set\n");
    EXPECT_EQ(rig.run({"MSS", "2", "1"}), "Settings have been stored to internal flash\n");
    EXPECT_EQ(rig.run({"DSG", "2", "1", "255"}), "GAIN for CH1 has been set\n");  // working value only
    const std::string stored =
        "Post Detector Gain         CH1: 40\n"
        "Upper Comparator Threshold CH1: 170\n"
        "Lower Comparator Threshold CH1: 70\n";
    EXPECT_EQ(rig.run({"MLS", "2", "1"}), stored);
    EXPECT_EQ(rig.run({"MLS", "2", "2"}),
              "Post Detector Gain         CH2: 128\n"
              "Upper Comparator Threshold CH2: 180\n"
              "Lower Comparator Threshold CH2: 60\n");
    // Slot 1 holds a drive module: no encoder module answers there.
    EXPECT_EQ(rig.run({"MLS", "1", "1"}), "Unable to comply\n");
    EXPECT_EQ(rig.run({"DSG", "3", "1", "1"}), "Unable to comply\n");
}

TEST(EncoderOnSim, CounterFollowsAMoveAndResets) {
    SimRig rig;
    EXPECT_EQ(rig.run({"POS", "2", "1"}), "POS :0\nRVL :512\n");
    // ASPEN1B drives with a profile that keeps the direction: DIR 1 counts up.
    EXPECT_EQ(rig.run({"MOV", "1", "ASPEN1B", "4", "1", "300", "100", "600"}), "STATUS : MOVE\n");
    rig.tool.clock.advanceMs(3000);
    EXPECT_EQ(rig.run({"POS", "2", "1"}), "POS :600\nRVL :512\n");
    EXPECT_EQ(rig.run({"POSA", "2"}), "POS :600 0 0\n");
    EXPECT_EQ(rig.run({"RST", "2", "1"}), "Counter for CH1 has been reset to zero\n");
    EXPECT_EQ(rig.run({"POSA", "2"}), "POS :0 0 0\n");
    EXPECT_EQ(rig.run({"CCD", "2", "2"}), "STATUS : SET COUNTER COUNT-DOWN\n");
    EXPECT_EQ(rig.run({"CCU", "2", "2"}), "STATUS : SET COUNTER COUNT-UP\n");
    EXPECT_EQ(rig.run({"CSH", "2", "2"}), "STATUS : SET COUNTER TO HOLD\n");
    EXPECT_EQ(rig.run({"SLD", "2", "500"}), "STATUS : LASER DUTYCYCLE HAS BEEN SET\n");
    EXPECT_EQ(rig.run({"SLD", "1", "500"}), "STATUS : NOT FOUND\n");
    EXPECT_EQ(rig.controller.inspect([](vm::sim::Model& m) { return m.slots[1].encoder.laserDutyCycle; }),
              500);
}

TEST(EncoderOnSim, CalibrationCountsPulsesAndReadsSamples) {
    SimRig rig;
    EXPECT_EQ(rig.dev({"CAL", "2", "1"}), "Calibration in progress... \n");
    EXPECT_EQ(rig.send("MOV 1 1 300 100 150 12 1 S\r"), "_MOV\r");
    rig.tool.clock.advanceMs(1000);
    EXPECT_EQ(rig.dev({"CCT", "2"}), "Calibration progress...: 150 150 \n");
    EXPECT_EQ(rig.dev({"CAS", "2"}), "Calibration Stopping... \n");
    // Travel after the stop is not counted.
    EXPECT_EQ(rig.send("MOV 1 0 300 100 150 12 1 S\r"), "_MOV\r");
    rig.tool.clock.advanceMs(1000);
    const std::string samples = rig.dev({"CRP", "2"});
    // 150 samples of each level: 19 blocks of high samples, an empty line, 19 blocks of low ones.
    EXPECT_EQ(std::count(samples.begin(), samples.end(), '\n'), 19 + 1 + 19) << samples;
    EXPECT_EQ(rig.link.command().view(), "CRV 11 18\r");
    EXPECT_EQ(rig.dev({"CCT", "2"}), "Calibration progress...: 150 150 \n");
}

TEST(EncoderOnSim, WeakSignalCountsNothingUntilTheGainIsRaised) {
    SimRig rig;
    rig.controller.inspect([](vm::sim::Model& m) {
        auto& ch = m.slots[1].encoder.channel[0];
        ch.signalHigh = 8;
        ch.signalLow = 2;
        return 0;
    });
    for (const auto& [gain, pulses] : {std::pair{"0", "0"}, std::pair{"25", "100"}}) {
        rig.run({"DSG", "2", "1", gain});
        rig.dev({"CAL", "2", "1"});
        rig.send("MOV 1 1 100 100 100 12 1 S\r");
        rig.tool.clock.advanceMs(2000);
        EXPECT_EQ(rig.dev({"CCT", "2"}),
                  std::string("Calibration progress...: ") + pulses + " " + pulses + " \n")
            << gain;
        rig.dev({"CAS", "2"});
    }
}

TEST(SensorOnSim, ReadingsFollowTheStageAndLimitsTrackThem) {
    SimRig rig;
    const std::string atZero = "RSM 5, channel 1 value: 0.007250000[m]\n";
    EXPECT_EQ(rig.run({"PGV", "5", "1", "CEDAR1-POT"}), atZero);
    EXPECT_EQ(rig.run({"MMR", "5", "1"}),
              "Minimum and maximum values for RSM 5, channel 1 have been reset\n");
    EXPECT_EQ(rig.send("MOV 3 1 500 100 1000 12 1 S\r"), "_MOV\r");
    rig.tool.clock.advanceMs(3000);
    // 1000 steps of 116 counts each on a 14.5 mm sensor.
    EXPECT_EQ(rig.run({"PGV", "5", "1", "CEDAR1-POT"}), "RSM 5, channel 1 value: 0.007350255[m]\n");
    EXPECT_EQ(rig.run({"PGVA", "5", "CEDAR1-POT", "CEDAR1-POT", "ASPEN1"}),
              "RSM 5, channel 1 value: 0.007350255[m]\nRSM 5, channel 2 value: 0.007250000[m]\n");
    EXPECT_EQ(rig.send("MOV 3 0 500 100 1500 12 1 S\r"), "_MOV\r");
    rig.tool.clock.advanceMs(4000);
    EXPECT_EQ(rig.run({"MAR", "5", "1", "CEDAR1-POT"}), "RSM 5, channel 1 maximum value: 0.007350255[m]\n");
    EXPECT_EQ(rig.run({"MIR", "5", "1", "CEDAR1-POT"}), "RSM 5, channel 1 minimum value: 0.007199872[m]\n");
    EXPECT_EQ(rig.run({"MAS", "5", "1"}), "Maximum value for RSM 5, channel 1 has been set\n");
    EXPECT_EQ(rig.run({"MAR", "5", "1", "CEDAR1-POT"}), "RSM 5, channel 1 maximum value: 0.007199872[m]\n");
    EXPECT_EQ(rig.run({"MIS", "5", "2"}), "Minimum value for RSM 5, channel 2 has been set\n");
    EXPECT_EQ(rig.run({"PGV", "3", "1", "CEDAR1-POT"}), "Unable to comply\n");  // a drive module
}

TEST(SensorOnSim, ExcitationBitmaskAndStore) {
    SimRig rig;
    EXPECT_EQ(rig.run({"EXS", "5", "40"}), "Excitation duty-cycle for RSM 5 has been set\n");
    EXPECT_EQ(rig.run({"EXR", "5"}), "RSM 5, excitation duty-cycle: 40[%]\n");
    EXPECT_EQ(rig.dev({"EXS", "5", "1000", "20"}),
              "Excitation frequency and duty-cycle for RSM 5 has been set\n");
    EXPECT_EQ(rig.dev({"EXR", "5"}),
              "RSM 5, excitation frequency:  1000[Hz]\nRSM 5, excitation duty-cycle: 20[%]\n");
    rig.controller.inspect([](vm::sim::Model& m) { return m.slots[4].sensor.reading[0] = 8388708; });
    EXPECT_EQ(rig.run({"PGV", "5", "1", "CEDAR1-POT"}), "RSM 5, channel 1 value: 0.007250086[m]\n");
    EXPECT_EQ(rig.dev({"SKS", "5", "1", "8"}), "Bitmask for RSM 5, channel 1 has been set\n");
    EXPECT_EQ(rig.dev({"SKR", "5", "1"}), "RSM 5, channel 1 bitmask: 8[LSB]\n");
    EXPECT_EQ(rig.run({"PGV", "5", "1", "CEDAR1-POT"}), "RSM 5, channel 1 value: 0.007250000[m]\n");
    EXPECT_EQ(rig.run({"RSS", "5"}), "Settings for RSM 5 have been stored in flash\n");
    const auto flash = rig.controller.inspect([](vm::sim::Model& m) { return m.slots[4].sensor.flash; });
    EXPECT_EQ(flash.excitationHz, 1000);
    EXPECT_EQ(flash.excitationDuty, 20);
    EXPECT_EQ(flash.bitmask[0], 8);
    EXPECT_EQ(rig.run({"EXS", "5", "0"}), "Excitation duty-cycle for RSM 5 has been set\n");
    EXPECT_EQ(rig.run({"PGV", "5", "1", "CEDAR1-POT"}), "RSM 5, channel 1 value: 0.000000000[m]\n");
}

TEST(SensorOnSim, SummaryReadsSevenOrTenLines) {
    SimRig rig;
    const std::string limits =
        "RSM 5, channel 1 minimum value: 0.007250000[m]\n"
        "RSM 5, channel 1 maximum value: 0.007250000[m]\n"
        "RSM 5, channel 2 minimum value: 0.007250000[m]\n"
        "RSM 5, channel 2 maximum value: 0.007250000[m]\n";
    EXPECT_EQ(rig.run({"INF", "5", "CEDAR1-POT", "CEDAR1-POT", "ASPEN1"}),
              "RSM 5, excitation duty-cycle: 50[%]\n" + limits);
    EXPECT_EQ(rig.dev({"INF", "5", "CEDAR1-POT", "CEDAR1-POT", "ASPEN1"}),
              "RSM 5, excitation frequency:  5000[Hz]\nRSM 5, excitation duty-cycle: 50[%]\n" + limits +
                  "RSM 5, channel 1 bitmask: 0[LSB]\nRSM 5, channel 2 bitmask: 0[LSB]\n"
                  "RSM 5, channel 3 bitmask: 0[LSB]\n");
}

TEST(SensorOnSim, HighFrequencyRecordingFollowsAMove) {
    SimRig rig;
    EXPECT_EQ(rig.send("MOV 3 1 500 100 0 12 2 S\r"), "_MOV\r");  // channel 2 steps until stopped
    const std::string out = rig.run({"HFM", "5", "2", "CEDAR1-POT"});
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 1u + 2048u);
    EXPECT_EQ(lines[0], "High frequency measurement RSM 5, channel 2");
    EXPECT_TRUE(lines[1].starts_with("0.000000000[s]\t83886")) << lines[1];
    EXPECT_TRUE(lines.back().starts_with("0.419225600[s]\t")) << lines.back();
    // 0.42 s at 500 Hz is about 210 steps of 116 counts: the reading rises by about 24000.
    const long first = std::stol(lines[1].substr(lines[1].find('\t') + 1));
    const long last = std::stol(lines.back().substr(lines.back().find('\t') + 1));
    EXPECT_NEAR(last - first, 209 * 116, 2 * 116);
}

}  // namespace
