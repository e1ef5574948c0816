#include "tests/support/run_tool.h"

#include "link/unavailable_link.h"

namespace vm::test {

void FakeLinkFactory::serve(cli::LinkKind kind, COM_METHOD& link) {
    links_[kind] = std::shared_ptr<COM_METHOD>(std::shared_ptr<void>{}, &link);  // not owned
}

void FakeLinkFactory::serve(cli::LinkKind kind, std::shared_ptr<COM_METHOD> link) { links_[kind] = std::move(link); }

std::shared_ptr<COM_METHOD> FakeLinkFactory::create(cli::LinkKind kind, const LinkContext& context) {
    requested_.push_back(kind);
    const auto it = links_.find(kind);
    if (it != links_.end()) return it->second;
    return std::make_shared<UnavailableLink>(context);
}

std::string ToolHarness::run(std::vector<std::string> words) {
    words.insert(words.begin(), "vmcli");
    cli::Environment env{console, clock, links};
    cli::RunVmcli(env, std::move(words));
    return console.take();
}

std::string RunTool(COM_METHOD& link, std::vector<std::string> words) {
    ToolHarness h;
    h.links.serve(cli::LinkKind::Ftdi, link);
    return h.run(std::move(words));
}

std::string RunToolWithoutDevice(std::vector<std::string> words) {
    ToolHarness h;
    return h.run(std::move(words));
}

std::string Join(const std::vector<std::string>& words) {
    std::string joined;
    for (const auto& w : words) joined += (joined.empty() ? "" : " ") + w;
    return joined;
}

}  // namespace vm::test
