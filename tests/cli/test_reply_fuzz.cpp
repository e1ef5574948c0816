// Every drive, encoder, sensor and module-listing handler fed random, truncated and oversized
// replies: it never crashes, never writes outside a buffer (run under AddressSanitizer) and
// always returns after a bounded number of exchanges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "cli/validator.h"
#include "tests/support/random_reply_link.h"
#include "tests/support/run_tool.h"

namespace vm::test {
namespace {

// One valid word list per form; all run in development mode so the development-only commands
// and forms are reached.
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
    {"INFO", "6", "3"},
    {"modlist"},
    {"SUD", "RACK"},
    {"FIV", "12"},
    {"IPR"},
    {"POS", "1", "1"},
    {"POSA", "1"},
    {"RST", "1", "1"},
    {"SLD", "1", "500"},
    {"DSG", "1", "1", "128"},
    {"DSH", "1", "2", "255"},
    {"DSL", "1", "3", "0"},
    {"MLS", "1", "1"},
    {"MSS", "1", "1"},
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
};

constexpr std::uint32_t kSeedsPerSample = 150;

TEST(ReplyFuzz, SamplesCoverEveryCommandAndPassTheValidator) {
    for (const char* word :
         {"MOV",  "EXT",  "SDC",     "STP", "STS", "RFS", "SCM", "SAM",  "FBP", "FBM", "FBS", "FBX",
          "DESC", "INFO", "modlist", "SUD", "FIV", "IPR", "POS", "POSA", "RST", "SLD", "DSG", "DSH",
          "DSL",  "MLS",  "MSS",     "CAL", "CAS", "CCT", "CRP", "CCU",  "CCD", "CSH", "PGV", "PGVA",
          "EXS",  "EXR",  "MIS",     "MAS", "MIR", "MAR", "MMR", "SKS",  "SKR", "HFM", "RSS", "INF"}) {
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
