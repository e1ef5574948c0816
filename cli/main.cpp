// vmcli: runs one controller command per invocation.
#include <string>
#include <vector>

#include "cli/app.h"
#include "cli/console.h"
#include "cli/link_factory.h"
#include "cli/system.h"
#include "link/clock.h"

int main(int argc, char** argv) {
    vm::cli::StdConsole console;
    vm::SteadyClock clock;
    vm::cli::RealLinkFactory links;
    vm::cli::RealSystem system;
    vm::cli::Environment env{console, clock, links, &system};
    return vm::cli::RunVmcli(env, std::vector<std::string>(argv, argv + argc));
}
