// The real vmcli against the real vmsim over TCP on 127.0.0.1: encoder-module and sensor-module
// commands, one vmcli process per command as scripts run it. Over the LAN link replies arrive
// without their carriage return.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/clock.h"
#include "tests/support/process.h"
#include "tests/support/sim_process.h"

namespace {

using vm::test::SimProcess;

struct Rig {
    SimProcess sim{VMSIM_PATH};

    std::string run(const std::vector<std::string>& words) {
        std::vector<std::string> argv{VMCLI_PATH, "@127.0.0.1"};
        argv.insert(argv.end(), words.begin(), words.end());
        const auto result = vm::test::RunProcess(argv, {}, std::chrono::seconds(20), {sim.portEnvironment()});
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0);
        return result.output;
    }
};

TEST(EncoderSensorEndToEnd, DetectorSettingsStoredAndLoaded) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    EXPECT_EQ(rig.run({"MLS", "2", "1"}),
              "Post Detector Gain         CH1: 128\n"
              "Upper Comparator Threshold CH1: 180\n"
              "Lower Comparator Threshold CH1: 60\n");
    EXPECT_EQ(rig.run({"DSG", "2", "1", "40"}), "GAIN for CH1 has been set\n");
    EXPECT_EQ(rig.run({"MSS", "2", "1"}), "Settings have been stored to internal flash\n");
    EXPECT_EQ(rig.run({"DSG", "2", "1", "0"}), "GAIN for CH1 has been set\n");
    EXPECT_EQ(rig.run({"MLS", "2", "1"}),
              "Post Detector Gain         CH1: 40\n"
              "Upper Comparator Threshold CH1: 180\n"
              "Lower Comparator Threshold CH1: 60\n");
    EXPECT_EQ(rig.run({"SLD", "2", "250"}), "STATUS : LASER DUTYCYCLE HAS BEEN SET\n");
    EXPECT_EQ(rig.run({"MLS", "1", "1"}), "Unable to comply\n");  // a drive module sits in slot 1
}

TEST(EncoderSensorEndToEnd, MoveThenStatusThenPosition) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    // 60 steps at 300 Hz take 0.2 s; the counter of the encoder module in slot 2 counts up.
    EXPECT_EQ(rig.run({"MOV", "1", "ASPEN1B", "4", "1", "300", "100", "60"}), "STATUS : MOVE\n");
    vm::SteadyClock clock;
    std::string position;
    for (int i = 0; i < 50 && position != "POS :60\nRVL :512\n"; ++i) {  // 5 s at most
        clock.sleepMs(100);
        position = rig.run({"POS", "2", "1"});
    }
    EXPECT_EQ(position, "POS :60\nRVL :512\n");
    EXPECT_TRUE(rig.run({"STS", "1"}).starts_with("STATUS : STOP\n"));
    EXPECT_EQ(rig.run({"POSA", "2"}), "POS :60 0 0\n");
}

TEST(EncoderSensorEndToEnd, SensorReadingsAndSummary) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    EXPECT_EQ(rig.run({"PGVA", "5", "CEDAR1-POT", "MAPLE1-ENC", "ASPEN1"}),
              "RSM 5, channel 1 value: 0.007250000[m]\n"
              "RSM 5, channel 2 value: 0.003695991[rad]\n");
    EXPECT_EQ(rig.run({"EXS", "5", "30"}), "Excitation duty-cycle for RSM 5 has been set\n");
    EXPECT_EQ(rig.run({"INF", "5", "CEDAR1-POT", "CEDAR1-POT", "CEDAR1-POT"}),
              "RSM 5, excitation duty-cycle: 30[%]\n"
              "RSM 5, channel 1 minimum value: 0.007250000[m]\n"
              "RSM 5, channel 1 maximum value: 0.007250000[m]\n"
              "RSM 5, channel 2 minimum value: 0.007250000[m]\n"
              "RSM 5, channel 2 maximum value: 0.007250000[m]\n"
              "RSM 5, channel 3 minimum value: 0.007250000[m]\n"
              "RSM 5, channel 3 maximum value: 0.007250000[m]\n");
    EXPECT_EQ(rig.run({"PGV", "4", "1", "CEDAR1-POT"}), "Unable to comply\n");  // an encoder module
}

}  // namespace
