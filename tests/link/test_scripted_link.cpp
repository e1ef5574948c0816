#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "tests/support/scripted_link.h"

namespace {

using vm::test::ScriptedLink;

TEST(ScriptedLink, AnswersInOrderAndRecordsLines) {
    ScriptedLink link({{"STS 1\r", "_MOV\r"}, {"STP 1\r", "", 1}});
    link.command().assign("STS 1\r");
    EXPECT_EQ(link.Exchange(), 0);
    EXPECT_EQ(link.reply().view(), "_MOV\r");
    // A resend reuses the command buffer unless the link clears it.
    EXPECT_EQ(link.command().view(), "STS 1\r");
    link.command().assign("STP 1\r");
    EXPECT_EQ(link.Exchange(), 1);
    EXPECT_EQ(link.reply().view(), "");
    EXPECT_EQ(link.sent(), (std::vector<std::string>{"STS 1\r", "STP 1\r"}));
}

TEST(ScriptedLink, PipeStyleClearsTheCommandAfterSending) {
    ScriptedLink link({{"STS 1\r", "_STP\r"}, {"", "", 1}});
    link.clearCommandAfterExchange = true;
    link.command().assign("STS 1\r");
    link.Exchange();
    EXPECT_TRUE(link.command().empty());
    link.Exchange();
    EXPECT_EQ(link.sent().back(), "");
}

TEST(ScriptedLink, UnexpectedAndWrongLinesFailTheTest) {
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedLink link;
            link.command().assign("STS 1\r");
            link.Exchange();
        },
        "unexpected line");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedLink link({{"STS 1\r", "_STP\r"}});
            link.command().assign("STS 2\r");
            link.Exchange();
        },
        "differs from the script");
    EXPECT_NONFATAL_FAILURE({ ScriptedLink link({{"STS 1\r", "_STP\r"}}); }, "never sent");
}

}  // namespace
