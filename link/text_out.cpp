#include "link/text_out.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace vm {

void TextOut::print(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vprint(fmt, args);
    va_end(args);
}

void TextOut::vprint(const char* fmt, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, args);
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        va_end(copy);
        write({small, static_cast<std::size_t>(n)});
        return;
    }
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, copy);
    va_end(copy);
    write({big.data(), static_cast<std::size_t>(n)});
}

void StdoutTextOut::write(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void StdoutTextOut::flush() { std::fflush(stdout); }

}  // namespace vm
