#pragma once
// What every window and worker of the desktop program shares: the clock, the link factory, the
// prompts, the one current link with its reply parser, the device-model objects and the runner
// for the windows' short link actions. One instance lives from program start to program end.
#include "gui/link_factory.h"
#include "gui/link_runner.h"
#include "gui/model/current_link.h"
#include "gui/model/oem.h"
#include "gui/model/pci.h"
#include "gui/model/vmdm.h"
#include "gui/prompts.h"
#include "link/clock.h"

namespace vm::gui {

struct AppContext {
    AppContext(Clock& programClock, LinkFactory& linkFactory, Prompts& programPrompts)
        : clock(programClock), links(linkFactory), prompts(programPrompts) {}
    AppContext(const AppContext&) = delete;
    AppContext& operator=(const AppContext&) = delete;

    Clock& clock;
    LinkFactory& links;
    Prompts& prompts;
    // The current link holds the one StringParser, so the device-model objects are made in the
    // order StringParser, OEM, VMDM, PCI.
    CurrentLink current{clock};
    OEM oem{current};
    VMDM vmdm{current};
    PCI pci{current};
    LinkRunner runner;
};

}  // namespace vm::gui
