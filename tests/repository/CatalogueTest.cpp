#include "repository/Catalogue.h"
#include "core/FixedText.h"
#include "support/Builders.h"
#include "support/Files.h"
#include "support/Results.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {
const std::string kFortyByteName = [] {
    std::string t;
    for (int i = 0; i < 20; ++i)
        t += "\xB2\xC6"; // 财 x 20
    return t;
}();
} // namespace

TEST(Catalogue, EmptyCatalogueIs25Bytes) {
    TempDir dir;
    GroupCatalogue catalogue;
    catalogue.Reset(dir / "new.MGP");
    ASSERT_TRUE(SaveCatalogue(catalogue));
    const std::string bytes = ReadBytes(dir / "new.MGP");
    EXPECT_EQ(bytes, CatalogueBytes({}, ""));
    EXPECT_EQ(bytes.size(), 25u);
    GroupCatalogue back;
    ASSERT_TRUE(LoadCatalogue(back, dir / "new.MGP"));
    EXPECT_EQ(back.groupCount, 0);
    EXPECT_EQ(back.flowTable, "");
    EXPECT_EQ(back.path, dir / "new.MGP");
}

TEST(Catalogue, LoadsGroupsAtFieldLimitsAndWritesTheSameBytes) {
    TempDir dir;
    const std::string bytes = CatalogueBytes({{"G1", "first"},
                                              {"\xB2\xC6\xCE\xF1"
                                               "012345",
                                               kFortyByteName},
                                              {"g1", "third"}},
                                             "&G1=a&&b\r\nline&g1=x");
    WriteBytes(dir / "a.MGP", bytes);
    GroupCatalogue catalogue;
    ASSERT_TRUE(LoadCatalogue(catalogue, dir / "a.MGP"));
    ASSERT_EQ(catalogue.groupCount, 3);
    EXPECT_EQ(FieldText(catalogue.groups[1].identifier), "\xB2\xC6\xCE\xF1"
                                                         "012345");
    EXPECT_EQ(FieldText(catalogue.groups[1].name), kFortyByteName);
    EXPECT_EQ(catalogue.FindGroup("g1"), 2);
    EXPECT_EQ(catalogue.FindGroup("G1"), 0);
    EXPECT_EQ(catalogue.FindGroup("G2"), -1);
    EXPECT_EQ(GetFlowText(catalogue.flowTable, "G1"), "a&b\r\nline");
    EXPECT_EQ(SerializeCatalogue(catalogue), bytes);

    catalogue.RemoveGroup(1);
    EXPECT_EQ(catalogue.groupCount, 2);
    EXPECT_EQ(FieldText(catalogue.groups[0].identifier), "G1");
    EXPECT_EQ(FieldText(catalogue.groups[1].identifier), "g1");
    EXPECT_EQ(catalogue.flowTable, "&G1=a&&b\r\nline&g1=x");
    catalogue.RemoveGroup(2); // at the count: nothing
    catalogue.RemoveGroup(-1);
    EXPECT_EQ(catalogue.groupCount, 2);
}

TEST(Catalogue, AppendStopsAt100Groups) {
    GroupCatalogue catalogue;
    catalogue.Reset("x.MGP");
    GroupRecord group{};
    for (int i = 0; i < kMaxGroups; ++i) {
        SetFieldText(group.identifier, "G" + std::to_string(i));
        ASSERT_TRUE(catalogue.AppendGroup(group));
    }
    EXPECT_FALSE(catalogue.AppendGroup(group));
    EXPECT_EQ(catalogue.groupCount, 100);
    GroupCatalogue back;
    ASSERT_TRUE(ParseCatalogueBytes(back, SerializeCatalogue(catalogue)));
    EXPECT_EQ(FieldText(back.groups[99].identifier), "G99");
}

TEST(Catalogue, DamagedFilesAreRefusedAsInvalid) {
    const std::string good = CatalogueBytes({{"G1", "one"}, {"G2", "two"}}, "&G1=x");
    auto with = [&](std::size_t at, int32_t value) {
        std::string b = good;
        PutI32(b, at, value);
        return b;
    };
    const std::size_t flowLengthAt = 20 + 2 * 52;
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"shorter than the head", good.substr(0, 19)},
        {"wrong keyword", CatalogueBytes({}, "", "MODULE_ITEM")},
        {"keyword continues", CatalogueBytes({}, "", "MODULE_GROUPS")},
        {"negative count", with(16, -1)},
        {"count over 100", with(16, 101)},
        {"count past the end", with(16, 3)},
        {"flow length missing", good.substr(0, flowLengthAt + 3)},
        {"negative flow length", with(flowLengthAt, -2)},
        {"flow table past the end", with(flowLengthAt, 7)},
        {"huge flow length", with(flowLengthAt, INT32_MAX)},
    };
    for (const auto& c : cases) {
        GroupCatalogue catalogue;
        catalogue.Reset("open.MGP");
        catalogue.flowTable = "&K=kept";
        EXPECT_EQ(KindOf(ParseCatalogueBytes(catalogue, c.bytes)), FileErrorKind::Invalid) << c.what;
        EXPECT_EQ(catalogue.flowTable, "&K=kept") << c.what; // the open catalogue is left alone
        EXPECT_EQ(catalogue.groupCount, 0) << c.what;
    }
    GroupCatalogue catalogue;
    EXPECT_TRUE(ParseCatalogueBytes(catalogue, good + "trailing"));
    EXPECT_TRUE(ParseCatalogueBytes(catalogue, with(flowLengthAt, 0).substr(0, flowLengthAt + 4)));
    EXPECT_EQ(catalogue.flowTable, "");
}

