#pragma once
// The in-process link to a virtual controller, for tests: Exchange hands the command buffer to
// the controller and stores its reply with the carriage return kept, as the USB links do. A
// controller that gives no reply leaves an empty reply buffer and the result 1.
#include "link/com_method.h"
#include "sim/controller.h"

namespace vm::sim {

class SimLink final : public COM_METHOD {
  public:
    SimLink(const LinkContext& context, Controller& controller);

    bool OpenDefault() override;
    bool Open(std::string_view name) override;
    void Close() override { open_ = false; }
    int Exchange() override;
    int ListDevices() override;

    bool isOpen() const { return open_; }

  private:
    Controller& controller_;
    bool open_ = false;
};

}  // namespace vm::sim
