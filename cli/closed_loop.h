#pragma once
// Closed-loop position control of the command-line tool: enable the loop with one line per axis,
// command set-points, read the loop state, search end stops and leave closed-loop operation. The
// lines address the controller as a whole; the axes are 0, 1 and 2 on the wire.
#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

// FBEN STAGE CLEAR x3 TEMP [TRQFR], or in development mode STAGE SCAN CLEAR x3 TEMP [TRQFR].
void HandleFBEN(Session& s, const Words& w);
// FBENX STAGE TOL CLEAR x3 TEMP [TRQFR]: the same "FBEN" lines with the tolerance in field 5.
void HandleFBENX(Session& s, const Words& w);
// FBCS SP1 ABS SP2 ABS SP3 ABS
void HandleFBCS(Session& s, const Words& w);
// FBST: the status line, then the eleven loop-state lines.
void HandleFBST(Session& s, const Words& w);
// FBFE DIR FILTER ZERO
void HandleFBFE(Session& s, const Words& w);
void HandleFBXT(Session& s, const Words& w);
void HandleFBES(Session& s, const Words& w);

}  // namespace vm::cli
