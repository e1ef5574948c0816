#pragma once
// Runs the command-line tool in-process: a captured console, virtual time, and links chosen by
// the test for each transport (a transport without a link fails to open).
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/app.h"
#include "cli/console.h"
#include "cli/session.h"
#include "link/clock.h"
#include "tests/support/scripted_link.h"

namespace vm::test {

// Hands out the links a test registered; records which transports the tool asked for.
class FakeLinkFactory final : public cli::LinkFactory {
public:
    // The link is not owned: it must outlive the run.
    void serve(cli::LinkKind kind, COM_METHOD& link);
    void serve(cli::LinkKind kind, std::shared_ptr<COM_METHOD> link);
    std::shared_ptr<COM_METHOD> create(cli::LinkKind kind, const LinkContext& context) override;
    const std::vector<cli::LinkKind>& requested() const { return requested_; }

private:
    std::map<cli::LinkKind, std::shared_ptr<COM_METHOD>> links_;
    std::vector<cli::LinkKind> requested_;
};

struct ToolHarness {
    VirtualClock clock;
    cli::ScriptedConsole console;
    FakeLinkFactory links;

    // Runs "vmcli" with the words and returns everything it printed.
    std::string run(std::vector<std::string> words);
};

// Runs the tool with the link served as the default FTDI bridge; returns the output.
std::string RunTool(COM_METHOD& link, std::vector<std::string> words);
// Runs the tool with no device attached.
std::string RunToolWithoutDevice(std::vector<std::string> words);

// A session bound to a scripted link with a captured console, for calling handlers directly.
struct HandlerHarness {
    VirtualClock clock;
    cli::ScriptedConsole console;
    ScriptedLink link;
    cli::Session session{console, clock};
    HandlerHarness() { session.bind(&link, true); }
    std::string output() { return console.take(); }
};

std::string Join(const std::vector<std::string>& words);

}  // namespace vm::test
