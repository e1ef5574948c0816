// The argument validator on arbitrary word lists, then the whole entry point on the same words
// with a link whose every exchange fails, so that handlers meet whatever the validator lets
// through. Input: byte 0 holds flags (bit 0 development mode), the rest are the words after the
// program name, one per line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/app.h"
#include "cli/validator.h"
#include "link/link_settings.h"
#include "tests/fuzz/fuzz_link.h"
#include "tests/support/run_tool.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool developmentMode = data[0] & 1;
    // More words than any command takes only repeat the count refusal.
    constexpr std::size_t kMaxWords = 24;
    std::vector<std::string> words{"vmcli"};
    for (const std::string_view word :
         vm::fuzz::SplitReplies(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1))) {
        if (words.size() > kMaxWords) break;
        words.emplace_back(word);
    }

    vm::StringTextOut out;
    const std::uint8_t errors = vm::cli::ValidateArguments(out, vm::cli::Words(words), developmentMode);
    if (errors != 0 && out.text().empty()) std::abort();  // a refusal always says why
    for (const std::string& word : words) (void)vm::cli::IsKnownCommand(word);

    // The pipe modes serve clients until they are stopped; they have their own tests.
    if (words.size() >= 2 &&
        (vm::cli::IsModeKeyword(words[1], "SERV") || vm::cli::IsModeKeyword(words[1], "CMON")))
        return 0;
    vm::test::ToolHarness h;
    vm::StringTextOut linkOut;
    const vm::LinkContext context{vm::LinkSettings::commandLine(), h.clock, linkOut};
    vm::fuzz::FuzzLink link(context, {});
    h.links.serve(vm::cli::LinkKind::Ftdi, link);
    words.erase(words.begin());
    if (developmentMode) words.insert(words.begin(), "DEVMODE");
    h.run(std::move(words));
    return 0;
}
