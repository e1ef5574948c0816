#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/model/string_parser.h"

namespace vm::gui {
namespace {

struct ParseCase {
    std::string text;
    std::vector<std::string> tokens;  // the first tokens expected, in order
    int count;
};

const ParseCase kParseCases[] = {
    {"_MOV\r", {"_MOV", ""}, 2},
    {"_MOV", {"_MOV"}, 1},
    {"_CGV 131072 512\r", {"_CGV", "131072", "512", ""}, 4},
    // In a run of spaces only the last one separates.
    {"_CGV 12  34\r", {"_CGV", "12 ", "34", ""}, 4},
    {"_CGV 12   34", {"_CGV", "12  ", "34"}, 3},
    {" _MOV", {"", "_MOV"}, 2},
    {"", {""}, 1},
    {"A \r", {"A", "", ""}, 3},
    // Tokens are cut to 8 characters, never written past their buffer.
    {"_ABCDEFGHIJKLMNOP 123456789\r", {"_ABCDEFG", "12345678", ""}, 3},
    // Tokens past the 15th are dropped.
    {"0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19",
     {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14"},
     15},
};

TEST(StringParser, SplitsRepliesAsTheControllerSendsThem) {
    for (const auto& c : kParseCases) {
        StringParser p;
        EXPECT_EQ(p.Parse(c.text), c.count) << c.text;
        EXPECT_EQ(p.count(), c.count) << c.text;
        for (std::size_t k = 0; k < c.tokens.size(); ++k)
            EXPECT_EQ(p.token(k), c.tokens[k]) << c.text << " token " << k;
    }
}

TEST(StringParser, ShorterRepliesLeaveLaterBuffersAsTheyWere) {
    StringParser p;
    p.Parse("_CLS 6 300 50 293 3 6000 PROFILE2 tag 1\r");
    p.Parse("MNF\r");
    EXPECT_EQ(p.token(0), "MNF");
    EXPECT_EQ(p.token(1), "");
    EXPECT_EQ(p.token(2), "300");
    EXPECT_EQ(p.token(7), "PROFILE2");
    EXPECT_EQ(p.token(15), "");  // beyond the table reads empty
    // The reply's own tokens only: what "MNF" did not carry reads empty.
    EXPECT_EQ(p.replyToken(0), "MNF");
    EXPECT_EQ(p.replyToken(2), "");
    EXPECT_EQ(p.replyInteger(2), 0);
}

TEST(StringParser, OnlyTheFirst126CharactersCount) {
    // 125 characters of one cut token, then a delimiter at 125 and "B" at 126 past the limit.
    std::string text(125, 'x');
    text += " B";
    StringParser p;
    EXPECT_EQ(p.Parse(text), 2);
    EXPECT_EQ(p.token(0), "xxxxxxxx");
    EXPECT_EQ(p.token(1), "");

    // Any length and content stays inside the buffers.
    std::string noise;
    for (int i = 0; i < 5000; ++i)
        noise += static_cast<char>(i % 7 == 0 ? ' ' : (i % 11 == 0 ? '\r' : 'a' + i % 26));
    EXPECT_LE(p.Parse(noise), static_cast<int>(StringParser::kTokenCount));
    for (std::size_t k = 0; k < StringParser::kTokenCount; ++k) EXPECT_LE(p.token(k).size(), 8u);
}

TEST(StringParser, IntegerReadsLikeAtoi) {
    const std::pair<const char*, int> cases[] = {
        {"131072", 131072},
        {"12 ", 12},
        {"  -7", -7},
        {"+5x", 5},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"0042", 42},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(DecimalToInt(text), value) << text;
    StringParser p;
    p.Parse("_CGV 131070  7\r");
    EXPECT_EQ(p.integer(1), 131070);
    EXPECT_EQ(p.integer(2), 7);
    EXPECT_TRUE(p.isAck(0));
    EXPECT_FALSE(p.isAck(1));
}

}  // namespace
}  // namespace vm::gui
