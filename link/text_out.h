#pragma once
// Where the links and the command-line tool print their lines. Tests capture it; the programs
// write to standard output.
#include <cstdarg>
#include <string>
#include <string_view>
#include <utility>

namespace vm {

class TextOut {
  public:
    virtual ~TextOut() = default;
    virtual void write(std::string_view text) = 0;
    virtual void flush() {}
    // printf-style output of any length.
    void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void vprint(const char* fmt, va_list args);
};

class StdoutTextOut final : public TextOut {
  public:
    void write(std::string_view text) override;
    void flush() override;
};

// Collects everything written, for tests and for callers that discard a listing.
class StringTextOut final : public TextOut {
  public:
    void write(std::string_view text) override { text_.append(text); }
    const std::string& text() const { return text_; }
    std::string take() { return std::exchange(text_, {}); }

  private:
    std::string text_;
};

}  // namespace vm
