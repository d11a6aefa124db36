#include "base/text.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbra::text {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(SplitLines, SplitsAtEveryLineBreakCharacter) {
    EXPECT_THAT(splitLines("a\nb"), ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("a\rb"), ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("a\r\nb"), ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("a\vb"), ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("a\fb"), ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("a\xC2\x85"
                           "b"),
                ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("a\xE2\x80\xA8"
                           "b"),
                ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("a\xE2\x80\xA9"
                           "b"),
                ElementsAre("a", "b"));
}

TEST(SplitLines, DropsEmptyPiecesFromRunsAndEdges) {
    EXPECT_THAT(splitLines("a\r\n\r\nb"), ElementsAre("a", "b"));
    EXPECT_THAT(splitLines("\n\na\n"), ElementsAre("a"));
    EXPECT_THAT(splitLines("\r\n\xC2\x85one\n\rtwo\xE2\x80\xA9\f"), ElementsAre("one", "two"));
    EXPECT_THAT(splitLines("\n\r\n\v"), IsEmpty());
    EXPECT_THAT(splitLines(""), IsEmpty());
}

TEST(SplitLines, KeepsTextWithoutBreaksWhole) {
    EXPECT_THAT(splitLines("single line"), ElementsAre("single line"));
    // Whitespace-only pieces are content, not empty.
    EXPECT_THAT(splitLines(" \n\t"), ElementsAre(" ", "\t"));
}

TEST(SplitLines, NeverSplitsInsideOtherMultiByteCharacters) {
    // 获 is E8 8E B7 and 取 is E5 8F 96; 腅 (U+8145) is E8 85 85: continuation bytes 0x85 that
    // are NEL's second byte, but without the C2 lead.
    EXPECT_THAT(splitLines("获取\n腅"), ElementsAre("获取", "腅"));
    EXPECT_THAT(splitLines("x腅y"), ElementsAre("x腅y"));
    // U+2020 (dagger, E2 80 A0) and U+202A (E2 80 AA) share E2 80 with the separators.
    EXPECT_THAT(splitLines("†\xE2\x80\xAA"), ElementsAre("†\xE2\x80\xAA"));
    // U+00C5 (Å, C3 85) ends in 0x85 as well.
    EXPECT_THAT(splitLines("Åland"), ElementsAre("Åland"));
}

TEST(SplitLines, SurvivesTruncatedSeparatorAtTheEnd) {
    EXPECT_THAT(splitLines("a\xC2"), ElementsAre("a\xC2"));
    EXPECT_THAT(splitLines("a\xE2\x80"), ElementsAre("a\xE2\x80"));
}

TEST(Trim, StripsAsciiWhitespaceOnBothEnds) {
    EXPECT_EQ(trim(" \t\r\n\v\fvalue with  inner space\f\v\n\r\t "), "value with  inner space");
    EXPECT_EQ(trim("   "), "");
    EXPECT_EQ(trim(""), "");
    // A no-break space is not ASCII whitespace.
    EXPECT_EQ(trim("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");
}

TEST(Trim, SpacesAndTabsVariantKeepsLineBreaks) {
    EXPECT_EQ(trimSpacesAndTabs(" \t value \t "), "value");
    EXPECT_EQ(trimSpacesAndTabs("\n value \r"), "\n value \r");
    EXPECT_EQ(trimSpacesAndTabs("\t\t"), "");
}

TEST(CaseFolding, LowersAsciiOnly) {
    EXPECT_EQ(toLowerAscii("MiXeD 123 @[`{"), "mixed 123 @[`{");
    EXPECT_EQ(toLowerAscii("ÄÖÜ"), "ÄÖÜ");
}

TEST(CaseFolding, ContainsIgnoresAsciiCase) {
    EXPECT_TRUE(containsCaseInsensitive("Connection REFUSED by peer", "refused"));
    EXPECT_TRUE(containsCaseInsensitive("abc", "ABC"));
    EXPECT_TRUE(containsCaseInsensitive("abc", ""));
    EXPECT_TRUE(containsCaseInsensitive("", ""));
    EXPECT_FALSE(containsCaseInsensitive("", "a"));
    EXPECT_FALSE(containsCaseInsensitive("ab", "abc"));
    EXPECT_FALSE(containsCaseInsensitive("refuse", "refused"));
    EXPECT_FALSE(containsCaseInsensitive("ä", "Ä"));
}

TEST(Utf8Validity, AcceptsEveryEncodingLengthUpToItsLimits) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain ascii \x7F"));
    EXPECT_TRUE(isValidUtf8("\xC2\x80"));          // U+0080
    EXPECT_TRUE(isValidUtf8("\xDF\xBF"));          // U+07FF
    EXPECT_TRUE(isValidUtf8("\xE0\xA0\x80"));      // U+0800
    EXPECT_TRUE(isValidUtf8("\xED\x9F\xBF"));      // U+D7FF, just below the surrogates
    EXPECT_TRUE(isValidUtf8("\xEE\x80\x80"));      // U+E000, just above them
    EXPECT_TRUE(isValidUtf8("\xEF\xBF\xBF"));      // U+FFFF
    EXPECT_TRUE(isValidUtf8("\xF0\x90\x80\x80"));  // U+10000
    EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
    EXPECT_TRUE(isValidUtf8("获取 ✓ 😀"));
}

TEST(Utf8Validity, RejectsOverlongForms) {
    EXPECT_FALSE(isValidUtf8("\xC0\x80"));
    EXPECT_FALSE(isValidUtf8("\xC1\xBF"));
    EXPECT_FALSE(isValidUtf8("\xE0\x9F\xBF"));
    EXPECT_FALSE(isValidUtf8("\xF0\x8F\xBF\xBF"));
}

TEST(Utf8Validity, RejectsSurrogatesAndCodePointsPastTheEnd) {
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // U+D800
    EXPECT_FALSE(isValidUtf8("\xED\xBF\xBF"));      // U+DFFF
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // U+110000
    EXPECT_FALSE(isValidUtf8("\xF5\x80\x80\x80"));
    EXPECT_FALSE(isValidUtf8("\xFF"));
}

TEST(Utf8Validity, RejectsBrokenSequences) {
    EXPECT_FALSE(isValidUtf8("\x80"));       // continuation without a lead
    EXPECT_FALSE(isValidUtf8("a\xE8\x8E"));  // truncated at the end
    EXPECT_FALSE(
        isValidUtf8("\xE8\x8E"
                    "a"));                      // cut short by ASCII
    EXPECT_FALSE(isValidUtf8("\xF0\x90\x80"));  // three of four bytes
    EXPECT_FALSE(isValidUtf8("\xC2\xC2\x85"));  // lead where a continuation belongs
    EXPECT_FALSE(isValidUtf8(std::string("ok\0\xC2", 4)));
}

}  // namespace
}  // namespace nimbra::text
