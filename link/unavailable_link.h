#pragma once
// A link whose device can never be opened: stands in for a transport that this build or this
// machine does not have. Every open fails and every exchange reports failure with an empty reply.
#include "link/com_method.h"

namespace vm {

class UnavailableLink final : public COM_METHOD {
  public:
    using COM_METHOD::COM_METHOD;
    bool OpenDefault() override { return false; }
    bool Open(std::string_view) override { return false; }
    void Close() override {}
    int Exchange() override {
        reply().clear();
        return 1;
    }
    int ListDevices() override { return 0; }
};

}  // namespace vm
