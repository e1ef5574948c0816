// The time of a firmware update of the largest image (131064 bytes: 16383 group lines in 32
// clusters) over TCP against a real vmsim process on 127.0.0.1, in real time. The total splits
// into the fixed waits of the procedure (slept on the session's clock), the time spent inside
// link exchanges, and the rest (image preparation, CRCs, formatting the output).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/firmware_update.h"
#include "cli/session.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/tcp_com.h"
#include "link/text_out.h"
#include "tests/support/sim_process.h"

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

  private:
    vm::COM_METHOD& inner_;
};

// A 131064-byte image in a private directory, removed at the end.
class TempImage {
  public:
    TempImage() {
        std::string pattern = "/tmp/vm-fu-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        directory_ = pattern;
        path_ = directory_ + "/image.bin";
        std::vector<char> bytes(131064);
        std::uint32_t seed = 1;
        for (char& b : bytes) {
            seed = seed * 1664525u + 1013904223u;
            b = static_cast<char>(seed >> 24);
        }
        std::ofstream(path_, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~TempImage() {
        if (directory_.empty()) return;
        unlink(path_.c_str());
        rmdir(directory_.c_str());
    }
    const std::string& path() const { return path_; }

  private:
    std::string directory_;
    std::string path_;
};

void BM_FirmwareUpdate128KiBOverTcp(benchmark::State& state) {
    vm::test::SimProcess sim(VMSIM_PATH);  // stopped when the benchmark returns, however it ends
    if (!sim.ready()) {
        state.SkipWithError("vmsim did not start");
        return;
    }
    TempImage image;
    double waits = 0, requested = 0, exchanges = 0, rest = 0, slowest = 0, count = 0;
    for (auto _ : state) {
        vm::SteadyClock linkClock;
        vm::StringTextOut linkOut;
        const vm::LinkContext context{vm::LinkSettings::commandLine(), linkClock, linkOut};
        vm::LanPorts ports;
        ports.command = sim.port();
        vm::TCP_COM tcp(context, ports);
        tcp.Open("127.0.0.1");
        TimingLink link(context, tcp);
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
        waits += Seconds(clock.slept);
        requested += static_cast<double>(clock.requestedMs) / 1000.0;
        exchanges += Seconds(link.spent);
        rest += Seconds(total - clock.slept - link.spent);
        slowest = std::max(slowest, Seconds(link.slowest));
        count = static_cast<double>(link.count);
    }
    const auto average = benchmark::Counter::kAvgIterations;
    state.counters["waits_s"] = benchmark::Counter(waits, average);
    state.counters["waits_nominal_s"] = benchmark::Counter(requested, average);
    state.counters["exchanges_s"] = benchmark::Counter(exchanges, average);
    state.counters["rest_s"] = benchmark::Counter(rest, average);
    state.counters["exchanges"] = count;
    state.counters["per_exchange_us"] =
        count > 0 ? exchanges / static_cast<double>(state.iterations()) / count * 1e6 : 0;
    state.counters["slowest_exchange_ms"] = slowest * 1e3;
}

BENCHMARK(BM_FirmwareUpdate128KiBOverTcp)->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
