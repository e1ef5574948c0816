#pragma once
// The real transports of the command-line tool.
#include "cli/app.h"

namespace vm::cli {

class RealLinkFactory final : public LinkFactory {
public:
    std::shared_ptr<COM_METHOD> create(LinkKind kind, const LinkContext& context) override;
};

}  // namespace vm::cli
