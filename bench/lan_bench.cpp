// One vmcli command as a process against a real vmsim process over TCP on 127.0.0.1, side by
// side with the floor (a minimal C client doing the same exchanges) and with process start alone;
// TCP_COM::Exchange in a loop side by side with the floor exchange in a loop; the peak memory of
// each program. The variants of one comparison take turns within every iteration, so a change
// in the machine's load affects them alike; counters are medians over the iteration's samples.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/floor_client.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/tcp_com.h"
#include "link/text_out.h"
#include "tests/support/sim_process.h"

namespace {

using vm::bench::Median;
using Steady = std::chrono::steady_clock;

// vmsim on a free port; the tools started by the benchmarks find it through VM_LAN_PORT.
class Setup {
  public:
    Setup() : sim_(VMSIM_PATH) {
        if (sim_.ready()) ::setenv("VM_LAN_PORT", std::to_string(sim_.port()).c_str(), 1);
    }
    const vm::test::SimProcess& sim() const { return sim_; }

  private:
    vm::test::SimProcess sim_;
};

Setup& Shared() {
    static Setup setup;
    return setup;
}

struct Program {
    const char* name;
    std::vector<std::string> argv;
    std::string expected;  // the whole standard output
    std::vector<double> ms{};
    int wrong = 0;
};

// "vmcli @127.0.0.1 STS 1" is two exchanges on connections of their own: the status, then the
// failsafe query. The floor client makes the same two.
void BM_OneCommandProcess(benchmark::State& state) {
    if (!Shared().sim().ready()) {
        state.SkipWithError("vmsim did not start");
        return;
    }
    const std::string port = std::to_string(Shared().sim().port());
    std::vector<Program> programs = {
        {"true", {"/bin/true"}, ""},
        {"floor", {FLOOR_CLIENT_PATH, "127.0.0.1", port, "1", "STS 1", "GFS 1"}, "_STP\n_GFS 0\n"},
        {"vmcli", {VMCLI_PATH, "@127.0.0.1", "STS", "1"}, "STATUS : STOP\nFAILSAFE STATE: 0x0\n"},
        {"vmcli_ver", {VMCLI_PATH, "/ver"}, "Version: VMCLI.6.0.20190715\n\n"},
    };
    std::size_t turn = 0;
    for (auto _ : state) {
        double total = 0;
        for (std::size_t i = 0; i < programs.size(); ++i) {
            Program& p = programs[(turn + i) % programs.size()];
            const vm::bench::TimedRun run = vm::bench::RunTimed(p.argv, {}, 10);
            if (run.exitCode != 0 || run.output != p.expected) ++p.wrong;
            p.ms.push_back(run.seconds * 1e3);
            total += run.seconds;
        }
        ++turn;
        state.SetIterationTime(total);
    }
    int wrong = 0;
    for (const Program& p : programs) {
        state.counters[std::string(p.name) + "_ms"] = Median(p.ms);
        wrong += p.wrong;
    }
    const double trueMs = Median(programs[0].ms), floorMs = Median(programs[1].ms);
    const double vmcliMs = Median(programs[2].ms), versionMs = Median(programs[3].ms);
    state.counters["vmcli_over_floor"] = vmcliMs / floorMs;
    state.counters["vmcli_over_true"] = vmcliMs / trueMs;
    state.counters["floor_over_true"] = floorMs / trueMs;
    state.counters["vmcli_ver_over_true"] = versionMs / trueMs;
    state.counters["wrong_output"] = wrong;
}

// Exchanges of "STS 1" in batches, TCP_COM and the floor in turn.
void BM_ExchangeLoop(benchmark::State& state) {
    if (!Shared().sim().ready()) {
        state.SkipWithError("vmsim did not start");
        return;
    }
    constexpr int kBatch = 100;
    vm::SteadyClock clock;
    vm::StringTextOut out;
    const vm::LinkContext context{vm::LinkSettings::commandLine(), clock, out};
    vm::LanPorts ports;
    ports.command = Shared().sim().port();
    vm::TCP_COM link(context, ports);
    link.Open("127.0.0.1");
    const sockaddr_in address = vm::bench::Loopback(Shared().sim().port());

    std::vector<double> linkUs, floorUs;
    int wrong = 0;
    auto linkBatch = [&] {
        const auto start = Steady::now();
        for (int i = 0; i < kBatch; ++i) {
            link.command().assign("STS 1\r");
            if (link.Exchange() != 0 || link.reply().view() != "_STP") ++wrong;
        }
        linkUs.push_back(std::chrono::duration<double, std::micro>(Steady::now() - start).count() / kBatch);
    };
    auto floorBatch = [&] {
        char reply[512];
        const auto start = Steady::now();
        for (int i = 0; i < kBatch; ++i) {
            if (floor_exchange(&address, "STS 1\r", reply, sizeof reply, 1000) != 4) ++wrong;
        }
        floorUs.push_back(std::chrono::duration<double, std::micro>(Steady::now() - start).count() / kBatch);
    };
    bool linkFirst = true;
    for (auto _ : state) {
        if (linkFirst) {
            linkBatch();
            floorBatch();
        } else {
            floorBatch();
            linkBatch();
        }
        linkFirst = !linkFirst;
    }
    state.SetItemsProcessed(state.iterations() * 2 * kBatch);
    const double tcp = Median(linkUs), floor = Median(floorUs);
    state.counters["tcp_com_us"] = tcp;
    state.counters["floor_us"] = floor;
    state.counters["tcp_com_per_s"] = 1e6 / tcp;
    state.counters["floor_per_s"] = 1e6 / floor;
    state.counters["tcp_com_over_floor"] = tcp / floor;
    state.counters["wrong_replies"] = wrong;
}

// Peak resident memory of each program of the process comparison (its own, read as it exits),
// and of the controller after all the benchmarks above have run against it.
void BM_PeakMemory(benchmark::State& state) {
    const std::string port = std::to_string(Shared().sim().port());
    const std::vector<std::pair<const char*, std::vector<std::string>>> programs = {
        {"true", {"/bin/true"}},
        {"floor", {FLOOR_CLIENT_PATH, "127.0.0.1", port, "1", "STS 1", "GFS 1"}},
        {"vmcli", {VMCLI_PATH, "@127.0.0.1", "STS", "1"}},
    };
    std::vector<std::vector<double>> kib(programs.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < programs.size(); ++i)
            kib[i].push_back(static_cast<double>(vm::bench::PeakRssOfRun(programs[i].second)));
    }
    for (std::size_t i = 0; i < programs.size(); ++i)
        state.counters[std::string(programs[i].first) + "_peak_KiB"] = Median(kib[i]);
    state.counters["vmcli_over_floor"] = Median(kib[2]) / Median(kib[1]);
    state.counters["vmsim_peak_KiB"] = static_cast<double>(vm::bench::PeakRssKiB(Shared().sim().pid()));
}

BENCHMARK(BM_OneCommandProcess)->Iterations(40)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_ExchangeLoop)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeakMemory)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
