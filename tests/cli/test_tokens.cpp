#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/tokens.h"

using vm::cli::Tokens;

namespace {

struct TokenCase {
    std::string reply;
    std::vector<std::string> tokens;
};

const TokenCase kTokenCases[] = {
    {"_MOV\r", {"_MOV", ""}},
    {"_MOV", {"_MOV"}},
    {"", {""}},
    {" _STP", {"", "_STP"}},
    {"_CGV 131072 5\r", {"_CGV", "131072", "5", ""}},
    // In a run of spaces only the last separates; the others stay with the preceding token.
    {"_GFS   12\r", {"_GFS  ", "12", ""}},
    {"A  B", {"A ", "B"}},
    {"A ", {"A", ""}},
    {"A\r\rB", {"A", "", "B"}},
    {"MNF\r", {"MNF", ""}},
};

TEST(Tokenize, SplitsAtCarriageReturnsAndTheLastSpaceOfARun) {
    for (const auto& c : kTokenCases) {
        Tokens t;
        t.Tokenize(c.reply);
        ASSERT_EQ(t.count(), c.tokens.size()) << c.reply;
        for (std::size_t k = 0; k < c.tokens.size(); ++k)
            EXPECT_EQ(t[k], c.tokens[k]) << c.reply << " token " << k;
    }
}

TEST(Tokenize, SlotsPastTheCountKeepAnEarlierReply) {
    Tokens t;
    t.Tokenize("_CGV 1 2 3\r");
    t.Tokenize("_STP\r");
    EXPECT_EQ(t.count(), 2u);
    EXPECT_EQ(t[2], "2");
    EXPECT_EQ(t[3], "3");
}

TEST(Tokenize, OverlongInputStaysInsideTheSlots) {
    Tokens t;
    const std::string longToken(300, 'x');
    t.Tokenize(longToken + " 7");
    EXPECT_EQ(t[0], std::string(49, 'x'));
    EXPECT_EQ(t[1], "7");

    std::string many;
    for (int i = 0; i < 40; ++i) many += std::to_string(i) + " ";
    t.Tokenize(many);
    EXPECT_EQ(t.count(), Tokens::kSlots);
    EXPECT_EQ(t[13], "13");
    EXPECT_EQ(t[14], "");  // past the table
}

TEST(Tokenize, DecimalConversionReadsLikeAtoi) {
    const std::pair<std::string, long> cases[] = {
        {"42", 42},
        {"  -7x", -7},
        {"+3", 3},
        {"abc", 0},
        {"", 0},
        {"12  ", 12},
        {"99999999999999999999999", LONG_MAX},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(vm::cli::ToInteger(text), value) << text;
    EXPECT_DOUBLE_EQ(vm::cli::ToReal(" 0.25e1"), 2.5);
    EXPECT_DOUBLE_EQ(vm::cli::ToReal("x"), 0.0);
}

}  // namespace
