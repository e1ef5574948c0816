#pragma once
// The word list a handler receives: index 0 is the program name or the last word that the entry
// point dropped, index 1 the command word, index 2 onward its arguments.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vm::cli {

// Upper bound of FREQ for MOV and EXT: 600 Hz, or 2000 Hz in development mode.
constexpr int MaxDriveFrequency(bool developmentMode) { return developmentMode ? 2000 : 600; }

class Words {
  public:
    Words() = default;
    explicit Words(std::vector<std::string> words) : words_(std::move(words)) {}

    // The word count: arguments plus 2 when there is a command word.
    std::size_t count() const { return words_.size(); }
    // Word i, or an empty text past the end.
    std::string_view word(std::size_t i) const {
        return i < words_.size() ? std::string_view(words_[i]) : std::string_view{};
    }
    // Word i as a terminated string for %s templates; "" past the end.
    const char* c(std::size_t i) const { return i < words_.size() ? words_[i].c_str() : ""; }
    std::string_view command() const { return word(1); }
    std::size_t argCount() const { return words_.size() >= 2 ? words_.size() - 2 : 0; }
    long integer(std::size_t i) const;
    double real(std::size_t i) const;

    const std::vector<std::string>& all() const { return words_; }
    std::vector<std::string>& all() { return words_; }

  private:
    std::vector<std::string> words_;
};

}  // namespace vm::cli
