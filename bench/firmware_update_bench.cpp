// The time of a firmware update of the largest image (131064 bytes: 16383 group lines in 32
// clusters) over TCP against a real vmsim process on 127.0.0.1, in real time. The total splits
// into the fixed waits of the procedure (slept on the session's clock), the time spent inside
// link exchanges, and the rest (image preparation, CRCs, formatting the output). The floor is the
// fixed waits plus the same command lines sent by the minimal floor exchange, without waits. The
// update also runs as a real vmcli process, for its total time and its peak memory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/floor_client.h"
#include "cli/console.h"
#include "cli/firmware_update.h"
#include "cli/session.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/tcp_com.h"
#include "link/text_out.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Steady = std::chrono::steady_clock;

double Seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

// The real clock, adding up how long its sleeps took and how long they were asked to take.
class WaitCountingClock final : public vm::Clock {
  public:
    void sleepMs(std::uint32_t ms) override {
        const auto start = Steady::now();
        real_.sleepMs(ms);
        slept += Steady::now() - start;
        requestedMs += ms;
    }
    std::int64_t counter() const override { return real_.counter(); }
    std::int64_t frequency() const override { return real_.frequency(); }

    Steady::duration slept{};
    std::int64_t requestedMs = 0;

  private:
    vm::SteadyClock real_;
};

// Passes every exchange on to the TCP link and adds up the time spent in them.
class TimingLink final : public vm::COM_METHOD {
  public:
    TimingLink(const vm::LinkContext& context, vm::COM_METHOD& inner) : COM_METHOD(context), inner_(inner) {}
    bool OpenDefault() override { return inner_.OpenDefault(); }
    bool Open(std::string_view name) override { return inner_.Open(name); }
    void Close() override { inner_.Close(); }
    int ListDevices() override { return inner_.ListDevices(); }
    int Exchange() override {
        if (record) lines.emplace_back(command().view());
        const auto start = Steady::now();
        inner_.command().assign(command().view());
        const int result = inner_.Exchange();
        reply().assign(inner_.reply().view());
        const auto took = Steady::now() - start;
        spent += took;
        if (took > slowest) slowest = took;
        ++count;
        if (result != 0) ++failures;
        return result;
    }

    Steady::duration spent{};
    Steady::duration slowest{};
    std::int64_t count = 0;
    std::int64_t failures = 0;
    bool record = false;
    std::vector<std::string> lines;  // the command lines sent, when recording

  private:
    vm::COM_METHOD& inner_;
};

// A 131064-byte image in a private directory, removed at the end.
class TempImage {
  public:
    TempImage() {
        std::string bytes(131064, '\0');
        std::uint32_t seed = 1;
        for (char& b : bytes) {
            seed = seed * 1664525u + 1013904223u;
            b = static_cast<char>(seed >> 24);
        }
        path_ = dir_.file("image.bin", bytes);
    }
    const std::string& path() const { return path_; }

  private:
    vm::test::TempDir dir_{"vm-fu-bench"};
    std::string path_;
};

// The command lines of one update, recorded by the first in-process run.
std::vector<std::string>& UpdateLines() {
    static std::vector<std::string> lines;
    return lines;
}

// Sends the lines one by one with the floor exchange, without waits; returns the seconds taken.
double FloorReplay(std::uint16_t port, const std::vector<std::string>& lines) {
    const sockaddr_in address = vm::bench::Loopback(port);
    char reply[512];
    const auto start = Steady::now();
    for (const std::string& line : lines) floor_exchange(&address, line.c_str(), reply, sizeof reply, 1000);
    return Seconds(Steady::now() - start);
}

