// Every drive, encoder, sensor and module-listing handler fed random, truncated and oversized
// replies: it never crashes, never writes outside a buffer (run under AddressSanitizer) and
// always returns after a bounded number of exchanges.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "cli/validator.h"
#include "tests/support/command_samples.h"
#include "tests/support/random_reply_link.h"
#include "tests/support/run_tool.h"

namespace vm::test {
namespace {

// The drive, encoder, sensor and module-listing command words.
constexpr std::string_view kWords[] = {
    "MOV",  "EXT",  "SDC",     "STP", "STS", "RFS", "SCM", "SAM",  "FBP", "FBM", "FBS", "FBX",
    "DESC", "INFO", "modlist", "SUD", "FIV", "IPR", "POS", "POSA", "RST", "SLD", "DSG", "DSH",
    "DSL",  "MLS",  "MSS",     "CAL", "CAS", "CCT", "CRP", "CCU",  "CCD", "CSH", "PGV", "PGVA",
    "EXS",  "EXR",  "MIS",     "MAS", "MIR", "MAR", "MMR", "SKS",  "SKR", "HFM", "RSS", "INF"};

// One valid word list per form of those commands; all run in development mode so the
// development-only commands and forms are reached.
const std::vector<std::vector<std::string>> kSamples = [] {
    std::vector<std::vector<std::string>> samples;
    for (const auto& sample : CommandSamples())
        if (std::find(std::begin(kWords), std::end(kWords), sample[0]) != std::end(kWords))
            samples.push_back(sample);
    return samples;
}();

constexpr std::uint32_t kSeedsPerSample = 150;

TEST(ReplyFuzz, SamplesCoverEveryCommandAndPassTheValidator) {
    EXPECT_EQ(CommandSampleProblems(), "");
    for (std::string_view word : kWords) {
        const bool sampled = std::any_of(kSamples.begin(), kSamples.end(),
                                         [&](const auto& words) { return words[0] == word; });
        EXPECT_TRUE(sampled) << word;
    }
    for (const auto& sample : kSamples) {
        std::vector<std::string> words{"vmcli"};
        words.insert(words.end(), sample.begin(), sample.end());
        StringTextOut out;
        EXPECT_EQ(cli::ValidateArguments(out, cli::Words(words), true), 0)
            << Join(sample) << ": " << out.text();
        const cli::Command* command = cli::FindCommand(sample[0]);
        ASSERT_NE(command, nullptr) << sample[0];
        EXPECT_NE(command->handler, nullptr) << sample[0] << " has no handler";
    }
}

TEST(ReplyFuzz, HandlersSurviveRandomReplies) {
    for (const auto& sample : kSamples) {
        std::vector<std::string> words{"DEVMODE"};
        words.insert(words.end(), sample.begin(), sample.end());
        for (std::uint32_t seed = 0; seed < kSeedsPerSample; ++seed) {
            ToolHarness h;
            RandomReplyLink link(seed * 7919u + static_cast<std::uint32_t>(sample.size()));
            h.links.serve(cli::LinkKind::Ftdi, link);
            const std::string out = h.run(words);
            ASSERT_FALSE(link.runaway()) << Join(sample) << " seed " << seed << " kept exchanging";
            ASSERT_GT(link.exchanges(), 0u) << Join(sample);
            ASSERT_TRUE(
                out.ends_with("| Program running in Development Mode... |\n"
                              "------------------------------------------\n\n"))
                << Join(sample) << " seed " << seed << " did not return normally";
        }
    }
}

}  // namespace
}  // namespace vm::test
