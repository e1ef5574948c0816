#include "cli/link_factory.h"

#include "link/pipe_com.h"
#include "link/tcp_com.h"
#include "link/unavailable_link.h"

namespace vm::cli {

std::shared_ptr<COM_METHOD> RealLinkFactory::create(LinkKind kind, const LinkContext& context) {
    switch (kind) {
        case LinkKind::Ftdi:
        case LinkKind::Hid: break;
        case LinkKind::Lan: return std::make_shared<TCP_COM>(context);
        case LinkKind::Pipe: return std::make_shared<PIPE_COM>(context);
    }
    return std::make_shared<UnavailableLink>(context);
}

}  // namespace vm::cli
