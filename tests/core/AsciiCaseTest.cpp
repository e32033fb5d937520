#include "core/AsciiCase.h"

#include <gtest/gtest.h>

using namespace kestrel;

TEST(AsciiCase, OnlyLatinLettersChange) {
    EXPECT_EQ(AsciiLowerText("AZaz@[`{09"), "azaz@[`{09");
    EXPECT_EQ(AsciiUpper('a'), 'A');
    EXPECT_EQ(AsciiUpper('z'), 'Z');
    EXPECT_EQ(AsciiUpper('{'), '{');
    EXPECT_EQ(AsciiLower('\xC1'), '\xC1'); // a high byte is never a letter, whatever the locale
    EXPECT_TRUE(EqualIgnoringAsciiCase("ErrorCode", "ERRORCODE"));
    EXPECT_FALSE(EqualIgnoringAsciiCase("ErrorCode", "ErrorCod"));
    EXPECT_FALSE(EqualIgnoringAsciiCase("[", "{")); // one bit apart, like 'A' and 'a'
    EXPECT_TRUE(EndsWithIgnoringAsciiCase("M1.KST", ".kst"));
    EXPECT_FALSE(EndsWithIgnoringAsciiCase("kst", ".kst"));
    EXPECT_FALSE(EndsWithIgnoringAsciiCase("M1.kss", ".kst"));
}

TEST(AsciiCase, GbkTrailBytesThatLookLikeLettersStayAsTheyAre) {
    // 0xB0 0x41 and 0xB0 0x61 are two different characters.
    EXPECT_EQ(GbkLowerLatin("A\xB0\x41Z"), "a\xB0\x41z");
    EXPECT_EQ(GbkUpperLatin("a\xB0\x61z"), "A\xB0\x61Z");
    EXPECT_FALSE(EqualIgnoringGbkLatinCase("\xB0\x41", "\xB0\x61"));
    EXPECT_TRUE(EqualIgnoringGbkLatinCase("\xB0\x41x", "\xB0\x41X"));
    EXPECT_FALSE(EqualIgnoringGbkLatinCase("ab", "abc"));
}

TEST(AsciiCase, SingleHighBytesDoNotSwallowTheLetterAfterThem) {
    // 0x80 and 0xFF are not lead bytes, so the letter after them is a letter of its own; a lead
    // byte at the very end swallows nothing.
    EXPECT_EQ(GbkLowerLatin("\x80"
                            "A\xFF"
                            "B"),
              "\x80"
              "a\xFF"
              "b");
    EXPECT_EQ(GbkLowerLatin("\xFE\x41"), "\xFE\x41");
    EXPECT_EQ(GbkUpperLatin("a\xC9"), "A\xC9");
}
