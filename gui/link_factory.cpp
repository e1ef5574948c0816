#include "gui/link_factory.h"

#include <utility>

#include "link/ftdi_com.h"
#include "link/hid_com.h"
#include "link/link_settings.h"
#include "link/pipe_com.h"
#include "link/tcp_com.h"

namespace vm::gui {

std::string_view LinkKindName(LinkKind kind) {
    switch (kind) {
        case LinkKind::Ftdi:
            return "USB";
        case LinkKind::Hid:
            return "HID";
        case LinkKind::Lan:
            return "LAN";
        case LinkKind::Pipe:
            return "Pipe";
    }
    return "?";
}

RealLinkFactory::RealLinkFactory(Clock& clock, std::shared_ptr<FtdiDriver> ftdi,
                                 std::shared_ptr<HidDriver> hid)
    : context_{LinkSettings::desktop(), clock, out_}, ftdi_(std::move(ftdi)), hid_(std::move(hid)) {}

std::unique_ptr<COM_METHOD> RealLinkFactory::create(LinkKind kind) {
    switch (kind) {
        case LinkKind::Ftdi:
            if (!ftdi_) ftdi_ = MakeLibFtdiDriver();
            return std::make_unique<FTDI_COM>(context_, ftdi_);
        case LinkKind::Hid:
            if (!hidDevices_)
                hidDevices_ = std::make_shared<HidDeviceArray>(hid_ ? hid_ : MakeHidapiDriver());
            return std::make_unique<HID_COM>(context_, hidDevices_);
        case LinkKind::Lan:
            return std::make_unique<TCP_COM>(context_);
        case LinkKind::Pipe:
            return std::make_unique<PIPE_COM>(context_);
    }
    return nullptr;
}

}  // namespace vm::gui
