#include "repository/ModuleScan.h"
#include "core/FixedText.h"
#include "repository/FolderWatch.h"
#include "support/Builders.h"
#include "support/Files.h"
#include "support/Results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sys/stat.h>
#include <unordered_set>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

void WriteModule(const std::filesystem::path& file, const std::string& group, const std::string& title = "t") {
    ModuleDraft fields;
    fields.groupId = group;
    fields.title = title;
    WriteBytes(file, ModuleBytes(fields));
}

// What listing the group gives when every file is read whole, as the editor's own load does.
std::vector<std::pair<std::string, std::string>> FullReRead(const std::filesystem::path& folder,
                                                            const std::string& group) {
    std::vector<std::string> names;
    EXPECT_TRUE(ListModuleFileNames(folder, names));
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& name : names) {
        ModuleRecord record;
        if (LoadModuleFile(record, folder, name) && FieldText(record.header.groupId) == group)
            result.emplace_back(name, FieldText(record.header.title));
    }
    return result;
}

std::vector<std::pair<std::string, std::string>> Listed(ModuleIndex& index, const std::filesystem::path& folder,
                                                        const std::string& group) {
    std::vector<ModuleListEntry> entries;
    EXPECT_TRUE(index.ListGroup(folder, group, entries));
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& e : entries)
        result.emplace_back(e.fileName, FieldText(e.header.title));
    return result;
}

} // namespace

TEST(ModuleScan, ListsKstFilesOfAnyCaseAndConvertsNamesToGbk) {
    TempDir dir;
    WriteModule(dir / "a.kst", "G1");
    WriteModule(dir / "B.KST", "G1");
    WriteModule(dir / "\xE5\xAE\xA1\xE8\xAE\xA1.Kst", "G1"); // 审计.Kst
    WriteModule(dir / "c.kst.bak", "G1");
    WriteModule(dir / "smile\xF0\x9F\x98\x80.kst", "G1"); // no GBK form: skipped
    std::filesystem::create_directory(dir / "folder.kst");
    std::vector<std::string> names;
    ASSERT_TRUE(ListModuleFileNames(dir.Path(), names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"B.KST", "a.kst", "\xC9\xF3\xBC\xC6.Kst"}));
    EXPECT_EQ(KindOf(ListModuleFileNames(dir / "none", names)), FileErrorKind::Io);
}

TEST(ModuleScan, GroupListingMatchesIdentifierExactlyAndSkipsNonModules) {
    TempDir dir;
    WriteModule(dir / "a.kst", "G1", "A");
    WriteModule(dir / "b.kst", "g1", "B");
    WriteModule(dir / "c.kst", "G10", "C");
    WriteModule(dir / "d.KST", "G1", "D");
    WriteBytes(dir / "short.kst", "MODULE_ITEM");
    std::string damaged = ModuleBytes(ModuleDraft{});
    PutI32(damaged, kVariableCountAt, 3); // points past the end
    WriteBytes(dir / "damaged.kst", damaged);
    ::mkfifo((dir / "pipe.kst").c_str(), 0644); // must not block the scan

    ModuleIndex index;
    auto listed = Listed(index, dir.Path(), "G1");
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::string>>{{"a.kst", "A"}, {"d.KST", "D"}}));

    std::vector<ModuleListEntry> all;
    std::vector<std::string> invalid;
    ASSERT_TRUE(index.ListAll(dir.Path(), all, &invalid));
    EXPECT_EQ(all.size(), 4u);
    std::sort(invalid.begin(), invalid.end());
    EXPECT_EQ(invalid, (std::vector<std::string>{"damaged.kst", "pipe.kst", "short.kst"}));
    EXPECT_EQ(Listed(index, dir.Path(), "G1"), FullReRead(dir.Path(), "G1")); // the pipe included
}

