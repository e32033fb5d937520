#include "core/Gbk.h"
#include "core/FixedText.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {
const std::string kUtf8Audit = "\xE5\xAE\xA1\xE8\xAE\xA1"; // 审计
const std::string kGbkAudit = "\xC9\xF3\xBC\xC6";
} // namespace

TEST(Gbk, ConvertsBothWaysAndKeepsAscii) {
    EXPECT_EQ(Utf8ToGbk(kUtf8Audit + "-SQL").value(), kGbkAudit + "-SQL");
    EXPECT_EQ(GbkToUtf8(kGbkAudit + "-SQL"), kUtf8Audit + "-SQL");
    EXPECT_EQ(Utf8ToGbk("").value(), "");
}

TEST(Gbk, CharacterWithoutGbkFormIsAnErrorNotAQuestionMark) {
    EXPECT_FALSE(Utf8ToGbk("a\xF0\x9F\x98\x80").has_value()); // emoji
    EXPECT_FALSE(Utf8ToGbk("\xE5\xAE").has_value());          // cut UTF-8
    EXPECT_FALSE(Utf8ToGbk("\xFF").has_value());
}

TEST(Gbk, InvalidGbkBytesReadAsReplacementCharacter) {
    EXPECT_EQ(GbkToUtf8("a\xFF"
                        "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(GbkToUtf8(kGbkAudit + "\xC9"), kUtf8Audit + "\xEF\xBF\xBD"); // lead byte at the end
    EXPECT_TRUE(IsValidGbk(kGbkAudit));
    EXPECT_FALSE(IsValidGbk("\xC9"));
    EXPECT_FALSE(IsValidGbk("x\xFF"));
}

TEST(Gbk, PrefixNeverEndsInsideADoubleByteCharacter) {
    const std::string text = "a" + kGbkAudit; // 1 + 2 + 2 bytes
    EXPECT_EQ(GbkPrefix(text, 5), text);
    EXPECT_EQ(GbkPrefix(text, 4), "a\xC9\xF3");
    EXPECT_EQ(GbkPrefix(text, 2), "a");
    EXPECT_EQ(GbkPrefix(text, 0), "");
    // A trail byte that looks like a lead byte must not shift the boundary.
    const std::string trailLikeLead = "\xB0\xA1\xB0\xA1"; // 啊啊
    EXPECT_EQ(GbkPrefix(trailLikeLead, 3), "\xB0\xA1");
}

TEST(FixedText, FieldWithoutZeroIsTakenToItsWidthOnly) {
    struct {
        char field[4];
        char after[4];
    } record;
    std::memcpy(record.field, "ABCD", 4);
    std::memcpy(record.after, "EFG", 4);
    EXPECT_EQ(FieldText(record.field), "ABCD");
    EXPECT_TRUE(SetFieldText(record.field, "xyz"));
    EXPECT_EQ(std::string(record.field, 4), std::string("xyz\0", 4));
    EXPECT_FALSE(SetFieldText(record.field, "wxyz"));
    EXPECT_EQ(FieldText(record.field), "xyz");
}

TEST(Gbk, LeadBytesAreExactly0x81To0xFE) {
    EXPECT_FALSE(IsGbkLeadByte(0x7F));
    EXPECT_FALSE(IsGbkLeadByte(0x80)); // the euro sign, one byte
    EXPECT_TRUE(IsGbkLeadByte(0x81));
    EXPECT_TRUE(IsGbkLeadByte(0xFE));
    EXPECT_FALSE(IsGbkLeadByte(0xFF));
    EXPECT_EQ(GbkToUtf8("\x80"), "\xE2\x82\xAC");
    // A lone lead byte at the end stands alone; so do 0x80 and 0xFF wherever they are.
    EXPECT_EQ(GbkCharWidth("a\xC9", 1), 1u);
    EXPECT_EQ(GbkCharWidth("\xC9\xF3", 0), 2u);
    EXPECT_EQ(GbkCharWidth("\x80\x41", 0), 1u);
    EXPECT_EQ(GbkCharWidth("\xFF\x41", 0), 1u);
}

TEST(Gbk, PrefixCutsBeforeSingleHighBytesOnlyWhereTheLimitIs) {
    EXPECT_EQ(GbkPrefix("\xFF\xFF"
                        "a",
                        1),
              "\xFF");
    EXPECT_EQ(GbkPrefix("\x80\xC9\xF3", 2), "\x80");
    EXPECT_EQ(GbkPrefix("\x80\xC9\xF3", 3), "\x80\xC9\xF3");
    EXPECT_EQ(GbkPrefix("ab\xC9", 2), "ab");
    EXPECT_EQ(GbkPrefix("ab\xC9", 3), "ab\xC9");
}

TEST(Gbk, LossyConversionKeepsEveryCharacterThatHasAGbkForm) {
    EXPECT_EQ(Utf8ToGbkLossy(kUtf8Audit), kGbkAudit);
    EXPECT_EQ(Utf8ToGbkLossy("a\xF0\x9F\x98\x80" + kUtf8Audit), "a?" + kGbkAudit); // one "?" per character
    EXPECT_EQ(Utf8ToGbkLossy("x\xE5\xAE"), "x?");                                  // cut UTF-8
    EXPECT_EQ(Utf8ToGbkLossy(""), "");
}

TEST(Gbk, Utf16RoundTripIncludesCharactersBeyondTheBasicPlane) {
    const std::string text = "A" + kUtf8Audit + "\xF0\x9F\x98\x80"; // A审计😀
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, (std::u16string{u'A', 0x5BA1, 0x8BA1, 0xD83D, 0xDE00}));
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf8ToUtf16(""), u"");
}

