#pragma once
// The dispatch table of the command-line tool: command words in comparison order, each with its
// handler and whether it runs only in development mode.
#include <span>
#include <string_view>

#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

using Handler = void (*)(Session&, const Words&);

struct Command {
    std::string_view word;
    Handler handler;  // nullptr: the word is known but its handler is not part of this build yet
    bool developmentOnly;
};

std::span<const Command> Commands();
// The table row of a command word, or nullptr.
const Command* FindCommand(std::string_view word);
// Runs the handler of the command word when its development-mode condition holds; returns
// whether a handler ran.
bool Dispatch(Session& session, const Words& words);

}  // namespace vm::cli