// Every kind of change between two fills: the cached fill gives what a full re-read gives.
TEST(ModuleScan, RefillAfterChangesEqualsAFullReRead) {
    TempDir dir;
    for (int i = 0; i < 30; ++i)
        WriteModule(dir / ("m" + std::to_string(i) + ".kst"), i % 3 ? "G1" : "G2", "v1");
    ModuleIndex index;
    EXPECT_EQ(Listed(index, dir.Path(), "G1"), FullReRead(dir.Path(), "G1"));

    WriteModule(dir / "m1.kst", "G2", "v1");           // same size, other group
    WriteModule(dir / "m2.kst", "G1", "v2 longer");    // same group, new title
    std::filesystem::remove(dir / "m4.kst");           // gone
    WriteModule(dir / "new.kst", "G1", "added");       // added
    WriteModule(dir / "swap.tmp", "G1", "renamed in"); // replaced by a rename
    std::filesystem::rename(dir / "swap.tmp", dir / "m5.kst");
    WriteBytes(dir / "m7.kst", "broken"); // no longer a module
    EXPECT_EQ(Listed(index, dir.Path(), "G1"), FullReRead(dir.Path(), "G1"));
    EXPECT_EQ(Listed(index, dir.Path(), "G2"), FullReRead(dir.Path(), "G2"));

    ModuleIndex fresh;
    EXPECT_EQ(Listed(fresh, dir.Path(), "G1"), Listed(index, dir.Path(), "G1"));
}

TEST(ModuleScan, SameSizeAndSameSecondRewriteIsSeen) {
    TempDir dir;
    WriteModule(dir / "a.kst", "G1", "one");
    ModuleIndex index;
    ASSERT_EQ(Listed(index, dir.Path(), "G1").size(), 1u);
    // Rewritten in place with the same size: the inode stays, nanoseconds and ctime move.
    ModuleDraft fields;
    fields.groupId = "G2";
    fields.title = "one";
    const std::string bytes = ModuleBytes(fields);
    std::FILE* f = std::fopen((dir / "a.kst").c_str(), "r+b");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    EXPECT_EQ(Listed(index, dir.Path(), "G1").size(), 0u);
    EXPECT_EQ(Listed(index, dir.Path(), "G2").size(), 1u);
}

