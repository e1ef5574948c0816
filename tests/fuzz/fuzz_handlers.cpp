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
#include "tests/support/run_tool.h"

namespace {

// One valid command line per form, each passing the validator in development mode.
const std::vector<std::vector<std::string>> kSamples = {
    {"MOV", "1", "ASPEN1", "4", "1", "300", "100", "5000"},
    {"MOV", "6", "ASPEN1B", "300", "0", "2000", "1", "0", "30"},
    {"EXT", "1", "ASPEN1", "4", "1", "300", "100"},
    {"EXT", "2", "ELM1.X", "4", "0", "1", "1", "2"},
    {"SDC", "1", "1023"},
    {"STP", "1"},
    {"STS", "1"},
    {"RFS", "1"},
    {"SCM", "1"},
    {"SAM", "1"},
    {"FBP", "1", "ASPEN1", "4"},
    {"FBP", "1", "ASPEN1", "300", "30"},
    {"FBM", "1", "1", "300"},
    {"FBS", "1"},
    {"FBX", "1"},
    {"DESC", "1"},
    {"POS", "1", "1"},
    {"POSA", "1"},
    {"RST", "1", "1"},
    {"SLD", "1", "500"},
    {"DSG", "1", "1", "128"},
    {"DSH", "1", "2", "255"},
    {"DSL", "1", "3", "0"},
    {"MLS", "1", "1"},
    {"MSS", "1", "1"},
    {"OEMC", "2", "1", "ASPEN1-ENC", "300", "0", "100"},
    {"OEMC", "2", "3", "TESTPROFILE", "4", "1", "600", "400", "5"},
    {"CAL", "1", "1"},
    {"CAS", "1"},
    {"CCT", "1"},
    {"CRP", "1"},
    {"CCU", "1", "1"},
    {"CCD", "1", "1"},
    {"CSH", "1", "1"},
    {"PGV", "5", "1", "CEDAR1-POT"},
    {"PGVA", "5", "CEDAR1-POT", "ELM1-POT.X", "MAPLE1-ENC"},
    {"EXS", "5", "50"},
    {"EXS", "5", "5000", "0"},
    {"EXR", "5"},
    {"MIS", "5", "1"},
    {"MAS", "5", "1"},
    {"MIR", "5", "1", "CEDAR1-POT"},
    {"MAR", "5", "1", "CEDAR1-POT"},
    {"MMR", "5", "1"},
    {"SKS", "5", "1", "8"},
    {"SKR", "5", "1"},
    {"HFM", "5", "1", "CEDAR1-POT"},
    {"RSS", "5"},
    {"INF", "5", "CEDAR1-POT", "CEDAR1-POT", "TESTPROFILE"},
    {"INFO", "6", "3"},
    {"FBEN", "ASPEN1", "0.5", "ELM1.X", "0", "CEDAR1", "1", "300"},
    {"FBEN", "ASPEN1", "0.5", "ELM1.X", "0", "CEDAR1", "1", "4", "30"},
    {"FBEN", "ASPEN1", "1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "4"},
    {"FBEN", "ASPEN1", "1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "4", "1"},
    {"FBENX", "ASPEN1", "0.1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "300"},
    {"FBENX", "ASPEN1", "0.1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "4", "30"},
    {"FBCS", "0.5", "1", "-0.5", "0", "1", "1"},
    {"FBST"},
    {"FBXT"},
    {"FBFE", "1", "20", "1"},
    {"FBES"},
    {"FU", "1", "/nonexistent/firmware.bin"},
    {"IPR"},
    {"SUD", "RACK"},
    {"FIV", "12"},
    {"modlist"},
};

// Stops at start-up when the table no longer fits the tool: every dispatch-table command needs a
// sample and every sample must pass the validator, or the fuzzer would only exercise refusals.
void CheckSamples() {
    for (const vm::cli::Command& command : vm::cli::Commands()) {
        const bool sampled = std::any_of(kSamples.begin(), kSamples.end(),
                                         [&](const auto& words) { return words[0] == command.word; });
        if (!sampled) {
            std::fprintf(stderr, "fuzz_handlers: no sample for %.*s\n", static_cast<int>(command.word.size()),
                         command.word.data());
            std::abort();
        }
    }
    for (const auto& sample : kSamples) {
        std::vector<std::string> words{"vmcli"};
        words.insert(words.end(), sample.begin(), sample.end());
        vm::StringTextOut out;
        if (vm::cli::ValidateArguments(out, vm::cli::Words(words), true) != 0) {
            std::fprintf(stderr, "fuzz_handlers: sample %s refused: %s", sample[0].c_str(),
                         out.text().c_str());
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CheckSamples();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto& sample = kSamples[data[0] % kSamples.size()];
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