TEST(Gbk, MalformedUnicodeBecomesReplacementCharacters) {
    EXPECT_EQ(Utf8ToUtf16("a\xE5\xAE"), (std::u16string{u'a', 0xFFFD, 0xFFFD}));      // cut sequence
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));             // overlong lead
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD})); // encoded surrogate
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D}), "\xEF\xBF\xBD");                   // lone high surrogate
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00, u'b'}), "\xEF\xBF\xBD"
                                                         "b");
}

TEST(FixedText, ViewsStopAtTheZeroOrTheWidth) {
    const char block[] = {'a', 'b', '\0', 'c'};
    EXPECT_EQ(FixedTextView(block, 4), "ab");
    EXPECT_EQ(FixedTextView(block, 2), "ab");
    EXPECT_EQ(FixedTextView(block, 1), "a");
    EXPECT_EQ(FixedTextView(block, 0), "");
    EXPECT_EQ(FixedTextView(nullptr, 8), "");

    char field[6];
    std::memcpy(field, "xy\0zzz", 6);
    ClearFieldTail(field);
    EXPECT_EQ(std::string(field, 6), std::string("xy\0\0\0\0", 6));
    std::memcpy(field, "uvwxyz", 6); // no zero: left as it is
    ClearFieldTail(field);
    EXPECT_EQ(std::string(field, 6), "uvwxyz");
}

TEST(Gbk, LossyConversionLosesOnlyTheMalformedByte) {
    EXPECT_EQ(Utf8ToGbkLossy("bad\xFF.MGP"), "bad?.MGP");
    EXPECT_EQ(Utf8ToGbkLossy("a\xE8x.kst"), "a?x.kst");
}

TEST(Gbk, ForeignTextComesOutAsWellFormedUtf8AndLosesNothing) {
    EXPECT_EQ(ForeignTextToUtf8("深圳 ok"), "深圳 ok");          // UTF-8 stays
    EXPECT_EQ(ForeignTextToUtf8("\xC9\xEE\xDB\xDA:1"), "深圳:1"); // GBK of a legacy database
    EXPECT_EQ(ForeignTextToUtf8("A\xFF" "B"), "A\\xFFB");         // neither: shown, not dropped
    EXPECT_EQ(ForeignTextToUtf8("深\xFF"), "深\\xFF");
    EXPECT_TRUE(IsValidUtf8(ForeignTextToUtf8("\xED\xA0\x80\xC3")));  // a surrogate, a cut character
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));
    EXPECT_TRUE(IsValidUtf8(""));
}
