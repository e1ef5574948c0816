#pragma once
// vmcli run in-process against the virtual controller on its default rack, in virtual time: the
// controller is served as the default USB link.
#include <string>
#include <vector>

#include "link/link_settings.h"
#include "link/text_out.h"
#include "sim/controller.h"
#include "sim/sim_link.h"
#include "tests/support/run_tool.h"

namespace vm::test {

struct SimToolRig {
    ToolHarness tool;
    sim::Controller controller{tool.clock, sim::RackConfig::Default()};
    StringTextOut linkOut;
    LinkContext context{LinkSettings::commandLine(), tool.clock, linkOut};
    sim::SimLink link{context, controller};

    SimToolRig() { tool.links.serve(cli::LinkKind::Ftdi, link); }
    std::string run(std::vector<std::string> words) { return tool.run(std::move(words)); }
    // A raw controller line, for setting the scene.
    std::string send(const std::string& line) { return controller.Process(line); }
};

}  // namespace vm::test
