// The real vmcli runs the encoder calibration against the real vmsim over TCP on 127.0.0.1, in
// real time, started as the desktop program and scripts start it: with a pipe or nothing on its
// standard input, so the final Enter prompt must not keep it waiting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/sim_process.h"

namespace {

using vm::test::SimProcess;

const std::string kEnterPrompt = "\n Press ENTER to continue ...\n";

vm::test::ProcessResult Calibrate(const SimProcess& sim, const std::string& input, bool keepInputOpen) {
    // The desktop program's call: a profile name as the third word, start direction 1, 600 Hz.
    const std::vector<std::string> argv{VMCLI_PATH, "@127.0.0.1", "OEMC", "2",  "1",
                                        "PROFILE1", "4",          "1",    "600"};
    return vm::test::RunProcess(argv, input, std::chrono::seconds(60), {sim.portEnvironment()},
                                keepInputOpen);
}

TEST(CalibrationEndToEnd, TheDesktopCallCalibratesWhileStandardInputStaysOpenAndSilent) {
    SimProcess sim(VMSIM_PATH);
    ASSERT_TRUE(sim.ready());
    const auto result = Calibrate(sim, {}, true);
    ASSERT_FALSE(result.timedOut) << result.output;
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.output.find("- Encoder Signal is EXCELLENT!\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Settings have been stored to internal flash\n"), std::string::npos);
    EXPECT_TRUE(result.output.ends_with("- SUCCESS: Calibration complete\n" + kEnterPrompt)) << result.output;
    // No terminal: plain text, no title sequence.
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos);
}

TEST(CalibrationEndToEnd, AnAnsweredOrClosedInputEndsAtThePrompt) {
    SimProcess sim(VMSIM_PATH, {"--signal", "2.1=offset"});
    ASSERT_TRUE(sim.ready());
    for (const std::string input : {"\n", ""}) {
        const auto result = Calibrate(sim, input, false);
        ASSERT_FALSE(result.timedOut) << result.output;
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_NE(result.output.find("- FAILED: Signal range too low\n"), std::string::npos) << result.output;
        EXPECT_TRUE(result.output.ends_with(kEnterPrompt)) << result.output;
    }
}

}  // namespace
