#include "cli/pipe_modes.h"

namespace vm::cli {

// No pipe transport in this build yet: the modes find no device and hand back to the client.
void RunPipeMode(Environment& env, Session&, const Words&, std::string_view, bool) {
    env.console.write(" NO DEVICES FOUND\n");
    env.clock.sleepMs(1000);
}

void EnsurePipeServer(Environment&, std::string_view, bool) {}

}  // namespace vm::cli
