#include "tests/support/random_reply_link.h"

#include <algorithm>

namespace vm::test {

RandomReplyLink::RandomReplyLink(std::uint32_t seed, const LinkContext& context)
    : COM_METHOD(context), random_(seed) {}

int RandomReplyLink::Exchange() {
    ++exchanges_;
    if (runaway()) {
        reply().clear();
        return 1;
    }
    const std::string text = randomReply();
    if (replies_.size() < 50) replies_.push_back(text);
    // raw() and terminate() rather than assign: the text may hold zero bytes and be longer than
    // the buffer, as a transport's raw read could deliver.
    const std::size_t n = std::min(text.size(), Buffer::kMaxLength);
    reply().clear();
    std::copy_n(text.data(), n, reply().raw());
    reply().terminate(n);
    return std::uniform_int_distribution<int>(0, 9)(random_) == 0 ? 1 : 0;
}

std::string RandomReplyLink::randomReply() {
    auto pick = [this](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); };
    std::string text;
    switch (pick(0, 6)) {
        case 0:
            break;  // empty
        case 1:     // any bytes
            for (int i = pick(1, 250); i > 0; --i) text += static_cast<char>(pick(0, 255));
            break;
        case 2:  // printable text with runs of blanks and carriage returns
            for (int i = pick(1, 250); i > 0; --i) {
                const int c = pick(0, 20);
                text += c == 0 ? '\r' : c < 5 ? ' ' : static_cast<char>(pick(33, 126));
            }
            break;
        case 3:  // a token far longer than a slot
            text = words[static_cast<std::size_t>(pick(0, static_cast<int>(words.size()) - 1))] + " " +
                   std::string(static_cast<std::size_t>(pick(50, 190)), 'A' + static_cast<char>(pick(0, 25)));
            break;
        case 4:  // more tokens than slots
            text = words[static_cast<std::size_t>(pick(0, static_cast<int>(words.size()) - 1))];
            for (int i = pick(14, 60); i > 0; --i) text += " " + std::to_string(pick(-5, 300));
            text += "\r";
            break;
        default: {  // a plausible reply, maybe cut short, maybe without its carriage return
            text = words[static_cast<std::size_t>(pick(0, static_cast<int>(words.size()) - 1))];
            for (int i = pick(0, 12); i > 0; --i)
                text += " " + (pick(0, 5) == 0 ? std::string("A-COR") : std::to_string(pick(-70000, 300000)));
            if (pick(0, 3) != 0) text += "\r";
            if (pick(0, 2) == 0)
                text.resize(static_cast<std::size_t>(pick(0, static_cast<int>(text.size()))));
            break;
        }
    }
    return text;
}

}  // namespace vm::test
