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

#include "bench/bench_support.h"
#include "bench/floor_client.h"
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

// The relay's added latency per transaction, measured with the direct exchange and the floor
// exchange taking turns in every iteration, so that the machine's load affects them alike.
void BM_RelayAddedLatency(benchmark::State& state) {
    if (!Shared().ready()) {
        state.SkipWithError("vmsim or the pipe server did not start");
        return;
    }
    constexpr int kBatch = 50;
    vm::SteadyClock clock;
    vm::StringTextOut out;
    vm::LinkContext context{vm::LinkSettings::commandLine(), clock, out};
    vm::TCP_COM direct(context);
    vm::PIPE_COM relayed(context);
    if (!direct.Open(kAddress) || !relayed.Open(kAddress)) {
        state.SkipWithError("open failed");
        return;
    }
    const char* port = std::getenv("VM_LAN_PORT");
    const sockaddr_in address = vm::bench::Loopback(static_cast<std::uint16_t>(std::atoi(port ? port : "0")));
    std::vector<double> directUs, relayedUs, floorUs;
    std::int64_t failures = 0;
    auto batch = [&](std::vector<double>& samples, auto&& exchange) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i)
            if (!exchange()) ++failures;
        samples.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() /
            kBatch);
    };
    auto onLink = [](vm::COM_METHOD& link) {
        return [&link] {
            link.command().assign("STS 1\r");
            return link.Exchange() == 0 && link.reply().view() == "_STP";
        };
    };
    auto onFloor = [&address] {
        char reply[512];
        return floor_exchange(&address, "STS 1\r", reply, sizeof reply, 1000) == 4;
    };
    int turn = 0;
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) {
            switch ((turn + k) % 3) {
                case 0:
                    batch(directUs, onLink(direct));
                    break;
                case 1:
                    batch(relayedUs, onLink(relayed));
                    break;
                default:
                    batch(floorUs, onFloor);
                    break;
            }
        }
        ++turn;
    }
    relayed.Close();
    const double d = vm::bench::Median(directUs), r = vm::bench::Median(relayedUs),
                 f = vm::bench::Median(floorUs);
    state.SetItemsProcessed(state.iterations() * 3 * kBatch);
    state.counters["direct_us"] = d;
    state.counters["relayed_us"] = r;
    state.counters["floor_us"] = f;
    state.counters["added_us"] = r - d;
    state.counters["relayed_over_direct"] = r / d;
    state.counters["relayed_over_floor"] = r / f;
    state.counters["failures"] = static_cast<double>(failures);
}

void BM_LinkDirectTcp(benchmark::State& state) { LinkTransactions<vm::TCP_COM>(state); }
void BM_LinkThroughServer(benchmark::State& state) { LinkTransactions<vm::PIPE_COM>(state); }
void BM_ToolDirectTcp(benchmark::State& state) { ToolCommands(state, "@" + kAddress); }
void BM_ToolThroughServer(benchmark::State& state) { ToolCommands(state, "@SERV:" + kAddress); }

BENCHMARK(BM_RelayAddedLatency)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LinkDirectTcp)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LinkThroughServer)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ToolDirectTcp)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ToolThroughServer)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
