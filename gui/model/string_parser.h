#pragma once
// The reply parser of the desktop program: splits a reply line into at most 15 tokens of at most
// 8 characters. Every device-model operation parses its reply into the one shared parser, so the
// tokens of the latest reply stay readable until the next operation.
#include <array>
#include <cstddef>
#include <string_view>

#include "link/fixed_text.h"

namespace vm::gui {

// Text-to-integer conversion as atoi reads it: leading white space, an optional sign, digits up to
// the first non-digit, 0 when there are none. Saturates instead of overflowing.
int DecimalToInt(std::string_view text);

class StringParser {
  public:
    static constexpr std::size_t kTokenCount = 15;
    static constexpr std::size_t kTokenSize = 9;         // 8 characters and a terminator
    static constexpr std::size_t kMaxReplyLength = 126;  // longer replies are cut first

    // Splits the text into tokens and returns how many it stored. Delimiters are a carriage
    // return and a space whose next character is not a space, so in a run of spaces only the last
    // separates and the others stay at the end of the preceding token. Text past 126 characters
    // is ignored, tokens past the 15th are dropped and longer tokens are cut to 8 characters.
    // Buffers from the returned count on keep what an earlier reply left in them.
    int Parse(std::string_view text);

    std::string_view token(std::size_t k) const {
        return k < kTokenCount ? tokens_[k].view() : std::string_view{};
    }
    bool is(std::size_t k, std::string_view word) const { return token(k) == word; }
    // True when the token begins with "_", the mark of an acknowledgement.
    bool isAck(std::size_t k) const { return token(k).starts_with('_'); }
    // The token read with the standard text-to-integer conversion.
    int integer(std::size_t k) const;
    // Token k of the latest reply only: empty (and 0) when that reply had fewer tokens, rather
    // than what an earlier reply left in the buffer.
    std::string_view replyToken(std::size_t k) const {
        return k < static_cast<std::size_t>(count_) ? token(k) : std::string_view{};
    }
    int replyInteger(std::size_t k) const { return DecimalToInt(replyToken(k)); }
    int count() const { return count_; }

  private:
    std::array<FixedText<kTokenSize>, kTokenCount> tokens_{};
    int count_ = 0;
};

}  // namespace vm::gui
