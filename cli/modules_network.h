#pragma once
// Commands addressed to the controller as a whole: the module listing, the descriptor word, a
// module's firmware version and the network settings read-out.
#include "cli/session.h"
#include "cli/words.h"

namespace vm::cli {

// modlist: the configuration letter and the module kind of each of the six slots.
void HandleModlist(Session& s, const Words& w);
// SUD DESCRIPTOR
void HandleSUD(Session& s, const Words& w);
// FIV ADDR
void HandleFIV(Session& s, const Words& w);
// IPR
void HandleIPR(Session& s, const Words& w);

}  // namespace vm::cli
