#pragma once
// The numbered console messages of the command-line tool: errors, warnings, the usage text and
// the stage list. Unknown codes print nothing.
#include "link/text_out.h"

namespace vm::cli {

void PrintMessage(TextOut& out, int code, bool developmentMode = false);

}  // namespace vm::cli
