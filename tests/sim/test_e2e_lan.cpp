// The real vmcli against a real vmsim: over TCP on 127.0.0.1, and the /LAN discovery inside
// network namespaces made by the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "tests/link/netns.h"
#include "tests/support/process.h"
#include "tests/support/sim_process.h"

namespace vm::test {
namespace {

const char* IpPath() { return ::access("/usr/sbin/ip", X_OK) == 0 ? "/usr/sbin/ip" : "/sbin/ip"; }

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "/vmsim_e2e_" + std::to_string(::getpid()) + "_" + name;
}

std::string Vmcli(const std::vector<std::string>& words, int port) {
    std::vector<std::string> argv{VMCLI_PATH};
    argv.insert(argv.end(), words.begin(), words.end());
    const auto result =
        RunProcess(argv, {}, std::chrono::seconds(20), {"VM_LAN_PORT=" + std::to_string(port)});
    EXPECT_EQ(result.exitCode, 0);
    return result.output;
}

TEST(LanEndToEnd, VmcliTalksToVmsimOverTcp) {
    SimProcess sim(VMSIM_PATH);
    ASSERT_TRUE(sim.ready()) << "vmsim did not start";
    struct Step {
        std::vector<std::string> words;
        std::string output;
    };
    const std::string stopped = "POS :0\nRVL :512\n";
    const Step steps[] = {
        {{"@127.0.0.1", "STS", "1"}, "STATUS : STOP\nFAILSAFE STATE: 0x0\n"},
        {{"@127.0.0.1", "MOV", "1", "ASPEN1", "4", "1", "300", "100", "0"}, "STATUS : MOVE\n"},
        {{"@127.0.0.1", "STS", "1"}, "STATUS : MOVE\n"},
        {{"@127.0.0.1", "STP", "1"}, "STATUS : STOP\n"},
        {{"@127.0.0.1", "STS", "2"}, "STATUS : NOT FOUND\n"},
        {{"@127.0.0.1", "DESC", "3"}, "Version           : 3.05\nAvailable Channels: 3\n"},
    };
    std::string position;
    for (const auto& step : steps) {
        EXPECT_EQ(Vmcli(step.words, sim.port()), step.output) << step.words[1];
        if (step.words[1] != "MOV") continue;
        // The encoder counter follows the move while it runs: a step takes 3.3 ms at 300 Hz,
        // which a fast machine may not spend between two commands, so look until it moved.
        for (int i = 0; i < 200; ++i) {
            position = Vmcli({"@127.0.0.1", "POS", "2", "1"}, sim.port());
            if (position != stopped) break;
            ::usleep(10'000);
        }
    }
    EXPECT_EQ(position.rfind("POS :", 0), 0u) << position;
    EXPECT_NE(position, stopped) << "no steps were counted";
}

TEST(LanEndToEnd, StateFileCarriesUserMemoryAcrossRestarts) {
    const std::string state = TempPath("state");
    {
        std::ofstream out(state);
        out << "network 0 10 1 2 3 255 255 255 0 10 1 2 1\n"
            << "channel 6 300 80 4 3 6000 PROFILE2 stageX 1\n";
    }
    {
        SimProcess sim(VMSIM_PATH, {"--state", state});
        ASSERT_TRUE(sim.ready());
        EXPECT_EQ(Vmcli({"@127.0.0.1", "INFO", "2", "3"}, sim.port()), "STAGE\t:PROFILE2\nTAG\t:stageX\n");
        EXPECT_EQ(Vmcli({"@127.0.0.1", "IPR"}, sim.port()), " -- _IPR 0 10 1 2 3 255 255 255 0 10 1 2 1 ");
    }
    std::remove(state.c_str());
}

TEST(LanEndToEnd, FaultsChosenOnVmsimsCommandLine) {
    SimProcess sim(VMSIM_PATH, {"--fault", "close@STS*1", "--fault", "delay:1500@DESC"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(Vmcli({"@127.0.0.1", "STS", "1"}, sim.port()), "") << "the first status line gets no reply";
    EXPECT_EQ(Vmcli({"@127.0.0.1", "STS", "1"}, sim.port()), "STATUS : STOP\nFAILSAFE STATE: 0x0\n");
    // A reply later than one second is not waited for.
    EXPECT_EQ(Vmcli({"@127.0.0.1", "DESC", "1"}, sim.port()), "Information not available\n");
}

TEST(LanEndToEnd, NoControllerAtTheAddress) {
    // vmsim stopped: nothing listens on its port any more.
    int port = 0;
    {
        SimProcess sim(VMSIM_PATH);
        port = sim.port();
    }
    ASSERT_GT(port, 0);
    EXPECT_EQ(Vmcli({"@127.0.0.1", "STS", "1"}, port), "");
}

TEST(LanEndToEnd, SlashLanFindsVmsimInANamespace) {
    Lan lan(1);
    if (!lan.ok())
        GTEST_SKIP() << "network namespaces unavailable (needs root and `ip netns`); /LAN is not run so that "
                        "nothing is broadcast on this machine's own interfaces";
    SimProcess sim({IpPath(), "netns", "exec", lan.controller(0)}, VMSIM_PATH,
                   {"--bind", "0.0.0.0", "--discovery"});
    ASSERT_TRUE(sim.ready());
    const auto result = RunProcess({IpPath(), "netns", "exec", lan.host(), VMCLI_PATH, "/LAN"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, std::string("\nProbing ") + Lan::kBroadcast + " for available devices ...\n\n" +
                                 "Reply from " + Lan::controllerAddress(0) + ":\tZAV VMCS-SIM\n" +
                                 "\nProbe statistics for " + Lan::kBroadcast + ":\n" +
                                 "   Unique devices = 1, Rounds = 4\n");

    // The address found is then usable as a selector from the same namespace.
    const auto status = RunProcess(
        {IpPath(), "netns", "exec", lan.host(), VMCLI_PATH, "@" + Lan::controllerAddress(0), "STS", "1"}, {},
        std::chrono::seconds(20), {"VM_LAN_PORT=" + std::to_string(sim.port())});
    EXPECT_EQ(status.output, "STATUS : STOP\nFAILSAFE STATE: 0x0\n");
}

}  // namespace
}  // namespace vm::test
