#pragma once
// The two long-running pipe modes of the command-line tool and the start of a server for the
// "@SERV" and "@CMON" selectors.
#include <string_view>

#include "cli/app.h"
#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

// Serves the controller to other processes through the pipe pair of the name. Returns only when
// no device could be opened.
void RunPipeMode(Environment& env, Session& session, const Words& words, std::string_view pipeName, bool monitor);

// Makes sure a pipe server (or monitor) process runs, starting one when none does.
void EnsurePipeServer(Environment& env, std::string_view pipeName, bool monitor);

}  // namespace vm::cli
