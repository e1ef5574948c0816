// The encoder calibration tab's manual measurement against a virtual controller served over TCP
// on 127.0.0.1, in real time:
// - BM_ManualMeasurement: samples per second of the measurement with its chart and log (the
//   diagnostic window built as the program builds it, "Manual Setup" without a move), side by
//   side with a bare OEM::GetCounter loop on the same kind of link (the floor); the two take
//   turns. Also the longest time the event loop was blocked while the measurement ran.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/desktop_support.h"
#include "gui/app_context.h"
#include "gui/application.h"
#include "gui/diagnostic_form.h"
#include "gui/encoder_calibration_tab.h"
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

constexpr double kRunSeconds = 3.0;

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

using vm::bench::SilentPrompts;

struct Server : vm::bench::SimServer {
    Server() : SimServer("C,O,-,-,-,-") {}
};

std::unique_ptr<vm::COM_METHOD> OpenTcp(const vm::LinkContext& context, std::uint16_t port) {
    auto link = std::make_unique<vm::TCP_COM>(context, vm::LanPorts{port, 0});
    link->Open("127.0.0.1");
    link->selector().assign("127.0.0.1");
    return link;
}

// GetCounter as fast as the link answers for the given time; samples per second.
double BareLoop(std::uint16_t port) {
    vm::SteadyClock clock;
    vm::StringTextOut out;
    vm::LinkContext context{vm::LinkSettings::desktop(), clock, out};
    CurrentLink current(clock);
    current.replace(OpenTcp(context, port));
    OEM oem(current);
    std::size_t samples = 0;
    const auto start = Steady::now();
    while (Ms(Steady::now() - start) < kRunSeconds * 1000)
        if (!oem.GetCounter(1, 1)) ++samples;
    return static_cast<double>(samples) / (Ms(Steady::now() - start) / 1000);
}

struct WindowRun {
    double samplesPerSecond = 0;
    double longestBlockMs = 0;
};

WindowRun WindowMeasurement(std::uint16_t port) {
    vm::SteadyClock clock;
    vm::StringTextOut out;
    vm::LinkContext context{vm::LinkSettings::desktop(), clock, out};
    RealLinkFactory links(clock);
    SilentPrompts prompts;
    AppContext app(clock, links, prompts);
    Windows windows(app, {"no", "link"});
    app.current.replace(OpenTcp(context, port));
    TFormDiagnostic& diag = windows.diagnostic();
    diag.openFromMenu();
    while (diag.busy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    TEncoderCalibrationTab& tab = diag.encoderTab();
    QListWidgetItem* item = tab.channelList->item(0);
    if (!item) return {};
    tab.channelList->setCurrentItem(item);
    Q_EMIT tab.channelList->itemClicked(item);
    Q_EMIT tab.temperature->activated(0);
    tab.moveCw->setAutoExclusive(false);
    tab.moveCw->setChecked(false);
    tab.moveCcw->setChecked(false);

    WindowRun run;
    tab.manualSetup->click();
    const auto start = Steady::now();
    auto last = start;
    while (Ms(Steady::now() - start) < kRunSeconds * 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const auto now = Steady::now();
        run.longestBlockMs = std::max(run.longestBlockMs, Ms(now - last));
        last = now;
    }
    const std::size_t shown = tab.samplesShown();
    const double seconds = Ms(Steady::now() - start) / 1000;
    tab.manualSetup->click();
    while (tab.measuring()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    // Samples the window had shown by the end of the run; the last refresh is at most 40 ms old.
    run.samplesPerSecond = static_cast<double>(shown) / seconds;
    diag.closeSequence();
    return run;
}

void BM_ManualMeasurement(benchmark::State& state) {
    Server server;
    if (!server.ok) {
        state.SkipWithError("the TCP server did not start");
        return;
    }
    // One unmeasured round first: the first window run pays for the chart's and the fonts' first
    // use, and the first connections warm the server.
    WindowMeasurement(server.tcp.port());
    BareLoop(server.tcp.port());
    std::vector<double> window, bare, blocks;
    bool windowFirst = true;
    for (auto _ : state) {
        if (windowFirst) {
            const WindowRun run = WindowMeasurement(server.tcp.port());
            window.push_back(run.samplesPerSecond);
            blocks.push_back(run.longestBlockMs);
            bare.push_back(BareLoop(server.tcp.port()));
        } else {
            bare.push_back(BareLoop(server.tcp.port()));
            const WindowRun run = WindowMeasurement(server.tcp.port());
            window.push_back(run.samplesPerSecond);
            blocks.push_back(run.longestBlockMs);
        }
        windowFirst = !windowFirst;
    }
    state.counters["window_samples_per_s"] = Median(window);
    state.counters["bare_samples_per_s"] = Median(bare);
    state.counters["ratio"] = Median(window) / Median(bare);
    state.counters["longest_block_ms"] = *std::max_element(blocks.begin(), blocks.end());
}
BENCHMARK(BM_ManualMeasurement)->Unit(benchmark::kMillisecond)->Iterations(6);

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
