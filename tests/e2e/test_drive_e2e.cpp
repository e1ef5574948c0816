// The real vmcli against the real vmsim over TCP on 127.0.0.1: drive-module commands, the module
// listing and the network read-out, one vmcli process per command. Over the LAN link the replies
// arrive without their carriage return, so these runs also check that busy replies still stop a
// moving module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/sim_process.h"

namespace {

using vm::test::SimProcess;

struct Rig {
    // Ten times real time: the capacitance and amplifier measurements take 0.2 s and 0.8 s.
    SimProcess sim{VMSIM_PATH, {"--speed", "10"}};

    std::string run(const std::vector<std::string>& words) {
        std::vector<std::string> argv{VMCLI_PATH, "@127.0.0.1"};
        argv.insert(argv.end(), words.begin(), words.end());
        const auto result = vm::test::RunProcess(argv, {}, std::chrono::seconds(30), {sim.portEnvironment()});
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0);
        return result.output;
    }
};

const std::string kStopped = "STATUS : STOP\nFAILSAFE STATE: 0x0\n";

TEST(DriveEndToEnd, ModuleListDescriptorsAndNetwork) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    EXPECT_EQ(rig.run({"modlist"}),
              "STATUS : INQUIRY OF INSTALLED MODULES \nConfiguration:A\n"
              "SLOT 1 : Vellumotor Driver Module (VMDM)\tADR:1\n"
              "SLOT 2 : Optical Encoder Module      (OEM )\tADR:2\n"
              "SLOT 3 : Vellumotor Driver Module (VMDM)\tADR:3\n"
              "SLOT 4 : Optical Encoder Module      (OEM )\tADR:4\n"
              "SLOT 5 : Resistive Sensor Module     (RSM )\tADR:5\n"
              "SLOT 6 :  \n");
    EXPECT_EQ(rig.run({"DESC", "3"}), "Version           : 3.05\nAvailable Channels: 3\n");
    EXPECT_EQ(rig.run({"INFO", "1", "2"}), "STAGE\t:PROFILE1\nTAG\t:-\n");
    EXPECT_EQ(rig.run({"FIV", "1"}), "Firmware Version: 3.05 \n");
    EXPECT_EQ(rig.run({"SUD", "LAB2"}), "_SUD \n");
    // The LAN link hands over the reply without its carriage return.
    EXPECT_EQ(rig.run({"IPR"}), " -- _IPR 255 192 168 1 100 255 255 255 0 192 168 1 1 ");
}

TEST(DriveEndToEnd, MoveStopsARunningModuleFirstThenStopAndStatus) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    EXPECT_EQ(rig.run({"MOV", "3", "ASPEN1", "4", "1", "300", "100", "0"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.run({"STS", "3"}), "STATUS : MOVE\n");
    // The second move finds the module busy ("_MOV" without a carriage return) and stops it
    // before it sends its own move.
    EXPECT_EQ(rig.run({"MOV", "3", "ASPEN1", "4", "0", "300", "100", "0"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.run({"STP", "3"}), "STATUS : STOP\n");
    EXPECT_EQ(rig.run({"STS", "3"}), kStopped);
    EXPECT_EQ(rig.run({"SDC", "3", "700"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.run({"STS", "3"}), "STATUS : SCAN\n");
    EXPECT_EQ(rig.run({"EXT", "3", "ASPEN1", "4", "1", "300", "100"}), "STATUS : USING EXTERNAL INPUT\n");
    EXPECT_EQ(rig.run({"STP", "3"}), "STATUS : STOP\n");
    EXPECT_EQ(rig.run({"RFS", "3"}), "Failsafe has been reset\n");
}

TEST(DriveEndToEnd, MeasurementsAndExtendedMode) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    EXPECT_EQ(rig.run({"SCM", "1"}), "Measuring Capacitance ...\rMeasured Capacitance: 1000 [nF]\n");
    const std::string table = rig.run({"SAM", "1"});
    EXPECT_TRUE(table.starts_with("Measuring Amplifier ...\rAmplifier Measurement\n0:0\t1:0\t2:1\t3:2\t"))
        << table;
    EXPECT_TRUE(table.find("\tFF:E3\t\n100:E3\t") != std::string::npos) << table;
    EXPECT_TRUE(table.ends_with("\t1FF:0\t\n\n")) << table;
    EXPECT_EQ(rig.run({"FBP", "1", "ASPEN1", "4"}), "_FBP\n");
    EXPECT_EQ(rig.run({"FBM", "1", "1", "200"}), "_FBM\n");
    EXPECT_EQ(rig.run({"STS", "1"}), "STATUS : MOVE\n");
    EXPECT_EQ(rig.run({"FBS", "1"}), "_FBS\n");
    EXPECT_EQ(rig.run({"FBX", "1"}), "_FBX\n");
    EXPECT_EQ(rig.run({"STS", "1"}), kStopped);
}

}  // namespace
