#include "cli/tokens.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>

namespace vm::cli {

void Tokens::Tokenize(std::string_view text) {
    std::size_t slot = 0;
    std::size_t start = 0;
    auto store = [&](std::size_t end) {
        if (slot < kSlots) slots_[slot].assign(text.substr(start, end - start));
        ++slot;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool separates = c == '\r' || (c == ' ' && (i + 1 >= text.size() || text[i + 1] != ' '));
        if (!separates) continue;
        store(i);
        start = i + 1;
    }
    store(text.size());
    count_ = slot < kSlots ? slot : kSlots;
}

bool Tokens::isAnyOf(std::size_t k, std::initializer_list<std::string_view> words) const {
    for (std::string_view w : words)
        if (is(k, w)) return true;
    return false;
}

int Tokens::integer(std::size_t k) const { return ToInt((*this)[k]); }
double Tokens::real(std::size_t k) const { return ToReal((*this)[k]); }

long ToInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const int digit = text[i] - '0';
        // Saturate instead of overflowing, as strtol does.
        if (value > (LONG_MAX - digit) / 10) return negative ? LONG_MIN : LONG_MAX;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

int ToInt(std::string_view text) {
    return static_cast<int>(std::clamp<long>(ToInteger(text), INT_MIN, INT_MAX));
}

double ToReal(std::string_view text) {
    const std::string copy(text);  // strtod needs a terminated string
    return std::strtod(copy.c_str(), nullptr);
}

}  // namespace vm::cli
