// Every command of the tool run end to end (entry point, validator, handler) against replies
// taken from the fuzz input. Input: byte 0 picks the command line, byte 1 holds flags (bit 0
// development mode, bit 1 a "y" key for the confirmations), the rest are the replies, one per
// line (see fuzz_link.h). Crashes, sanitizer reports and runaway exchanging are findings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/dispatch.h"
#include "cli/validator.h"
#include "link/link_settings.h"
#include "tests/fuzz/fuzz_link.h"
#include "tests/support/command_samples.h"
#include "tests/support/run_tool.h"

namespace {

// Stops at start-up when the table no longer fits the tool: every dispatch-table command needs a
// sample and every sample must pass the validator, or the fuzzer would only exercise refusals.
void CheckSamples() {
    const std::string problems = vm::test::CommandSampleProblems();
    if (problems.empty()) return;
    std::fprintf(stderr, "fuzz_handlers: %s", problems.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CheckSamples();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto& samples = vm::test::CommandSamples();
    const auto& sample = samples[data[0] % samples.size()];
    const std::uint8_t flags = data[1];

    vm::test::ToolHarness h;
    vm::StringTextOut linkOut;
    const vm::LinkContext context{vm::LinkSettings::commandLine(), h.clock, linkOut};
    vm::fuzz::FuzzLink link(context, vm::fuzz::SplitReplies(input.substr(2)));
    h.links.serve(vm::cli::LinkKind::Ftdi, link);
    if (flags & 2) h.console.addKeys("y");

    std::vector<std::string> words;
    if (flags & 1) words.push_back("DEVMODE");
    words.insert(words.end(), sample.begin(), sample.end());
    h.run(std::move(words));
    return 0;
}
