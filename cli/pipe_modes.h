#pragma once
// The two long-running pipe modes of the command-line tool and the start of a server for the
// "@SERV" and "@CMON" selectors.
#include <string_view>

#include "cli/app.h"
#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

enum class PipeModeEnd {
    NoDevice,    // no device could be opened: the tool goes on as a client
    EndProcess,  // the request endpoint could not be made (or serving was stopped): exit with 0
};

// Serves the controller to other processes through the pipe pair of the name: the pipe server
// writes a log line per transaction, the monitor (monitor true) a live table. Returns only when
// no device could be opened or the process is to end.
PipeModeEnd RunPipeMode(Environment& env, Session& session, const Words& words, std::string_view pipeName,
                        bool monitor);

// Makes sure a pipe server (or monitor) process runs, starting one when this tool is the only
// running instance of itself.
void EnsurePipeServer(Environment& env, std::string_view pipeName, bool monitor);

// The server log's verdict on a transaction: the command's first three characters against the
// reply's second to fourth.
std::string_view TransactionVerdict(std::string_view command, std::string_view reply);

}  // namespace vm::cli
