#include "sim/faults.h"

#include <charconv>

namespace vm::sim {

namespace {

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc{} && result.ptr == end;
}

}  // namespace

std::optional<FaultRule> ParseFaultRule(std::string_view text) {
    FaultRule rule;
    if (const auto star = text.find('*'); star != std::string_view::npos) {
        if (!ParseNumber(text.substr(star + 1), rule.count) || rule.count < 0) return std::nullopt;
        text = text.substr(0, star);
    }
    if (const auto at = text.find('@'); at != std::string_view::npos) {
        rule.word = std::string(text.substr(at + 1));
        if (rule.word.empty()) return std::nullopt;
        text = text.substr(0, at);
    }
    std::string_view argument;
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        argument = text.substr(colon + 1);
        text = text.substr(0, colon);
    }
    if (text == "delay") {
        rule.fault = Fault::Delay;
        if (!ParseNumber(argument, rule.delayMs)) return std::nullopt;
    } else if (text == "noreply") {
        rule.fault = Fault::NoReply;
        rule.delayMs = 2000;
        if (!argument.empty() && !ParseNumber(argument, rule.delayMs)) return std::nullopt;
    } else if (text == "nocr") {
        rule.fault = Fault::NoCarriageReturn;
    } else if (text == "split") {
        rule.fault = Fault::Split;
        rule.delayMs = 50;
        // "split:N:MS" also sets the gap between the two pieces.
        std::string_view gap;
        if (const auto second = argument.find(':'); second != std::string_view::npos) {
            gap = argument.substr(second + 1);
            argument = argument.substr(0, second);
            if (!ParseNumber(gap, rule.delayMs)) return std::nullopt;
        }
        if (!argument.empty() && !ParseNumber(argument, rule.splitAt)) return std::nullopt;
    } else if (text == "close") {
        rule.fault = Fault::CloseWithoutReply;
    } else if (text == "corrupt") {
        rule.fault = Fault::Corrupt;
    } else if (text == "garbage") {
        rule.fault = Fault::Garbage;
        if (!argument.empty() && !ParseNumber(argument, rule.length)) return std::nullopt;
        if (rule.length < 1 || rule.length > kMaxGarbageLength) return std::nullopt;
    } else if (text == "endless") {
        rule.fault = Fault::Endless;
        rule.delayMs = 10;
        if (!argument.empty() && !ParseNumber(argument, rule.delayMs)) return std::nullopt;
    } else if (text == "answer") {
        rule.fault = Fault::Answer;
        if (argument.empty() || argument.size() > kMaxAnswerLength) return std::nullopt;
        for (const char c : argument)
            if (c <= ' ' || c > '~') return std::nullopt;
        rule.text = std::string(argument);
    } else if (text == "eject") {
        rule.fault = Fault::Eject;
        if (!ParseNumber(argument, rule.slot) || rule.slot < 1 || rule.slot > 6) return std::nullopt;
    } else {
        return std::nullopt;
    }
    const bool takesArgument = rule.fault == Fault::Delay || rule.fault == Fault::NoReply ||
                               rule.fault == Fault::Split || rule.fault == Fault::Garbage ||
                               rule.fault == Fault::Endless || rule.fault == Fault::Eject ||
                               rule.fault == Fault::Answer;
    if (!takesArgument && !argument.empty()) return std::nullopt;
    return rule;
}

std::string GarbageBytes(std::size_t length) {
    std::string bytes;
    bytes.reserve(length);
    // x -> 73x + 41 (mod 256) runs through all 256 values before it repeats.
    unsigned x = 0x5A;
    while (bytes.size() < length) {
        x = (x * 73 + 41) & 0xFFu;
        if (x != '\r') bytes.push_back(static_cast<char>(x));
    }
    return bytes;
}

}  // namespace vm::sim
