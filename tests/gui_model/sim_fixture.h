#pragma once
// The desktop device model talking to a virtual controller in-process, in virtual time.
#include <memory>

#include "gui/model/current_link.h"
#include "gui/model/oem.h"
#include "gui/model/pci.h"
#include "gui/model/vmdm.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/text_out.h"
#include "sim/controller.h"
#include "sim/sim_link.h"

namespace vm::gui::test {

struct SimModel {
    VirtualClock clock;
    StringTextOut out;
    LinkContext context{LinkSettings::desktop(), clock, out};
    sim::Controller controller;
    CurrentLink current{clock};
    OEM oem{current};
    VMDM vmdm{current};
    PCI pci{current};

    explicit SimModel(sim::RackConfig rack = sim::RackConfig::Default()) : controller(clock, rack) {
        auto link = std::make_unique<sim::SimLink>(context, controller);
        link->OpenDefault();
        current.replace(std::move(link));
    }
};

}  // namespace vm::gui::test