void BM_FirmwareUpdate128KiBOverTcp(benchmark::State& state) {
    vm::test::SimProcess sim(VMSIM_PATH);  // stopped when the benchmark returns, however it ends
    if (!sim.ready()) {
        state.SkipWithError("vmsim did not start");
        return;
    }
    TempImage image;
    std::vector<double> totals, floors, waits, requested, exchanges, rest, replays;
    double slowest = 0, count = 0;
    for (auto _ : state) {
        vm::SteadyClock linkClock;
        vm::StringTextOut linkOut;
        const vm::LinkContext context{vm::LinkSettings::commandLine(), linkClock, linkOut};
        vm::LanPorts ports;
        ports.command = sim.port();
        vm::TCP_COM tcp(context, ports);
        tcp.Open("127.0.0.1");
        TimingLink link(context, tcp);
        link.record = UpdateLines().empty();
        if (link.record) link.lines.reserve(16483);
        WaitCountingClock clock;
        vm::cli::ScriptedConsole console;
        console.addKeys("y");
        vm::cli::Session session(console, clock);
        session.bind(&link, false);

        const auto start = Steady::now();
        vm::cli::RunFirmwareUpdate(session, vm::cli::Words({"vmcli", "FU", "1", image.path()}),
                                   vm::cli::OpenImageFile);
        const auto total = Steady::now() - start;

        if (console.output().find("Checksums are MATCHING") == std::string::npos || link.failures != 0) {
            state.SkipWithError("the update did not succeed");
            return;
        }
        if (link.record) UpdateLines() = std::move(link.lines);
        const double replay = FloorReplay(sim.port(), UpdateLines());
        const double nominal = static_cast<double>(clock.requestedMs) / 1000.0;
        totals.push_back(Seconds(total));
        waits.push_back(Seconds(clock.slept));
        requested.push_back(nominal);
        exchanges.push_back(Seconds(link.spent));
        rest.push_back(Seconds(total - clock.slept - link.spent));
        replays.push_back(replay);
        floors.push_back(nominal + replay);
        slowest = std::max(slowest, Seconds(link.slowest));
        count = static_cast<double>(link.count);
    }
    using vm::bench::Median;
    state.counters["total_s"] = Median(totals);
    state.counters["floor_s"] = Median(floors);
    state.counters["total_over_floor"] = Median(totals) / Median(floors);
    state.counters["waits_s"] = Median(waits);
    state.counters["waits_nominal_s"] = Median(requested);
    state.counters["exchanges_s"] = Median(exchanges);
    state.counters["floor_exchanges_s"] = Median(replays);
    state.counters["rest_s"] = Median(rest);
    state.counters["exchanges"] = count;
    state.counters["per_exchange_us"] = count > 0 ? Median(exchanges) / count * 1e6 : 0;
    state.counters["floor_per_exchange_us"] = count > 0 ? Median(replays) / count * 1e6 : 0;
    state.counters["slowest_exchange_ms"] = slowest * 1e3;
}

// The same update as a real "vmcli @127.0.0.1 FU 1 image.bin" process confirmed with "y" on its
// standard input, beside the floor (the fixed waits plus the recorded lines by the floor
// exchange); then the peak memory of one such process and of the controller.
void BM_FirmwareUpdateProcess(benchmark::State& state) {
    vm::test::SimProcess sim(VMSIM_PATH);
    if (!sim.ready() || UpdateLines().empty()) {
        state.SkipWithError("vmsim did not start or no update was recorded");
        return;
    }
    ::setenv("VM_LAN_PORT", std::to_string(sim.port()).c_str(), 1);
    TempImage image;
    const std::vector<std::string> argv = {VMCLI_PATH, "@127.0.0.1", "FU", "1", image.path()};
    constexpr double kWaitsS = 17.6;  // erase, 31 full and 1 partial cluster, image CRC, restart
    std::vector<double> totals, floors;
    int wrong = 0;
    for (auto _ : state) {
        const vm::bench::TimedRun run = vm::bench::RunTimed(argv, "y", 120);
        if (run.exitCode != 0 || run.output.find("Checksums are MATCHING") == std::string::npos) ++wrong;
        totals.push_back(run.seconds);
        floors.push_back(kWaitsS + FloorReplay(sim.port(), UpdateLines()));
        state.SetIterationTime(run.seconds);
    }
    using vm::bench::Median;
    state.counters["total_s"] = Median(totals);
    state.counters["floor_s"] = Median(floors);
    state.counters["total_over_floor"] = Median(totals) / Median(floors);
    state.counters["wrong_output"] = wrong;
    state.counters["vmcli_peak_KiB"] = static_cast<double>(vm::bench::PeakRssOfRun(argv, "y"));
    state.counters["vmsim_peak_KiB"] = static_cast<double>(vm::bench::PeakRssKiB(sim.pid()));
}

BENCHMARK(BM_FirmwareUpdate128KiBOverTcp)->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FirmwareUpdateProcess)->Iterations(2)->Unit(benchmark::kSecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
