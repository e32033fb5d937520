#include "accounts/Settings.h"
#include "support/Files.h"
#include "support/Results.h"

#include <gtest/gtest.h>

using namespace kestrel;
using kestrel::testsupport::KindOf;
using kestrel::testsupport::TempDir;

TEST(Settings, LivesInTheConfigFolder) {
    TempDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    EXPECT_EQ(SettingsFilePath(), dir / "KESTREL.INI");
    ::setenv("XDG_CONFIG_HOME", "", 1);
    ::setenv("HOME", dir.Path().c_str(), 1);
    EXPECT_EQ(SettingsFilePath(), dir.Path() / ".config" / "KESTREL.INI");
}

TEST(Settings, MissingFileSectionOrKeyGiveTheDefault) {
    TempDir dir;
    const auto ini = dir / "KESTREL.INI";
    EXPECT_EQ(ReadLastFile(ini), "*.MGP");
    testsupport::WriteBytes(ini, "[OTHER]\nLASTFILE=/x.MGP\n");
    EXPECT_EQ(ReadLastFile(ini), "*.MGP");
    testsupport::WriteBytes(ini, "[CONFIG]\nOTHER=1\n");
    EXPECT_EQ(ReadLastFile(ini), "*.MGP");
}

TEST(Settings, WritingCreatesFolderFileSectionAndKey) {
    TempDir dir;
    const auto ini = dir.Path() / "fresh" / "KESTREL.INI";
    ASSERT_TRUE(WriteLastFile("/audit/\xC9\xF3\xBC\xC6.MGP", ini));
    EXPECT_EQ(testsupport::ReadBytes(ini), "[CONFIG]\nLASTFILE=/audit/\xC9\xF3\xBC\xC6.MGP\n");
    EXPECT_EQ(ReadLastFile(ini), "/audit/\xC9\xF3\xBC\xC6.MGP");
}

TEST(Settings, RewritingKeepsEveryOtherLine) {
    TempDir dir;
    const auto ini = dir / "KESTREL.INI";
    testsupport::WriteBytes(ini,
                            "; kept comment\r\n[view]\r\nzoom=2\r\n[config]\r\nWidth=3\r\n lastfile = /old.MGP \r\n"
                            "Tail=4\r\n\r\n[After]\r\nk=v\r\n");
    EXPECT_EQ(ReadLastFile(ini), "/old.MGP"); // names ignore case, blanks around are trimmed
    ASSERT_TRUE(WriteLastFile("/new.MGP", ini));
    EXPECT_EQ(testsupport::ReadBytes(ini),
              "; kept comment\r\n[view]\r\nzoom=2\r\n[config]\r\nWidth=3\r\nLASTFILE=/new.MGP\r\n"
              "Tail=4\r\n\r\n[After]\r\nk=v\r\n");

    testsupport::WriteBytes(ini, "[CONFIG]\nWidth=3\n\n[After]\nk=v");
    ASSERT_TRUE(WriteLastFile("/n.MGP", ini));
    EXPECT_EQ(testsupport::ReadBytes(ini), "[CONFIG]\nWidth=3\nLASTFILE=/n.MGP\n\n[After]\nk=v");

    testsupport::WriteBytes(ini, "[After]\nk=v");
    ASSERT_TRUE(WriteLastFile("/n.MGP", ini));
    EXPECT_EQ(testsupport::ReadBytes(ini), "[After]\nk=v\n[CONFIG]\nLASTFILE=/n.MGP\n");
}

TEST(Settings, LongValueIsCutTo99BytesOnACharacterBoundary) {
    TempDir dir;
    const auto ini = dir / "KESTREL.INI";
    const std::string ascii(120, 'p');
    testsupport::WriteBytes(ini, "[CONFIG]\nLASTFILE=" + ascii + "\n");
    EXPECT_EQ(ReadLastFile(ini), ascii.substr(0, 99));

    std::string chinese = "//";
    for (int i = 0; i < 60; ++i)
        chinese += "\xC9\xF3"; // 2 + 120 bytes: byte 99 would split a character
    testsupport::WriteBytes(ini, "[CONFIG]\nLASTFILE=" + chinese + "\n");
    EXPECT_EQ(ReadLastFile(ini), chinese.substr(0, 98));
}

TEST(Settings, LineBreakInValueIsRefused) {
    TempDir dir;
    const auto ini = dir / "KESTREL.INI";
    ASSERT_TRUE(WriteLastFile("/a.MGP", ini));
    EXPECT_EQ(KindOf(WriteLastFile("/b.MGP\n[CONFIG]\nLASTFILE=/evil", ini)), FileErrorKind::Invalid);
    EXPECT_EQ(ReadLastFile(ini), "/a.MGP");
}
