#include "gui/model/string_parser.h"

#include <cctype>
#include <climits>

namespace vm::gui {

int StringParser::Parse(std::string_view text) {
    if (text.size() > kMaxReplyLength) text = text.substr(0, kMaxReplyLength);
    std::size_t stored = 0;
    std::size_t start = 0;
    auto store = [&](std::size_t end) {
        if (stored < kTokenCount) tokens_[stored++].assign(text.substr(start, end - start));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool delimits = c == '\r' || (c == ' ' && (i + 1 == text.size() || text[i + 1] != ' '));
        if (!delimits) continue;
        store(i);
        start = i + 1;
    }
    store(text.size());
    count_ = static_cast<int>(stored);
    return count_;
}

int StringParser::integer(std::size_t k) const { return DecimalToInt(token(k)); }

int DecimalToInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) return negative ? INT_MIN : INT_MAX;
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace vm::gui
