#include "sim/options.h"

#include <charconv>

namespace vm::sim {

namespace {

template <typename T>
bool Number(const std::string& text, T& value, T low, T high) {
    T parsed{};
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, parsed);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

}  // namespace

std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& args, std::string* error) {
    SimOptions options;
    auto fail = [&](const std::string& message) -> std::optional<SimOptions> {
        if (error) *error = message;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        const bool flag =
            name == "--no-discovery" || name == "--discovery" || name == "--transcript" || name == "--help" || name == "-h";
        if (!flag && i + 1 >= args.size()) return fail(name + " needs a value");
        const std::string value = flag ? std::string() : args[++i];
        if (name == "--rack") {
            const auto rack = ParseRack(value);
            if (!rack) return fail("bad rack: " + value);
            options.rack.slots = rack->slots;
        } else if (name == "--config") {
            std::string message;
            const auto rack = LoadRackFile(value, &message);
            if (!rack) return fail(message);
            options.rack = *rack;
        } else if (name == "--signal") {
            const auto signal = ParseChannelSignal(value);
            if (!signal) return fail("bad signal: " + value + " (expected SLOT.CH=NAME or SLOT.CH=HIGH/LOW)");
            options.rack.signals.push_back(*signal);
        } else if (name == "--bind") {
            options.bindAddress = value;
        } else if (name == "--port") {
            if (!Number<std::uint16_t>(value, options.port, 0, 65535)) return fail("bad port: " + value);
        } else if (name == "--discovery-port") {
            if (!Number<std::uint16_t>(value, options.discoveryPort, 0, 65535))
                return fail("bad port: " + value);
        } else if (name == "--no-discovery") {
            options.discovery = false;
        } else if (name == "--discovery") {
            options.discovery = true;
        } else if (name == "--discovery-reply") {
            if (value.empty() || value.size() > 2000)
                return fail("the discovery reply must be 1 to 2000 characters");
            options.discoveryReply = value;
        } else if (name == "--discovery-repeat") {
            if (!Number(value, options.discoveryRepeat, 1, 10))
                return fail("--discovery-repeat must be 1 to 10");
        } else if (name == "--speed") {
            double speed = 0;
            const auto result = std::from_chars(value.data(), value.data() + value.size(), speed);
            if (result.ec != std::errc{} || result.ptr != value.data() + value.size() || !(speed >= 0.01) ||
                !(speed <= 1000))
                return fail("--speed must be 0.01 to 1000");
            options.speed = speed;
        } else if (name == "--state") {
            options.stateFile = value;
        } else if (name == "--ready-file") {
            options.readyFile = value;
        } else if (name == "--transcript") {
            options.transcript = true;
        } else if (name == "--transcript-file") {
            if (value.empty()) return fail("--transcript-file needs a file name");
            options.transcript = true;
            options.transcriptFile = value;
        } else if (name == "--fault") {
            const auto rule = ParseFaultRule(value);
            if (!rule) return fail("bad fault rule: " + value);
            options.faults.push_back(*rule);
        } else if (name == "--firmware-fault") {
            const auto fault = ParseFirmwareFault(value);
            if (!fault) return fail("bad firmware fault: " + value);
            options.firmwareFault = *fault;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else {
            return fail("unknown option: " + name);
        }
    }
    return options;
}

}  // namespace vm::sim
