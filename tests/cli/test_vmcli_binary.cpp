// End-to-end runs of the real vmcli binary with no controller attached.
#include <gtest/gtest.h>

#include "cli/messages.h"
#include "tests/support/process.h"

namespace {

std::string Message(int code) {
    vm::StringTextOut out;
    vm::cli::PrintMessage(out, code);
    return out.text();
}

struct BinaryCase {
    std::vector<std::string> words;
    std::string output;
};

TEST(VmcliBinary, PrintsItsTextsAndExitsZero) {
    const BinaryCase cases[] = {
        {{}, Message(1000)},
        {{"/ver"}, "Version: VMCLI.6.0.20190715\n\n"},
        {{"/type"}, Message(1001) + "ERROR: DEVICE NOT FOUND\n"},
        {{"STS", "9"}, "err 1.3: Error in statement. Please check your input.\n"},
        {{"STS", "1"}, "ERROR: DEVICE NOT FOUND\n"},
        {{"@12.34.56", "STS", "1"}, "ERROR: DEVICE NOT FOUND\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{VMCLI_PATH};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        const auto result = vm::test::RunProcess(argv);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output, c.output);
    }
}

}  // namespace
