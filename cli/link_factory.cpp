#include "cli/link_factory.h"

#include "link/unavailable_link.h"

namespace vm::cli {

std::shared_ptr<COM_METHOD> RealLinkFactory::create(LinkKind kind, const LinkContext& context) {
    switch (kind) {
        case LinkKind::Ftdi:
        case LinkKind::Hid:
        case LinkKind::Lan:
        case LinkKind::Pipe: break;
    }
    return std::make_shared<UnavailableLink>(context);
}

}  // namespace vm::cli
