// Transactions per second through a pipe server process against a real vmsim process, compared
// in the same run with the same transactions straight to vmsim over TCP. Two levels: the link
// alone (PIPE_COM or TCP_COM in this process, "STS 1" each time) and the tool (one vmcli process
// per "STS 1" command, which is two transactions: the status and the failsafe query).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/clock.h"
#include "link/link_settings.h"
#include "link/pipe_com.h"
#include "link/tcp_com.h"
#include "link/text_out.h"
#include "tests/support/process.h"
#include "tests/support/sim_process.h"

extern char** environ;

namespace {

const std::string kAddress = "127.0.0.1";

// vmsim, a private endpoint directory and "vmcli SERV:127.0.0.1" with its log discarded; all
// stopped when the benchmark ends.
class Setup {
  public:
    Setup() : sim_(VMSIM_PATH) {
        char pattern[] = "/tmp/vmpipe-bench-XXXXXX";
        directory_ = ::mkdtemp(pattern);
        ::setenv("VM_PIPE_DIR", directory_.c_str(), 1);
        ::setenv("VM_LAN_PORT", std::to_string(sim_.port()).c_str(), 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        std::string program = VMCLI_PATH;
        std::string mode = "SERV:" + kAddress;
        char* argv[] = {program.data(), mode.data(), nullptr};
        if (posix_spawn(&server_, argv[0], &actions, nullptr, argv, environ) != 0) server_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        const std::string endpoint = directory_ + "/" + kAddress + "SR";
        for (int i = 0; i < 500; ++i) {
            struct stat st {};
            if (::stat(endpoint.c_str(), &st) == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Setup() {
        if (server_ > 0) {
            ::kill(server_, SIGKILL);
            ::waitpid(server_, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    bool ready() const { return sim_.ready() && server_ > 0; }

  private:
    vm::test::SimProcess sim_;
    std::string directory_;
    pid_t server_ = -1;
};

Setup& Shared() {
    static Setup setup;
    return setup;
}

template <class Link>
void LinkTransactions(benchmark::State& state) {
    if (!Shared().ready()) {
        state.SkipWithError("vmsim or the pipe server did not start");
        return;
    }
    vm::SteadyClock clock;
    vm::StringTextOut out;
    vm::LinkContext context{vm::LinkSettings::commandLine(), clock, out};
    Link link(context);
    if (!link.Open(kAddress)) {
        state.SkipWithError("open failed");
        return;
    }
    std::int64_t failures = 0;
    for (auto _ : state) {
        link.command().assign("STS 1\r");
        // Over TCP the carriage return is removed, and the server relays what its TCP link left.
        if (link.Exchange() != 0 || link.reply().view() != "_STP") ++failures;
    }
    link.Close();
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = static_cast<double>(failures);
}

void ToolCommands(benchmark::State& state, const std::string& selector) {
    if (!Shared().ready()) {
        state.SkipWithError("vmsim or the pipe server did not start");
        return;
    }
    std::int64_t wrong = 0;
    for (auto _ : state) {
        const auto result = vm::test::RunProcess({VMCLI_PATH, selector, "STS", "1"});
        if (result.output != "STATUS : STOP\nFAILSAFE STATE: 0x0\n") ++wrong;
    }
    state.SetItemsProcessed(state.iterations() * 2);  // two transactions per command
    state.counters["wrong_output"] = static_cast<double>(wrong);
}

void BM_LinkDirectTcp(benchmark::State& state) { LinkTransactions<vm::TCP_COM>(state); }
void BM_LinkThroughServer(benchmark::State& state) { LinkTransactions<vm::PIPE_COM>(state); }
void BM_ToolDirectTcp(benchmark::State& state) { ToolCommands(state, "@" + kAddress); }
void BM_ToolThroughServer(benchmark::State& state) { ToolCommands(state, "@SERV:" + kAddress); }

BENCHMARK(BM_LinkDirectTcp)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LinkThroughServer)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ToolDirectTcp)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ToolThroughServer)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
