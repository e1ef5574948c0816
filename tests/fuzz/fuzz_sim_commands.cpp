// The virtual controller's command parser and model on arbitrary command lines. Input: byte 0
// picks the rack, byte 1 the virtual time that passes between lines (so moves run and end),
// the rest are command lines separated by line feeds or carriage returns; each goes in with its
// carriage return as a link would send it. Every reply is empty or one line ending in its
// carriage return.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "link/clock.h"
#include "sim/controller.h"
#include "sim/rack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static constexpr std::string_view kRacks[] = {"C,O,C,O,R,-", "R,R,R,R,R,R", "O,O,O,-,-,-", "-,-,-,-,-,-",
                                                  "C,C,C,C,C,C"};
    const auto rack = vm::sim::ParseRack(kRacks[data[0] % std::size(kRacks)]);
    if (!rack) std::abort();
    vm::VirtualClock clock;
    vm::sim::Controller controller(clock, *rack);
    const std::int64_t stepMs = std::int64_t{data[1]} * 8;

    std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find_first_of("\r\n"), rest.size());
        const std::string line = std::string(rest.substr(0, end)) + "\r";
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const std::string reply = controller.Process(line);
        if (!reply.empty() && (reply.back() != '\r' || reply.find('\r') != reply.size() - 1)) std::abort();
        clock.advanceMs(stepMs);
    }
    return 0;
}
