#pragma once
// A link whose replies come from the fuzz input: each Exchange takes the next reply of the
// sequence it was given (a reply beginning "!" also fails the exchange). Past the sequence every
// exchange fails with an empty reply, as a controller that went away. More than kExchangeLimit
// exchanges for one input means the caller keeps exchanging however the link answers: the target
// stops with a report, so a looping handler is a finding rather than a hang.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "link/com_method.h"

namespace vm::fuzz {

// Splits the text at line feeds into replies; a line feed is never part of a reply, a carriage
// return may be.
inline std::vector<std::string_view> SplitReplies(std::string_view text) {
    std::vector<std::string_view> replies;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        replies.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return replies;
}

class FuzzLink final : public COM_METHOD {
  public:
    static constexpr std::size_t kExchangeLimit = 20000;

    FuzzLink(const LinkContext& context, std::vector<std::string_view> replies)
        : COM_METHOD(context), replies_(std::move(replies)) {}

    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int ListDevices() override { return 1; }

    int Exchange() override {
        if (++exchanges_ > kExchangeLimit) {
            std::fprintf(stderr, "runaway: still exchanging after %zu exchanges, last command \"%s\"\n",
                         kExchangeLimit, command().c_str());
            std::abort();
        }
        reply().clear();
        if (next_ >= replies_.size()) return 1;
        std::string_view text = replies_[next_++];
        int result = 0;
        if (text.starts_with('!')) {
            text.remove_prefix(1);
            result = 1;
        }
        // raw() and terminate(): the reply may hold zero bytes or overflow the buffer, as a
        // transport's raw read could deliver.
        const std::size_t n = std::min(text.size(), Buffer::kMaxLength);
        std::copy_n(text.data(), n, reply().raw());
        reply().terminate(n);
        return result;
    }

    std::size_t exchanges() const { return exchanges_; }

  private:
    std::vector<std::string_view> replies_;
    std::size_t next_ = 0;
    std::size_t exchanges_ = 0;
};

}  // namespace vm::fuzz
