#pragma once
// The real transports of the command-line tool.
#include <memory>

#include "cli/app.h"
#include "link/ftdi_driver.h"
#include "link/hid_device.h"
#include "link/hid_driver.h"

namespace vm::cli {

class RealLinkFactory final : public LinkFactory {
public:
    // The production USB backends (libftdi1, hidapi), made when first needed.
    RealLinkFactory() = default;
    // Other USB drivers; tests pass fakes.
    RealLinkFactory(std::shared_ptr<FtdiDriver> ftdi, std::shared_ptr<HidDriver> hid);
    std::shared_ptr<COM_METHOD> create(LinkKind kind, const LinkContext& context) override;

private:
    std::shared_ptr<FtdiDriver> ftdi_;
    std::shared_ptr<HidDriver> hid_;
    // The process's ten HID device objects, shared by every HID link this factory makes.
    std::shared_ptr<HidDeviceArray> hidDevices_;
};

}  // namespace vm::cli
