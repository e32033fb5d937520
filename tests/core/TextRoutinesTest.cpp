#include "core/TextRoutines.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace kestrel;

TEST(FormatModuleLine, PadsNameMarksRequiredAndState) {
    EXPECT_EQ(FormatModuleLine("a.kst", 1 | 2 | 4, "T"), "a.kst" + std::string(9, ' ') + "\xA1\xCC [OK] T");
    EXPECT_EQ(FormatModuleLine("abcdefghij.kst", 0, "T"), "abcdefghij.kst \xA1\xF5 [  ] T"); // 14 bytes, no cut
    EXPECT_EQ(FormatModuleLine("m.kst", 2, ""), "m.kst         \xA1\xF5 [\xB2\xE2] ");
    EXPECT_EQ(FormatModuleLine("m.kst", 4, "x"), "m.kst         \xA1\xF5 [  ] x"); // passed without tested
}

TEST(FormatGroupLine, BracketsIdentifierThenOneBlank) {
    EXPECT_EQ(FormatGroupLine("G1", "\xC9\xF3\xBC\xC6"), "[G1] \xC9\xF3\xBC\xC6");
}

TEST(ReplaceAll, ReplacedTextIsNotScannedAgain) {
    EXPECT_EQ(ReplaceAll("a&b&&c", "&", "&&"), "a&&b&&&&c");
    EXPECT_EQ(ReplaceAll("a&&&b", "&&", "&"), "a&&b");
    EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(ReplaceAll("", "x", "y"), "");
}

TEST(FileNameOfLine, TakesTheHeadUpToTheFirstBlank) {
    EXPECT_EQ(FileNameOfLine(FormatModuleLine("a.kst", 0, "t t")), "a.kst");
    EXPECT_EQ(FileNameOfLine("noblank"), "noblank");
}

TEST(ProgramFilePath, IsBesideTheExecutableUnlessOverridden) {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    EXPECT_EQ(ProgramFilePath("kestrel.usr"), std::filesystem::path(std::string(exe, n)).parent_path() / "kestrel.usr");
    testsupport::TempDir dir;
    SetProgramFolderForTesting(dir.Path());
    EXPECT_EQ(ProgramFilePath("kestrel.usr"), dir / "kestrel.usr");
    SetProgramFolderForTesting({});
}
