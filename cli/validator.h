#pragma once
// The argument validator: checks the command word, its argument count and the ranges of its
// arguments, printing one message per failed check. Nothing is sent to the controller here.
#include <cstdint>
#include <string_view>

#include "cli/words.h"
#include "link/text_out.h"

namespace vm::cli {

// True for every word of the dispatch table and the local words /USB, /type, /LAN and /ver.
bool IsKnownCommand(std::string_view word);

// Returns the error count; 0 lets the command run. Prints the stage list for a bare /type.
std::uint8_t ValidateArguments(TextOut& out, const Words& words, bool developmentMode);

}  // namespace vm::cli
