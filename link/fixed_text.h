#pragma once
// A text buffer of a fixed capacity that can never be written past. The capacity N includes the
// terminating zero byte, so at most N - 1 characters are held. Writes that do not fit are cut.
#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace vm {

template <std::size_t N>
class FixedText {
    static_assert(N >= 1);

  public:
    static constexpr std::size_t kCapacity = N;       // bytes, terminator included
    static constexpr std::size_t kMaxLength = N - 1;  // characters

    FixedText() { clear(); }
    explicit FixedText(std::string_view text) { assign(text); }

    void clear() { data_.fill('\0'); }

    // Replaces the content; returns false when the text had to be cut.
    bool assign(std::string_view text) {
        const std::size_t n = text.size() < kMaxLength ? text.size() : kMaxLength;
        // An empty view may carry a null pointer, which memcpy must not be given even for 0 bytes.
        if (n > 0) std::memcpy(data_.data(), text.data(), n);
        std::memset(data_.data() + n, 0, N - n);
        return n == text.size();
    }

    // Appends after the current text (up to its first zero byte); returns false when cut.
    bool append(std::string_view text) {
        const std::size_t used = size();
        const std::size_t room = kMaxLength - used;
        const std::size_t n = text.size() < room ? text.size() : room;
        if (n > 0) std::memcpy(data_.data() + used, text.data(), n);
        data_[used + n] = '\0';
        return n == text.size();
    }

    // printf-style formatting into the buffer, cut to the capacity; returns false when cut.
    bool format(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, fmt);
        const bool fits = vformat(fmt, args);
        va_end(args);
        return fits;
    }

    bool vformat(const char* fmt, va_list args) {
        clear();
        const int n = std::vsnprintf(data_.data(), N, fmt, args);
        return n >= 0 && static_cast<std::size_t>(n) <= kMaxLength;
    }

    // Raw byte access for transports that read into the buffer; the last byte stays a terminator.
    char* raw() { return data_.data(); }
    const char* c_str() const { return data_.data(); }
    // Bytes from the start up to the first zero byte: the text as C string functions see it.
    std::size_t size() const { return strnlen(data_.data(), kMaxLength); }
    bool empty() const { return data_[0] == '\0'; }
    std::string_view view() const { return {data_.data(), size()}; }
    std::string str() const { return std::string(view()); }

    bool operator==(std::string_view other) const { return view() == other; }

    // Keeps the terminator in place after a raw write of up to kMaxLength bytes.
    void terminate(std::size_t length) {
        if (length > kMaxLength) length = kMaxLength;
        std::memset(data_.data() + length, 0, N - length);
    }

  private:
    std::array<char, N> data_{};
};

}  // namespace vm