TEST(ModuleScan, UnreadableFileStopsTheScanWithIo) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    WriteModule(dir / "a.kst", "G1");
    ::chmod((dir / "a.kst").c_str(), 0000);
    const int rc = RunInChild(
        [&] {
            ModuleIndex index;
            std::vector<ModuleListEntry> entries;
            const FileStatus status = index.ListGroup(dir.Path(), "G1", entries);
            return KindOf(status) == FileErrorKind::Io && status.error().osError == EACCES ? 0 : 1;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
    ModuleIndex index;
    std::vector<ModuleListEntry> entries;
    EXPECT_EQ(KindOf(index.ListGroup(dir / "none", "G1", entries)), FileErrorKind::Io);
}

TEST(ModuleScan, CachesOfTwoFoldersStayApart) {
    TempDir one, two;
    WriteModule(one / "a.kst", "G1", "one");
    WriteModule(two / "a.kst", "G1", "two");
    ModuleIndex index;
    EXPECT_EQ(Listed(index, one.Path(), "G1")[0].second, "one");
    EXPECT_EQ(Listed(index, two.Path(), "G1")[0].second, "two");
    EXPECT_EQ(Listed(index, one.Path(), "G1")[0].second, "one");
}

namespace {

// Every field of every entry, in listing order.
std::vector<std::string> Everything(const std::vector<ModuleListEntry>& entries) {
    std::vector<std::string> result;
    for (const auto& e : entries)
        result.push_back(e.fileName + '\0' + std::string(reinterpret_cast<const char*>(&e.header), sizeof e.header));
    return result;
}

// A folder big enough to be read on several threads, with every kind of file a scan meets.
// Returns how many of its .kst names are no module files.
std::size_t FillMixedFolder(const TempDir& dir, int files) {
    std::size_t invalid = 1; // the pipe
    for (int i = 0; i < files; ++i) {
        const std::string name = "m" + std::to_string(i) + (i % 2 ? ".kst" : ".KST");
        switch (i % 11) {
        case 3:
            WriteBytes(dir / name, "MODULE_ITEM"); // too short
            ++invalid;
            break;
        case 5:
            std::filesystem::create_directory(dir / name);
            break;
        case 7:
            WriteBytes(dir / name, "");
            ++invalid;
            break;
        default:
            WriteModule(dir / name, i % 3 ? "G1" : "G2", "title " + std::to_string(i));
        }
    }
    ::mkfifo((dir / "pipe.kst").c_str(), 0644);
    WriteModule(dir / "other.txt", "G1");
    return invalid;
}

} // namespace

TEST(ModuleScan, ReadingOnSeveralThreadsListsWhatOneThreadLists) {
    TempDir dir;
    const std::size_t invalid = FillMixedFolder(dir, 600);
    ModuleIndex parallel(8), sequential(1);
    std::vector<ModuleListEntry> a, b;
    std::vector<std::string> invalidA, invalidB;
    ASSERT_TRUE(parallel.ListAll(dir.Path(), a, &invalidA));
    ASSERT_TRUE(sequential.ListAll(dir.Path(), b, &invalidB));
    EXPECT_EQ(Everything(a), Everything(b));
    EXPECT_EQ(invalidA, invalidB);
    EXPECT_EQ(invalidA.size(), invalid);
    // In directory order, as the names are listed.
    std::vector<std::string> names;
    ASSERT_TRUE(ListModuleFileNames(dir.Path(), names));
    std::vector<std::string> listedNames;
    for (const auto& e : a)
        listedNames.push_back(e.fileName);
    std::vector<std::string> moduleNames;
    for (const auto& name : names)
        if (std::find(invalidA.begin(), invalidA.end(), name) == invalidA.end())
            moduleNames.push_back(name);
    EXPECT_EQ(listedNames, moduleNames);
    EXPECT_EQ(Listed(parallel, dir.Path(), "G2"), FullReRead(dir.Path(), "G2"));

    // A re-fill after changes reads again only what changed, on several threads as well.
    for (int i = 0; i < 600; i += 4)
        if (i % 11 != 5)
            WriteModule(dir / ("m" + std::to_string(i) + (i % 2 ? ".kst" : ".KST")), "G2", "changed");
    std::filesystem::remove(dir / "m10.KST");
    ASSERT_TRUE(parallel.ListAll(dir.Path(), a));
    ModuleIndex fresh(1);
    ASSERT_TRUE(fresh.ListAll(dir.Path(), b));
    EXPECT_EQ(Everything(a), Everything(b));
}

TEST(ModuleScan, ReadingOnSeveralThreadsStopsAtTheSameUnreadableFile) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    FillMixedFolder(dir, 400);
    // Two unreadable files: the scan stops at whichever the directory lists first, with the
    // files listed before it.
    ModuleIndex before(1);
    std::vector<ModuleListEntry> all;
    ASSERT_TRUE(before.ListAll(dir.Path(), all));
    ::chmod((dir / "m120.KST").c_str(), 0000);
    ::chmod((dir / "m301.kst").c_str(), 0000);
    std::size_t stop = 0;
    while (stop < all.size() && all[stop].fileName != "m120.KST" && all[stop].fileName != "m301.kst")
        ++stop;
    ASSERT_LT(stop, all.size());
    const std::vector<std::string> expected =
        Everything({all.begin(), all.begin() + static_cast<std::ptrdiff_t>(stop)});
    const int rc = RunInChild(
        [&] {
            ModuleIndex parallel(8), sequential(1);
            std::vector<ModuleListEntry> a, b;
            const auto denied = [](const FileStatus& status) {
                return KindOf(status) == FileErrorKind::Io && status.error().osError == EACCES;
            };
            if (!denied(parallel.ListAll(dir.Path(), a)) || !denied(sequential.ListAll(dir.Path(), b)))
                return 1;
            if (Everything(a) != expected || Everything(b) != expected)
                return 2;
            // Again from the partly filled cache: the same.
            if (!denied(parallel.ListAll(dir.Path(), a)) || Everything(a) != expected)
                return 3;
            return 0;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
}

// One unreadable module (another user's mode-000 file, a looping link) fails on its own,
// named, while the others are listed; a caller that wants it stops at it, also named.
TEST(ModuleScan, UnreadableFilesAreRecordedByNameAndTheScanGoesOn) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    WriteModule(dir / "a.kst", "G1", "A");
    WriteModule(dir / "secret.kst", "G1", "S");
    WriteModule(dir / "z.kst", "G1", "Z");
    ::chmod((dir / "secret.kst").c_str(), 0000);
    std::filesystem::create_symlink("x.kst", dir / "x.kst");
    const int rc = RunInChild(
        [&] {
            for (int readers : {1, 8}) {
                ModuleIndex index(readers);
                std::vector<ModuleListEntry> entries;
                std::vector<ScanFailure> failures;
                if (!index.ListGroup(dir.Path(), "G1", entries, &failures))
                    return 1;
                std::vector<std::string> texts;
                for (const ScanFailure& failure : failures)
                    texts.push_back(failure.status.error().Text());
                std::sort(texts.begin(), texts.end());
                if (entries.size() != 2 || texts.size() != 2)
                    return 2;
                if (texts[0] != std::string("secret.kst: ") + std::strerror(EACCES) ||
                    texts[1] != std::string("x.kst: ") + std::strerror(ELOOP))
                    return 3;
                const FileStatus stopped = index.ListGroup(dir.Path(), "G1", entries);
                if (stopped || stopped.error().file.empty())
                    return 4;
            }
            return 0;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
}

// A folder copied from a system that names files in GBK: those modules are listed and read
// under their GBK names; a name that is neither UTF-8 nor GBK is said, not skipped.
TEST(ModuleScan, NamesInGbkBytesAreListedAndNamesOfNoKindAreReported) {
    TempDir dir;
    const std::string gbkName = "\xD5\xCB\xB2\xE1.kst"; // 账册.kst in GBK bytes
    WriteModule(dir / gbkName, "G1", "gbk");
    WriteModule(dir / "\xE8\xB4\xA6.kst", "G1", "utf8"); // 账.kst in UTF-8
    WriteModule(dir / "bad\xFF.kst", "G1", "bad");

    std::vector<std::string> names;
    std::vector<ScanFailure> unnamed;
    ASSERT_TRUE(ListModuleFileNames(dir.Path(), names, &unnamed));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"\xD5\xCB.kst", gbkName}));
    ASSERT_EQ(unnamed.size(), 1u);
    EXPECT_EQ(unnamed[0].fileName, "bad?.kst");

    ModuleIndex index;
    std::vector<ModuleListEntry> entries;
    std::vector<ScanFailure> failures;
    ASSERT_TRUE(index.ListGroup(dir.Path(), "G1", entries, &failures));
    EXPECT_EQ(entries.size(), 2u);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].status.error().Text().rfind("bad?.kst: ", 0), 0u);

    ModuleRecord record;
    ASSERT_TRUE(LoadModuleFile(record, dir.Path(), gbkName));
    EXPECT_EQ(FieldText(record.header.title), "gbk");
    ASSERT_TRUE(SaveModuleFile(record, "SA", dir.Path()));
    EXPECT_FALSE(std::filesystem::exists(dir / "\xE8\xB4\xA6\xE5\x86\x8C.kst")); // saved in place, not beside
}

