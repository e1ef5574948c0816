#pragma once
// Makes the desktop program's link objects. Production makes the real transports with the
// desktop link settings; tests make scripted links, the in-process virtual controller or the
// real transports over fake USB drivers.
#include <memory>
#include <string_view>

#include "link/clock.h"
#include "link/com_method.h"
#include "link/ftdi_driver.h"
#include "link/hid_device.h"
#include "link/hid_driver.h"
#include "link/text_out.h"

namespace vm::gui {

// The desktop program shows no console text of its links.
class DiscardTextOut final : public TextOut {
  public:
    void write(std::string_view) override {}
};

enum class LinkKind { Ftdi, Hid, Lan, Pipe };

// The short name a user sees for a kind of link ("USB", "HID", "LAN", "Pipe").
std::string_view LinkKindName(LinkKind kind);

class LinkFactory {
  public:
    virtual ~LinkFactory() = default;
    virtual std::unique_ptr<COM_METHOD> create(LinkKind kind) = 0;
};

class RealLinkFactory final : public LinkFactory {
  public:
    // The production USB backends (libftdi1, hidapi), made when first needed. Other drivers
    // (fakes in tests) may be passed instead.
    explicit RealLinkFactory(Clock& clock, std::shared_ptr<FtdiDriver> ftdi = nullptr,
                             std::shared_ptr<HidDriver> hid = nullptr);
    std::unique_ptr<COM_METHOD> create(LinkKind kind) override;

  private:
    DiscardTextOut out_;  // the desktop program's listings print nothing
    LinkContext context_;
    std::shared_ptr<FtdiDriver> ftdi_;
    std::shared_ptr<HidDriver> hid_;
    // The process's HID device objects, shared by every HID link this factory makes.
    std::shared_ptr<HidDeviceArray> hidDevices_;
};

}  // namespace vm::gui
