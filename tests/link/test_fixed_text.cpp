#include <gtest/gtest.h>

#include "link/fixed_text.h"

namespace {

using vm::FixedText;

TEST(FixedText, WritesAreCutToTheCapacity) {
    FixedText<8> t;
    EXPECT_TRUE(t.assign("abc"));
    EXPECT_EQ(t.view(), "abc");
    EXPECT_FALSE(t.append("defghij"));
    EXPECT_EQ(t.view(), "abcdefg");
    EXPECT_FALSE(t.assign(std::string(100, 'x')));
    EXPECT_EQ(t.size(), 7u);
    EXPECT_FALSE(t.format("%s-%d", "long text", 12345));
    EXPECT_EQ(t.view(), "long te");
    EXPECT_TRUE(t.format("%d\r", 42));
    EXPECT_EQ(t.view(), "42\r");
}

TEST(FixedText, RawWritesStayTerminated) {
    FixedText<4> t;
    std::memcpy(t.raw(), "wxyz", 4);
    t.terminate(10);
    EXPECT_EQ(t.view(), "wxy");
    t.terminate(1);
    EXPECT_EQ(t.view(), "w");
    t.clear();
    EXPECT_TRUE(t.empty());
}

}  // namespace

namespace {

TEST(FixedText, EmptyViewsWithoutDataAreFine) {
    vm::FixedText<8> text("abc");
    EXPECT_TRUE(text.append(std::string_view{}));
    EXPECT_EQ(text.view(), "abc");
    EXPECT_TRUE(text.assign(std::string_view{}));
    EXPECT_TRUE(text.empty());
}

}  // namespace
