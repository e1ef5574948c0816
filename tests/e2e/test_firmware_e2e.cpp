// The real vmcli against the real vmsim over TCP on 127.0.0.1: a firmware update confirmed
// through a pipe on standard input, refused when standard input is closed, and ending in FU5
// when the unit corrupts a cluster.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_dir.h"

namespace {

using vm::test::SimProcess;

// A 40-byte image file in a private directory: five groups, one partial cluster.
class SmallImage {
  public:
    SmallImage() {
        std::string bytes;
        for (int i = 0; i < 40; ++i) bytes.push_back(static_cast<char>(i * 37 + 5));
        path_ = dir_.file("image.bin", bytes);
    }
    const std::string& path() const { return path_; }

  private:
    vm::test::TempDir dir_{"vm-fu-e2e"};
    std::string path_;
};

struct Rig {
    explicit Rig(const std::vector<std::string>& simArgs = {}) : sim(VMSIM_PATH, simArgs) {}
    SimProcess sim;
    SmallImage image;

    std::string run(const std::vector<std::string>& words, const std::string& input = {}) {
        std::vector<std::string> argv{VMCLI_PATH, "@127.0.0.1"};
        argv.insert(argv.end(), words.begin(), words.end());
        const auto result =
            vm::test::RunProcess(argv, input, std::chrono::seconds(60), {sim.portEnvironment()});
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0);
        return result.output;
    }
};

// The CRC the tool printed for the image, as the unit's version text after the update.
std::string VersionFromOutput(const std::string& out) {
    const std::string label = "\tChecksum of Image: 0x";
    const auto at = out.find(label);
    if (at == std::string::npos) return {};
    const unsigned crc = static_cast<unsigned>(std::stoul(out.substr(at + label.size()), nullptr, 16));
    char version[16];
    std::snprintf(version, sizeof version, "fw-%04X", crc);
    return version;
}

TEST(FirmwareEndToEnd, UpdateConfirmedThroughAPipe) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    const std::string out = rig.run({"FU", "1", rig.image.path()}, "y");
    EXPECT_NE(out.find("\n\tChecksums are MATCHING\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n\tCONTROLLER REBOOT...  Please wait...\n"), std::string::npos) << out;
    const std::string version = VersionFromOutput(out);
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(rig.run({"FIV", "1"}), "Firmware Version: " + version + " \n");
}

TEST(FirmwareEndToEnd, ClosedInputRefusesWithoutSending) {
    Rig rig;
    ASSERT_TRUE(rig.sim.ready());
    const std::string out = rig.run({"FU", "1", rig.image.path()});
    EXPECT_TRUE(
        out.ends_with("\tFile could not be loaded ...\n"
                      "\n===================== END  OF  UPDATE =======================\n\n"))
        << out;
    EXPECT_EQ(rig.run({"FIV", "1"}), "Firmware Version: 3.05 \n");
}

TEST(FirmwareEndToEnd, CorruptedClusterEndsInFU5) {
    Rig rig({"--firmware-fault", "flipflashbit:0:100@1"});
    ASSERT_TRUE(rig.sim.ready());
    const std::string out = rig.run({"FU", "1", rig.image.path()}, "y");
    EXPECT_NE(out.find("\tChecksum match FAILED\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("CONTROLLER REBOOT"), std::string::npos) << out;
    EXPECT_EQ(rig.run({"FIV", "1"}), "Firmware Version: 3.05 \n");
}

}  // namespace