TEST(FolderWatch, ReportsTheNamesChangedSinceTheLastLook) {
    TempDir dir;
    WriteModule(dir / "a.kst", "G1");
    if (!FolderWatch::FileSystemNotifies(dir.Path()))
        GTEST_SKIP() << "the temporary folder's file system reports no changes";
    FolderWatch watch;
    EXPECT_TRUE(watch.Take(dir.Path()).all); // nothing known before the watch began
    FolderWatch::Changes quiet = watch.Take(dir.Path());
    EXPECT_FALSE(quiet.all);
    EXPECT_TRUE(quiet.names.empty());
    WriteModule(dir / "a.kst", "G2");
    WriteModule(dir / "b.kst", "G2");
    std::filesystem::rename(dir / "b.kst", dir / "c.kst");
    const FolderWatch::Changes changed = watch.Take(dir.Path());
    EXPECT_FALSE(changed.all);
    EXPECT_EQ(changed.names, (std::unordered_set<std::string>{"a.kst", "b.kst", "c.kst"}));
    // Another folder put in place of the watched one: everything is looked at again.
    std::filesystem::rename(dir.Path(), dir.Path().string() + ".old");
    std::filesystem::create_directory(dir.Path());
    EXPECT_TRUE(watch.Take(dir.Path()).all);
    std::filesystem::remove_all(dir.Path().string() + ".old");
}

