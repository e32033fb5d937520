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
