#include "cli/link_factory.h"

#include <utility>

#include "link/ftdi_com.h"
#include "link/hid_com.h"
#include "link/pipe_com.h"
#include "link/tcp_com.h"
#include "link/unavailable_link.h"

namespace vm::cli {

RealLinkFactory::RealLinkFactory(std::shared_ptr<FtdiDriver> ftdi, std::shared_ptr<HidDriver> hid)
    : ftdi_(std::move(ftdi)), hid_(std::move(hid)) {}

std::shared_ptr<COM_METHOD> RealLinkFactory::create(LinkKind kind, const LinkContext& context) {
    switch (kind) {
        case LinkKind::Ftdi:
            if (!ftdi_) ftdi_ = MakeLibFtdiDriver();
            return std::make_shared<FTDI_COM>(context, ftdi_);
        case LinkKind::Hid:
            if (!hidDevices_) hidDevices_ = std::make_shared<HidDeviceArray>(hid_ ? hid_ : MakeHidapiDriver());
            return std::make_shared<HID_COM>(context, hidDevices_);
        case LinkKind::Lan: return std::make_shared<TCP_COM>(context);
        case LinkKind::Pipe: return std::make_shared<PIPE_COM>(context);
    }
    return std::make_shared<UnavailableLink>(context);
}

}  // namespace vm::cli
