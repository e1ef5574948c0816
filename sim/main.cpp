// vmsim: the virtual controller, served over TCP and UDP discovery until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "link/clock.h"
#include "sim/controller.h"
#include "sim/model.h"
#include "sim/options.h"
#include "sim/state_file.h"
#include "sim/tcp_server.h"

namespace {

std::string Printable(const std::string& line) {
    std::string text;
    for (const unsigned char c : line) {
        if (c == '\r') {
            text += "\\r";
        } else if (c < ' ' || c >= 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vm::sim;
    std::string error;
    const auto options = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!options) {
        std::fprintf(stderr, "vmsim: %s\n%s", error.c_str(), kSimUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(kSimUsage, stdout);
        return 0;
    }
    if (!options->stateFile.empty() && !CanWriteState(options->stateFile, &error)) {
        std::fprintf(stderr, "vmsim: --state %s\n", error.c_str());
        return 2;
    }

    // Signals are taken by sigwait below; every thread started from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    vm::ScaledClock clock(options->speed);
    Controller controller(clock, options->rack);
    for (const auto& rule : options->faults) controller.addFault(rule);
    controller.inspect([&](Model& model) { model.firmware.fault = options->firmwareFault; });
    if (!options->stateFile.empty() && !controller.useStateFile(options->stateFile, &error)) {
        std::fprintf(stderr, "vmsim: %s\n", error.c_str());
        return 1;
    }
    // Tests read the transcript file while the program runs, so every line is flushed at once.
    std::unique_ptr<std::FILE, decltype(&std::fclose)> transcriptFile(nullptr, &std::fclose);
    if (!options->transcriptFile.empty()) {
        transcriptFile.reset(std::fopen(options->transcriptFile.c_str(), "w"));
        if (!transcriptFile) {
            std::fprintf(stderr, "vmsim: cannot write %s\n", options->transcriptFile.c_str());
            return 1;
        }
    }
    if (options->transcript) {
        std::FILE* to = transcriptFile ? transcriptFile.get() : stderr;
        controller.setLineObserver([to](const TranscriptEntry& entry) {
            std::fprintf(to, "%10.3f %s\n", static_cast<double>(entry.timeUs) / 1e6,
                         Printable(entry.line).c_str());
            std::fflush(to);
        });
    }

    TcpServer server(controller, clock);
    if (!server.start({options->bindAddress, options->port}, &error)) {
        std::fprintf(stderr, "vmsim: %s\n", error.c_str());
        return 1;
    }
    DiscoveryResponder responder;
    if (options->discovery && !responder.start({options->bindAddress, options->discoveryPort},
                                               options->discoveryReply, options->discoveryRepeat, &error)) {
        std::fprintf(stderr, "vmsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("vmsim: rack %s, commands on %s:%u, discovery %s\n", RackSpec(options->rack).c_str(),
                options->bindAddress.c_str(), server.port(),
                options->discovery ? std::to_string(responder.port()).c_str() : "off");
    std::fflush(stdout);
    if (!options->readyFile.empty()) {
        const std::string temporary = options->readyFile + ".tmp";
        std::ofstream(temporary) << server.port() << ' ' << (options->discovery ? responder.port() : 0)
                                 << '\n';
        std::rename(temporary.c_str(), options->readyFile.c_str());
    }

    int signal = 0;
    sigwait(&signals, &signal);
    responder.stop();
    server.stop();
    return 0;
}
