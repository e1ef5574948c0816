#pragma once
// Faults the virtual controller can inject into its replies, chosen per test or from the command
// line. Content faults change the reply text for every transport; the transport faults (delay,
// split, close, endless) are carried out by the transport that sends the reply; an eject changes
// the rack itself.
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
    Garbage,            // replace the reply by `length` bytes of binary junk and a carriage return
    Endless,            // TCP: the reply without its carriage return, then a filler byte every
                        // delayMs for as long as the client listens (bounded by the server)
    Eject,              // empty slot `slot` before the line is answered: a module pulled mid-command
    Answer,             // answer `text` (and a carriage return) whatever the line asked for
};

struct FaultRule {
    Fault fault = Fault::None;
    std::string word;  // applies to command lines with this command word; empty: every line
    int count = -1;    // number of replies it affects; -1: every matching reply
    std::uint32_t delayMs = 0;
    std::size_t splitAt = 1;
    std::size_t length = 64;  // garbage bytes
    int slot = 0;             // the slot an eject empties, 1 to 6
    std::string text;         // the fixed answer

    bool active() const { return fault != Fault::None && count != 0; }
};

// Longest garbage reply, in bytes; far past the 512 bytes a LAN link looks at.
inline constexpr std::size_t kMaxGarbageLength = 4096;
// Longest fixed answer: what fits a reply buffer.
inline constexpr std::size_t kMaxAnswerLength = 199;

// Parses "KIND[:ARG][@WORD][*COUNT]", for example "delay:1500", "split:2@STS", "noreply*1",
// "nocr", "close", "corrupt@GFS", "garbage:600", "endless:10", "eject:1@GFS", "answer:_MOV@STP" (the text
// cannot hold "@", "*" or a blank). nullopt for an
// unknown kind or a bad number.
std::optional<FaultRule> ParseFaultRule(std::string_view text);

// The junk a garbage fault sends, in a fixed order: any 255 bytes in a row hold every byte value
// but the carriage return, the zero byte among them.
std::string GarbageBytes(std::size_t length);

}  // namespace vm::sim
