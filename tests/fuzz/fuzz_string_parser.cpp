// The desktop program's reply parser on arbitrary text: tokens stay inside their buffers, the
// count inside the token table, and tokens of the latest reply are never mixed with what an
// earlier reply left in the buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gui/model/string_parser.h"

using vm::gui::StringParser;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    StringParser parser;
    StringParser before;
    for (const std::string_view text : {input.substr(size / 2), input}) {
        const int count = parser.Parse(text);
        if (count != parser.count() || count < 1 || count > static_cast<int>(StringParser::kTokenCount))
            std::abort();
        for (std::size_t k = 0; k < StringParser::kTokenCount; ++k) {
            if (parser.token(k).size() >= StringParser::kTokenSize) std::abort();
            if (k >= static_cast<std::size_t>(count) &&
                (parser.token(k) != before.token(k) || !parser.replyToken(k).empty() ||
                 parser.replyInteger(k) != 0))
                std::abort();
            (void)parser.integer(k);
            (void)parser.isAck(k);
        }
        before = parser;
    }
    (void)vm::gui::DecimalToInt(input);
    return 0;
}
