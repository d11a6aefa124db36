// The text helpers, table-driven: line splitting, trimming, ASCII case folding, strict UTF-8.

#include "base/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbra::text {
namespace {

using Lines = std::vector<std::string>;

TEST(Text, SplitLinesBreaksAtEveryLineBreakAndNowhereElse) {
    const std::pair<std::string, Lines> cases[] = {
        {"a\nb\rc\r\nd\ve\ff", {"a", "b", "c", "d", "e", "f"}},
        {"a\xC2\x85x\xE2\x80\xA8y\xE2\x80\xA9z", {"a", "x", "y", "z"}},  // NEL, LS, PS
        {"\r\n\xC2\x85one\n\r\ntwo\xE2\x80\xA9\f", {"one", "two"}},  // runs and edges: no empties
        {"\n\r\n\v", {}},
        {"", {}},
        {" \n\t", {" ", "\t"}},  // whitespace is content
        // Other characters sharing bytes with the separators: 腅 (E8 85 85) and Å (C3 85) end
        // in NEL's 0x85, † (E2 80 A0) and U+202A (E2 80 AA) start like LS and PS.
        {"获取\n腅x腅Åland†\xE2\x80\xAA", {"获取", "腅x腅Åland†\xE2\x80\xAA"}},
        {"a\xC2", {"a\xC2"}},  // separators cut short at the end
        {"a\xE2\x80", {"a\xE2\x80"}},
    };
    for (const auto& [input, lines] : cases) EXPECT_EQ(splitLines(input), lines) << input;
}

TEST(Text, TrimAndCaseFoldingTouchAsciiOnly) {
    EXPECT_EQ(trim(" \t\r\n\v\fvalue with  inner space\f\v\n\r\t "), "value with  inner space");
    EXPECT_EQ(trim("   "), "");
    EXPECT_EQ(trim("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");  // a no-break space stays
    EXPECT_EQ(trimSpacesAndTabs(" \t value \t "), "value");
    EXPECT_EQ(trimSpacesAndTabs("\n value \r"), "\n value \r");
    EXPECT_EQ(toLowerAscii("MiXeD 123 @[`{ ÄÖÜ"), "mixed 123 @[`{ ÄÖÜ");

    EXPECT_TRUE(containsCaseInsensitive("Connection REFUSED by peer", "refused"));
    EXPECT_TRUE(containsCaseInsensitive("", ""));
    EXPECT_FALSE(containsCaseInsensitive("", "a"));
    EXPECT_FALSE(containsCaseInsensitive("refuse", "refused"));
    EXPECT_FALSE(containsCaseInsensitive("ä", "Ä"));
}

TEST(Text, Utf8IsStrict) {
    for (const char* valid :
         {"", "plain ascii \x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
          "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "获取 ✓ 😀"}) {
        EXPECT_TRUE(isValidUtf8(valid)) << valid;
    }
    // Overlong forms, surrogates, past U+10FFFF, and broken sequences.
    for (const char* invalid :
         {"\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
          "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\x80", "a\xE8\x8E",
          "\xE8\x8E!", "\xF0\x90\x80", "\xC2\xC2\x85"}) {
        EXPECT_FALSE(isValidUtf8(invalid)) << invalid;
    }
    EXPECT_FALSE(isValidUtf8(std::string("ok\0\xC2", 4)));
}

}  // namespace
}  // namespace nimbra::text
