#include "tests/support/sim_process.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "link/clock.h"

namespace vm::test {

namespace {

// A private directory for the ready file; empty when none could be made.
std::string MakeDirectory() {
    std::string pattern = "/tmp/vmsim-test-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string{};
}

constexpr int kReadyPolls = 500;  // 20 ms apart: 10 s at most
constexpr std::uint32_t kReadyPollMs = 20;

}  // namespace

std::vector<std::string> SimProcess::Arguments(const std::string& vmsimPath, const std::string& readyFile,
                                               const std::vector<std::string>& extraArgs,
                                               const std::vector<std::string>& launcher) {
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {vmsimPath, "--bind", "127.0.0.1", "--port", "0", "--no-discovery",
                             "--ready-file", readyFile});
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    return argv;
}

SimProcess::SimProcess(const std::string& vmsimPath, const std::vector<std::string>& extraArgs)
    : SimProcess({}, vmsimPath, extraArgs) {}

SimProcess::SimProcess(const std::vector<std::string>& launcher, const std::string& vmsimPath,
                       const std::vector<std::string>& extraArgs)
    : directory_(MakeDirectory()),
      readyFile_(directory_ + "/ready"),
      child_(Arguments(vmsimPath, readyFile_, extraArgs, launcher)) {
    if (directory_.empty() || !child_.running()) return;
    // The program writes "PORT DISCOVERYPORT" to the file (renamed into place) once it listens.
    SteadyClock clock;
    for (int i = 0; i < kReadyPolls && port_ == 0; ++i) {
        std::ifstream in(readyFile_);
        long port = 0;
        if (in >> port && port > 0 && port < 65536) {
            port_ = static_cast<std::uint16_t>(port);
            break;
        }
        clock.sleepMs(kReadyPollMs);
    }
}

SimProcess::~SimProcess() {
    child_.stop();
    if (directory_.empty()) return;
    std::remove(readyFile_.c_str());
    rmdir(directory_.c_str());
}

}  // namespace vm::test
