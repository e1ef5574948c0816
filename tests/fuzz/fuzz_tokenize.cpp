// Tokenize of the command-line tool and its number conversions on arbitrary reply text: every
// token stays inside its slot, the count stays within the slots, and a second text leaves the
// slots consistent with the retention rule.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/tokens.h"

using vm::cli::Tokens;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first half as one reply, the whole input as the next one into the same slots.
    Tokens tokens;
    Tokens before;
    for (const std::string_view text : {input.substr(0, size / 2), input}) {
        tokens.Tokenize(text);
        for (std::size_t k = tokens.count(); k < Tokens::kSlots; ++k)
            if (tokens[k] != before[k]) std::abort();
        if (tokens.count() < 1 || tokens.count() > Tokens::kSlots) std::abort();
        for (std::size_t k = 0; k < Tokens::kSlots; ++k) {
            if (tokens[k].size() >= Tokens::kSlotSize) std::abort();
            (void)tokens.integer(k);
            (void)tokens.real(k);
        }
        if (!tokens[Tokens::kSlots].empty()) std::abort();
        before = tokens;
    }
    (void)vm::cli::ToInteger(input);
    (void)vm::cli::ToReal(input);
    return 0;
}