// Random changes between re-fills, with a fixed seed: each cached fill equals a full re-read,
// the folder swapped for another one and files written through a second link included.
TEST(ModuleScan, CachedRefillsStayExactThroughRandomChanges) {
    TempDir dir, other;
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i)
        WriteModule(dir / ("m" + std::to_string(i) + ".kst"), i % 2 ? "G1" : "G2", "v0");
    for (int i = 0; i < 4; ++i)
        std::filesystem::create_hard_link(dir / ("m" + std::to_string(i) + ".kst"),
                                          other / ("link" + std::to_string(i) + ".kst"));
    ModuleIndex index;
    std::mt19937 random(18);
    for (int round = 1; round <= 25; ++round) {
        for (int change = 0; change < 3; ++change) {
            const std::filesystem::path file = dir / ("m" + std::to_string(random() % kFiles) + ".kst");
            const std::string title = "v" + std::to_string(round);
            switch (random() % 4) {
            case 0:
                WriteModule(file, random() % 2 ? "G1" : "G2", title);
                break;
            case 1:
                std::filesystem::remove(file);
                break;
            case 2:
                WriteModule(dir / "swap.tmp", "G1", title);
                std::filesystem::rename(dir / "swap.tmp", file);
                break;
            default: {
                // Through a second link in another folder: that write raises nothing here.
                ModuleDraft fields;
                fields.groupId = "G1";
                fields.title = "L" + std::to_string(round);
                const std::string bytes = ModuleBytes(fields);
                std::FILE* f = std::fopen((other / ("link" + std::to_string(random() % 4) + ".kst")).c_str(), "r+b");
                std::fwrite(bytes.data(), 1, bytes.size(), f);
                std::fclose(f);
            }
            }
        }
        ASSERT_EQ(Listed(index, dir.Path(), "G1"), FullReRead(dir.Path(), "G1")) << "round " << round;
        ASSERT_EQ(Listed(index, dir.Path(), "G2"), FullReRead(dir.Path(), "G2")) << "round " << round;
    }
    std::filesystem::rename(dir.Path(), dir.Path().string() + ".old");
    std::filesystem::create_directory(dir.Path());
    WriteModule(dir / "m0.kst", "G1", "new folder");
    EXPECT_EQ(Listed(index, dir.Path(), "G1"), FullReRead(dir.Path(), "G1"));
    std::filesystem::remove_all(dir.Path().string() + ".old");
}

TEST(ModuleScan, OnePassBucketsTheFilesByTheGroupsAskedFor) {
    TempDir dir;
    WriteModule(dir / "a.kst", "G1", "A");
    WriteModule(dir / "b.kst", "G2", "B");
    WriteModule(dir / "c.kst", "G1", "C");
    WriteModule(dir / "d.kst", "G3", "D");
    WriteModule(dir / "e.kst", "g1", "E");
    WriteBytes(dir / "junk.kst", "MODULE_ITEM");
    ::mkfifo((dir / "pipe.kst").c_str(), 0644);
    GroupBuckets buckets;
    ASSERT_TRUE(BucketModulesByGroup(dir.Path(), {"G2", "G1", "G4"}, buckets));
    const auto names = [](const std::vector<ScannedModule>& files) {
        std::vector<std::string> result;
        for (const ScannedModule& file : files)
            result.push_back(file.diskName + (file.isModule ? ":" + FieldText(file.header.title) : ""));
        std::sort(result.begin(), result.end());
        return result;
    };
    ASSERT_EQ(buckets.groups.size(), 3u);
    EXPECT_EQ(names(buckets.groups[0]), (std::vector<std::string>{"b.kst:B"}));
    EXPECT_EQ(names(buckets.groups[1]), (std::vector<std::string>{"a.kst:A", "c.kst:C"}));
    EXPECT_TRUE(buckets.groups[2].empty());
    EXPECT_EQ(names(buckets.others), (std::vector<std::string>{"d.kst:D", "e.kst:E", "junk.kst", "pipe.kst"}));
    EXPECT_TRUE(buckets.unreadable.empty());
    EXPECT_EQ(KindOf(BucketModulesByGroup(dir / "none", {"G1"}, buckets)), FileErrorKind::Io);
}
