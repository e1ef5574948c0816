// The desktop program against a virtual controller served over TCP on 127.0.0.1:
// - BM_StartToReady: from building the windows (the program's start after Qt's own) through the
//   manual IP connect to the status text "Vellumotor controls ready", side by side with the same
//   scan's command lines sent through TCP_COM alone (the floor). The two take turns.
// - BM_EventLoopDuringSlowScan: the longest time the event loop is blocked while a scan runs
//   against a controller whose every reply comes 0.9 s late (just under the LAN link's 1 s
//   reply wait, so the scan still fills the grid), and the main thread's processor time in the
//   gap that used the most of it: on a busy machine a long gap is mostly time the thread waited
//   for a processor, which the second counter tells apart from work done on the main thread.
// Qt's own start-up (QApplication) happens once, before the benchmarks, and is reported apart.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/desktop_support.h"
#include "gui/app_context.h"
#include "gui/application.h"
#include "gui/ip_connect_form.h"
#include "gui/link_factory.h"
#include "gui/main_form.h"
#include "gui/prompts.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/tcp_com.h"
#include "link/text_out.h"
#include "sim/controller.h"
#include "sim/tcp_server.h"

namespace {

using Steady = std::chrono::steady_clock;
using vm::bench::Median;
using namespace vm::gui;

double g_qtStartMs = 0;

using vm::bench::SilentPrompts;

// A virtual controller on a free port, which the LAN links of the windows find through
// VM_LAN_PORT.
struct Server : vm::bench::SimServer {
    explicit Server(const std::string& rack = "C,O,C,O,R,-") : SimServer(rack) {
        if (ok) ::setenv("VM_LAN_PORT", std::to_string(tcp.port()).c_str(), 1);
    }
};

// Builds the windows without a link, connects through the manual IP dialog and runs until the
// scan ends. Returns the milliseconds taken; `tick` runs at every pass of the event loop.
double RunToReady(const std::function<void()>& tick = {}, double* buildMs = nullptr) {
    vm::SteadyClock clock;
    RealLinkFactory links(clock);
    SilentPrompts prompts;
    const auto start = Steady::now();
    AppContext context(clock, links, prompts);
    Windows windows(context, {"no", "link"});
    windows.main().show();
    if (buildMs) *buildMs = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
    bool done = false;
    QObject::connect(&windows.main(), &TMainForm::moduleScanFinished, [&done] { done = true; });
    windows.ipConnect().findChild<QLineEdit*>("editAddress")->setText("127.0.0.1");
    windows.ipConnect().connectToAddress();
    // A 1 ms timer wakes the loop, so `tick` sees every pass even when nothing else happens.
    QTimer wake;
    QObject::connect(&wake, &QTimer::timeout, [&tick] {
        if (tick) tick();
    });
    wake.start(1);
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double ms = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
    return ms;
}

void BM_StartToReady(benchmark::State& state) {
    Server server;
    if (!server.ok) {
        state.SkipWithError("the TCP server did not start");
        return;
    }
    // The lines one scan sends, for the floor.
    RunToReady();
    std::vector<std::string> lines = server.controller.lines();
    vm::SteadyClock clock;
    vm::StringTextOut out;
    vm::TCP_COM floor({vm::LinkSettings::desktop(), clock, out}, vm::LanPorts{server.tcp.port(), 0});
    floor.Open("127.0.0.1");
    std::vector<double> window, direct, build;
    for (auto _ : state) {
        double buildMs = 0;
        window.push_back(RunToReady({}, &buildMs));
        build.push_back(buildMs);
        const auto start = Steady::now();
        for (const std::string& line : lines) {
            floor.command().assign(line);
            floor.Exchange();
        }
        direct.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
    }
    state.counters["window_ms"] = Median(window);
    state.counters["tcp_com_ms"] = Median(direct);
    state.counters["windows_built_ms"] = Median(build);
    state.counters["ratio"] = Median(window) / Median(direct);
    state.counters["qt_start_ms"] = g_qtStartMs;
    state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_StartToReady)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_EventLoopDuringSlowScan(benchmark::State& state) {
    Server server("C,O,-,-,-,-");
    if (!server.ok) {
        state.SkipWithError("the TCP server did not start");
        return;
    }
    vm::sim::FaultRule late;
    late.fault = vm::sim::Fault::Delay;
    late.delayMs = 900;  // just under the LAN link's 1 s reply wait, so the scan still succeeds
    server.controller.addFault(late);
    // The calling thread's processor time in milliseconds.
    auto cpuMs = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
    };
    double longest = 0, longestCpu = 0, total = 0;
    for (auto _ : state) {
        auto last = Steady::now();
        double lastCpu = cpuMs();
        total = RunToReady([&] {
            const auto now = Steady::now();
            const double nowCpu = cpuMs();
            longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
            longestCpu = std::max(longestCpu, nowCpu - lastCpu);
            last = now;
            lastCpu = nowCpu;
        });
    }
    state.counters["longest_block_ms"] = longest;
    state.counters["longest_block_cpu_ms"] = longestCpu;
    state.counters["scan_ms"] = total;
}
BENCHMARK(BM_EventLoopDuringSlowScan)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const auto start = Steady::now();
    QApplication app(argc, argv);
    g_qtStartMs = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
