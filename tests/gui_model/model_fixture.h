#pragma once
// The desktop device model bound to a scripted link with the desktop program's link settings
// and virtual time.
#include <memory>
#include <utility>
#include <vector>

#include "gui/model/current_link.h"
#include "gui/model/oem.h"
#include "gui/model/pci.h"
#include "gui/model/vmdm.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/text_out.h"
#include "tests/support/scripted_link.h"

namespace vm::gui::test {

struct ScriptedModel {
    VirtualClock clock;
    StringTextOut out;
    LinkContext context{LinkSettings::desktop(), clock, out};
    CurrentLink current{clock};
    vm::test::ScriptedLink* link = nullptr;
    OEM oem{current};
    VMDM vmdm{current};
    PCI pci{current};

    explicit ScriptedModel(std::vector<vm::test::ScriptStep> steps = {}) {
        auto scripted = std::make_unique<vm::test::ScriptedLink>(context);
        for (auto& step : steps)
            scripted->expect(std::move(step.expected), std::move(step.reply), step.result);
        link = scripted.get();
        current.replace(std::move(scripted));
    }
};

}  // namespace vm::gui::test
