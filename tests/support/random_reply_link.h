#pragma once
// A link for reply-fuzzing tests: every exchange answers a random reply (empty, garbage, long
// tokens, many tokens, or a plausible reply cut at a random point) and now and then a link
// failure. It counts exchanges and, past a limit, fails every exchange with an empty reply and
// records the runaway, so a handler that loops on bad replies is caught instead of hanging.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "link/com_method.h"
#include "tests/support/scripted_link.h"

namespace vm::test {

class RandomReplyLink final : public COM_METHOD {
  public:
    explicit RandomReplyLink(std::uint32_t seed, const LinkContext& context = TestLinkContext());

    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int Exchange() override;
    int ListDevices() override { return 1; }

    // Status words the handlers test for; a plausible reply starts with one of them.
    std::vector<std::string> words{"_MOV", "_MDC",  "_STP", "_EXT", "_SCM", "_SAM", "_RCV", "_RAV", "_GFS",
                                   "_RFS", "_DESC", "_CLS", "_SCN", "_FIV", "_IPR", "_SUD", "MNF",  "CNR"};
    std::size_t exchangeLimit = 20000;

    std::size_t exchanges() const { return exchanges_; }
    bool runaway() const { return exchanges_ > exchangeLimit; }
    // The replies given so far (only the first 50 are kept), for a failure message.
    const std::vector<std::string>& replies() const { return replies_; }

  private:
    std::string randomReply();

    std::mt19937 random_;
    std::size_t exchanges_ = 0;
    std::vector<std::string> replies_;
};

}  // namespace vm::test
