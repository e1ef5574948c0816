// exchange_loop PORT COUNT: COUNT "STS 1" exchanges through TCP_COM::Exchange (the desktop link
// settings, as the Python package uses) to a vmsim on 127.0.0.1:PORT, timed inside the program
// after a short warm-up;
// prints the microseconds per exchange and the number of wrong replies. The Python benchmark runs
// it between its own batches, so both sides see the same machine load.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "link/clock.h"
#include "link/link_settings.h"
#include "link/tcp_com.h"
#include "link/text_out.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: exchange_loop PORT COUNT\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    if (port < 1 || port > 65535 || count < 1) return 2;
    vm::SteadyClock clock;
    vm::StringTextOut out;
    const vm::LinkContext context{vm::LinkSettings::desktop(), clock, out};
    vm::LanPorts ports;
    ports.command = static_cast<std::uint16_t>(port);
    vm::TCP_COM link(context, ports);
    if (!link.Open("127.0.0.1")) return 1;
    int wrong = 0;
    // Warm-up, untimed: the first exchanges of a fresh process pay for its cold start.
    for (int i = 0; i < 20; ++i) {
        link.command().assign("STS 1\r");
        link.Exchange();
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        link.command().assign("STS 1\r");
        if (link.Exchange() != 0 || link.reply().view() != "_STP") ++wrong;
    }
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %d\n", us / count, wrong);
    return 0;
}
