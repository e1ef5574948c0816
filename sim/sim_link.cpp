#include "sim/sim_link.h"

namespace vm::sim {

SimLink::SimLink(const LinkContext& context, Controller& controller)
    : COM_METHOD(context), controller_(controller) {}

bool SimLink::OpenDefault() {
    open_ = true;
    return true;
}

bool SimLink::Open(std::string_view) {
    open_ = true;
    return true;
}

int SimLink::Exchange() {
    reply().clear();
    if (!open_) return 1;
    const std::string text = controller_.Process(command().view());
    reply().assign(text);
    return text.empty() ? 1 : 0;
}

int SimLink::ListDevices() {
    devices()[0].assign("VMSIM0001");
    return 1;
}

}  // namespace vm::sim
