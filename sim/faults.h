#pragma once
// Faults the virtual controller can inject into its replies, chosen per test or from the command
// line. Content faults change the reply text for every transport; the transport faults (delay,
// split, close) are carried out by the transport that sends the reply.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vm::sim {

enum class Fault {
    None,
    Delay,              // reply after delayMs
    NoReply,            // keep the connection open and never answer (TCP: close after delayMs)
    NoCarriageReturn,   // reply text without its carriage return
    Split,              // TCP: reply in two pieces, splitAt bytes first, the rest after delayMs
    CloseWithoutReply,  // TCP: close the connection without a reply
    Corrupt,            // garble the reply text (the carriage return stays)
};

struct FaultRule {
    Fault fault = Fault::None;
    std::string word;  // applies to command lines with this command word; empty: every line
    int count = -1;    // number of replies it affects; -1: every matching reply
    std::uint32_t delayMs = 0;
    std::size_t splitAt = 1;

    bool active() const { return fault != Fault::None && count != 0; }
};

// Parses "KIND[:ARG][@WORD][*COUNT]", for example "delay:1500", "split:2@STS", "noreply*1",
// "nocr", "close", "corrupt@GFS". nullopt for an unknown kind or a bad number.
std::optional<FaultRule> ParseFaultRule(std::string_view text);

}  // namespace vm::sim