TEST(Catalogue, UnreadableFileIsIoAndKeepsThePath) {
    TempDir dir;
    GroupCatalogue catalogue;
    const FileStatus status = LoadCatalogue(catalogue, dir / "missing.MGP");
    ASSERT_EQ(KindOf(status), FileErrorKind::Io);
    EXPECT_EQ(status.error().message, std::strerror(ENOENT));
    EXPECT_EQ(catalogue.path, dir / "missing.MGP");
}

TEST(FlowTable, AmpersandsAreDoubledAndComeBack) {
    FlowTable table;
    SetFlowText(table, "G1", "a&b");
    EXPECT_EQ(table, "&G1=a&&b");
    EXPECT_EQ(GetFlowText(table, "G1"), "a&b");
    SetFlowText(table, "G2", "ends&");
    EXPECT_EQ(table, "&G1=a&&b&G2=ends&&");
    EXPECT_EQ(GetFlowText(table, "G2"), "ends&");
    EXPECT_EQ(GetFlowText(table, "G3"), "");
}

TEST(FlowTable, ChangedEntryMovesToTheEnd) {
    FlowTable table = "&G1=x&G2=y";
    SetFlowText(table, "G1", "new\r\ntext");
    EXPECT_EQ(table, "&G2=y&G1=new\r\ntext");
}

TEST(FlowTable, ReadingIgnoresCaseStoringDoesNot) {
    FlowTable table = "&G1=upper";
    EXPECT_EQ(GetFlowText(table, "g1"), "upper");
    SetFlowText(table, "g1", "lower");
    EXPECT_EQ(table, "&G1=upper&g1=lower");
    // Once g1 has an entry of its own it reads that one, wherever it stands; G1 keeps its own.
    EXPECT_EQ(GetFlowText(table, "g1"), "lower");
    EXPECT_EQ(GetFlowText(table, "G1"), "upper");
    FlowTable reversed = "&g1=lower&G1=upper";
    EXPECT_EQ(GetFlowText(reversed, "G1"), "upper");
    EXPECT_EQ(GetFlowText(reversed, "g1"), "lower");
    EXPECT_EQ(GetFlowText("&g1=only", "G1"), "only");
}

// A head written inside a flow text has its ampersand doubled: it is text, not an entry.
TEST(FlowTable, EntryHeadInsideAFlowTextIsNotAnEntry) {
    FlowTable table;
    SetFlowText(table, "A", "see &G1=old");
    SetFlowText(table, "G1", "real");
    EXPECT_EQ(GetFlowText(table, "G1"), "real");
    SetFlowText(table, "G1", "changed");
    EXPECT_EQ(GetFlowText(table, "A"), "see &G1=old");
    EXPECT_EQ(table, "&A=see &&G1=old&G1=changed");
}

TEST(FlowTable, DoubleByteTrailBytesAreNotFoldedAsLetters) {
    // Identifiers that differ only in the trail byte ('a' against 'A') are two groups.
    FlowTable table;
    SetFlowText(table, "\xB0\x61", "lower");
    EXPECT_EQ(GetFlowText(table, "\xB0\x41"), "");
    EXPECT_EQ(GetFlowText(table, "\xB0\x61"), "lower");
}

TEST(FlowTable, LoneAmpersandAtTheEndDoesNotSwallowTheNextEntry) {
    FlowTable table = "&G1=x&";
    SetFlowText(table, "G2", "y");
    EXPECT_EQ(table, "&G1=x&G2=y");
    EXPECT_EQ(GetFlowText(table, "G2"), "y");
    table = "&G1=x&&"; // an escaped ampersand at the end is text and stays
    SetFlowText(table, "G2", "y");
    EXPECT_EQ(GetFlowText(table, "G1"), "x&");
    EXPECT_EQ(GetFlowText(table, "G2"), "y");
}

TEST(Catalogue, SparseCatalogueIsRefusedByItsDeclaredSizeAndNamed) {
    TempDir dir;
    std::string bytes = CatalogueBytes({{"G1", "one"}}, "&G1=x");
    PutI32(bytes, 20 + 52, 0x7fffffff);
    WriteBytes(dir / "big.MGP", bytes);
    ASSERT_EQ(::truncate((dir / "big.MGP").c_str(), off_t(4) << 30), 0);
    GroupCatalogue catalogue;
    const FileStatus status = LoadCatalogue(catalogue, dir / "big.MGP");
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().osError, EFBIG);
    EXPECT_EQ(status.error().Text().rfind("big.MGP: ", 0), 0u) << status.error().Text();

    // Holes after what the head declares are not read.
    WriteBytes(dir / "tail.MGP", CatalogueBytes({{"G1", "one"}}, "&G1=x"));
    ASSERT_EQ(::truncate((dir / "tail.MGP").c_str(), off_t(4) << 30), 0);
    ASSERT_TRUE(LoadCatalogue(catalogue, dir / "tail.MGP"));
    EXPECT_EQ(catalogue.groupCount, 1);
    EXPECT_EQ(catalogue.flowTable, "&G1=x");
}
