#pragma once
// The reply tokens of the command-line tool: 14 slots of 50 bytes filled by Tokenize from the
// reply text. Token 0 is the status word.
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "link/fixed_text.h"

namespace vm::cli {

class Tokens {
  public:
    static constexpr std::size_t kSlots = 14;
    static constexpr std::size_t kSlotSize = 50;  // 49 characters and a terminator

    // Splits the text into the slots. Separators are a carriage return and a space whose next
    // character is not a space; in a run of spaces only the last separates, the others stay at
    // the end of the preceding token. Tokens past the 14th are dropped and tokens longer than
    // 49 characters are cut, so any input stays inside the slots. Slots from the new count on
    // keep what an earlier text left in them.
    void Tokenize(std::string_view text);

    // Number of tokens of the last Tokenize (separators plus 1, at most 14).
    std::size_t count() const { return count_; }
    std::string_view operator[](std::size_t k) const {
        return k < kSlots ? slots_[k].view() : std::string_view{};
    }
    bool is(std::size_t k, std::string_view word) const { return (*this)[k] == word; }
    bool isAnyOf(std::size_t k, std::initializer_list<std::string_view> words) const;
    // Decimal conversions as atoi / strtod would read the slot. Reply numbers are printed and
    // judged as int, so the integer is converted once to that width (saturated): what a handler
    // prints is what it tests.
    int integer(std::size_t k) const;
    double real(std::size_t k) const;

  private:
    std::array<FixedText<kSlotSize>, kSlots> slots_{};
    std::size_t count_ = 0;
};

// The standard text-to-integer and text-to-double conversions: leading white space, optional
// sign, digits up to the first non-digit; 0 when there are none. Never overflows into UB.
long ToInteger(std::string_view text);
// ToInteger kept in the int range (saturated).
int ToInt(std::string_view text);
double ToReal(std::string_view text);

}  // namespace vm::cli
