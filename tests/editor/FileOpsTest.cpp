// The file steps of the group and module operations, without any window.
#include "support/Builders.h"
#include "support/Files.h"
#include "support/QtMain.h"
#include "support/Results.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "core/FixedText.h"
#include "repository/FileOps.h"

#include <QtTest>

#include <algorithm>
#include <cstring>
#include <fstream>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

std::vector<std::string> Titles(const std::filesystem::path& folder, const std::vector<std::string>& names) {
    std::vector<std::string> titles;
    for (const std::string& name : names) {
        ModuleRecord record;
        titles.push_back(LoadModuleFile(record, folder, name) ? FieldText(record.header.title) : "-");
    }
    return titles;
}

std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Where a group step stopped; none when it was done.
std::optional<GroupStep> StoppedAt(const GroupStepResult& result) {
    if (result)
        return std::nullopt;
    return result.error().step;
}

} // namespace

class FileOpsTest : public QObject {
    Q_OBJECT

private slots:
    void moveChainRotatesNamesBothWays() {
        TestWorkspace workspace;
        const auto folder = workspace.Modules();
        const std::vector<std::string> names = {"A.kst", "B.kst", "C.kst", "D.kst"};
        for (std::size_t i = 0; i < names.size(); ++i)
            WriteModule(folder, names[i], {.groupId = "G", .title = names[i].substr(0, 1)});
        QVERIFY(MoveModuleInList(folder, names, 0, 2));
        QCOMPARE(Titles(folder, names), (std::vector<std::string>{"B", "C", "A", "D"}));
        QVERIFY(MoveModuleInList(folder, names, 2, 0));
        QCOMPARE(Titles(folder, names), (std::vector<std::string>{"A", "B", "C", "D"}));
        QVERIFY(MoveModuleInList(folder, names, 3, 1));
        QCOMPARE(Titles(folder, names), (std::vector<std::string>{"A", "D", "B", "C"}));
        QCOMPARE(FilesIn(folder), names);
    }

    void moveChainFailureUndoesEveryRename() {
        TestWorkspace workspace;
        const auto folder = workspace.Modules();
        const std::vector<std::string> names = {"A.kst", "B.kst", "C.kst", "D.kst"};
        for (const std::string& name : names)
            WriteModule(folder, name, {.groupId = "G", .title = name.substr(0, 1)});
        // C vanished after the list was filled: the chain breaks after two renames.
        std::filesystem::remove(folder / "C.kst");
        const FileStatus moved = MoveModuleInList(folder, names, 0, 3);
        QVERIFY(KindOf(moved) == FileErrorKind::Io);
        QVERIFY(QString::fromStdString(moved.error().message).startsWith(QStringLiteral("C.kst: ")));
        QCOMPARE(Titles(folder, names), (std::vector<std::string>{"A", "B", "-", "D"}));
        QCOMPARE(FilesIn(folder), (std::vector<std::string>{"A.kst", "B.kst", "D.kst"}));

        // Downwards: B is gone too, so the chain breaks after D and C have moved.
        WriteModule(folder, "C.kst", {.groupId = "G", .title = "C"});
        std::filesystem::remove(folder / "B.kst");
        const FileStatus broken = MoveModuleInList(folder, names, 3, 0);
        QVERIFY(KindOf(broken) == FileErrorKind::Io);
        QVERIFY(QString::fromStdString(broken.error().message).startsWith(QStringLiteral("B.kst: ")));
        QCOMPARE(Titles(folder, names), (std::vector<std::string>{"A", "-", "C", "D"}));
        QCOMPARE(FilesIn(folder), (std::vector<std::string>{"A.kst", "C.kst", "D.kst"}));
    }

    void moveChainRefusesExistingSwapFile() {
        TestWorkspace workspace;
        const auto folder = workspace.Modules();
        WriteModule(folder, "A.kst", {.groupId = "G", .title = "A"});
        WriteModule(folder, "B.kst", {.groupId = "G", .title = "B"});
        std::ofstream(folder / kSwapFileName) << "keep";
        const FileStatus moved = MoveModuleInList(folder, {"A.kst", "B.kst"}, 0, 1);
        QVERIFY(KindOf(moved) == FileErrorKind::Io);
        QCOMPARE(Titles(folder, {"A.kst", "B.kst"}), (std::vector<std::string>{"A", "B"}));
        QCOMPARE(ReadBytes(folder / kSwapFileName), std::string("keep"));
    }

    // Where the file system cannot swap two names in one step, the chain goes through the swap
    // file and its journal, with the same outcome.
    void moveChainThroughTheSwapFileGivesTheSameOrder() {
        AllowMoveByExchange(false);
        moveChainRotatesNamesBothWays();
        moveChainFailureUndoesEveryRename();
        AllowMoveByExchange(true);
    }

    // A crash in the middle of a move through the swap file: the next move, or the opening of
    // the catalogue, puts the module back under the name that is missing, and says so.
    void interruptedMoveIsRepairedAndReported() {
        TestWorkspace workspace;
        const auto folder = workspace.Modules();
        const std::vector<std::string> names = {"A.kst", "B.kst", "C.kst"};
        // Moving 0 to 2 was cut after "A -> swap" and "B -> A".
        WriteModule(folder, kSwapFileName, {.groupId = "G", .title = "A"});
        WriteModule(folder, "A.kst", {.groupId = "G", .title = "B"});
        WriteModule(folder, "C.kst", {.groupId = "G", .title = "C"});
        std::string journal("KESTREL-MOVE\0A.kst\0B.kst\0C.kst\0", 31);
        WriteBytes(folder / kSwapJournalName, journal);
        std::string note;
        QVERIFY(RepairInterruptedMove(folder, note));
        QVERIFY(!note.empty());
        QVERIFY(note.find("B.kst") != std::string::npos);
        QCOMPARE(FilesIn(folder), names);
        QCOMPARE(Titles(folder, names), (std::vector<std::string>{"B", "A", "C"}));
        QVERIFY(RepairInterruptedMove(folder, note));
        QVERIFY(note.empty());

        // The same state met by the next move: repaired first, then moved.
        std::filesystem::rename(folder / "B.kst", folder / kSwapFileName);
        WriteBytes(folder / kSwapJournalName, journal);
        std::string repaired;
        QVERIFY(MoveModuleInList(folder, names, 2, 0, &repaired));
        QVERIFY(!repaired.empty());
        QCOMPARE(FilesIn(folder), names);
        QCOMPARE(Titles(folder, names), (std::vector<std::string>{"C", "B", "A"}));
    }

    void renameNeverReplacesAndDeleteReportsOsError() {
        TestWorkspace workspace;
        const auto folder = workspace.Modules();
        WriteModule(folder, "A.kst", {.groupId = "G", .title = "A"});
        WriteModule(folder, "B.kst", {.groupId = "G", .title = "B"});
        const FileStatus clash = RenameModuleFile(folder, "A.kst", "B.kst");
        QVERIFY(KindOf(clash) == FileErrorKind::Io);
        QCOMPARE(Titles(folder, {"A.kst", "B.kst"}), (std::vector<std::string>{"A", "B"}));
        QVERIFY(RenameModuleFile(folder, "A.kst", Gbk("审计.kst")));
        QCOMPARE(Titles(folder, {Gbk("审计.kst")}), std::vector<std::string>{"A"});
        QVERIFY(std::filesystem::exists(folder / "审计.kst")); // GBK name, UTF-8 on disk
        QVERIFY(DeleteModuleFile(folder, "B.kst"));
        const FileStatus again = DeleteModuleFile(folder, "B.kst");
        QVERIFY(KindOf(again) == FileErrorKind::Io);
        QCOMPARE(again.error().message, std::string("B.kst: ") + std::strerror(ENOENT));
    }

    void moveToGroupAndCreateStampTheFile() {
        TestWorkspace workspace;
        const auto folder = workspace.Modules();
        WriteModule(folder, "A.kst", {.groupId = "G", .title = "A"});
        std::ofstream(folder / "junk.kst") << "junk";
        ModuleRecord record;
        QVERIFY(MoveModuleToGroup(record, folder, "A.kst", "H", "li"));
        ModuleRecord stored;
        QVERIFY(LoadModuleFile(stored, folder, "A.kst"));
        QCOMPARE(FieldText(stored.header.groupId), std::string("H"));
        QCOMPARE(FieldText(stored.header.modifier), std::string("li"));
        QCOMPARE(FieldText(stored.header.creator), std::string("SA"));
        QVERIFY(KindOf(MoveModuleToGroup(record, folder, "junk.kst", "H", "li")) == FileErrorKind::Invalid);
        QCOMPARE(ReadBytes(folder / "junk.kst"), std::string("junk"));

        ModuleRecord fresh;
        fresh.body = "SELECT 2";
        QVERIFY(CreateModuleFile(fresh, folder, "N.kst", "H", "wang"));
        QVERIFY(LoadModuleFile(stored, folder, "N.kst"));
        QCOMPARE(FieldText(stored.header.creator), std::string("wang"));
        QCOMPARE(FieldText(stored.header.modifier), std::string("wang"));
        QCOMPARE(FieldText(stored.header.keyword), std::string("MODULE_ITEM"));
        QCOMPARE(stored.body, std::string("SELECT 2"));
    }

    void groupStepsWriteOrRestore() {
        TestWorkspace workspace;
        GroupCatalogue catalogue = WriteCatalogue(workspace.Modules() / "g.MGP", {{"A", "a"}, {"B", "b"}});
        SetFlowText(catalogue.flowTable, "A", "flow of A");
        QVERIFY(StoppedAt(AddGroup(catalogue, "A", "x", "")) == GroupStep::DuplicateId);
        QVERIFY(AddGroup(catalogue, "b2", "lower", ""));
        QVERIFY(ChangeGroup(catalogue, 0, "renamed", "new flow"));
        GroupCatalogue stored;
        QVERIFY(LoadCatalogue(stored, workspace.Modules() / "g.MGP"));
        QCOMPARE(stored.groupCount, 3);
        QCOMPARE(FieldText(stored.groups[0].identifier), std::string("A"));
        QCOMPARE(FieldText(stored.groups[0].name), std::string("renamed"));
        QCOMPARE(GetFlowText(stored.flowTable, "A"), std::string("new flow"));
        QVERIFY(DeleteGroup(catalogue, 1));
        QVERIFY(LoadCatalogue(stored, workspace.Modules() / "g.MGP"));
        QCOMPARE(stored.groupCount, 2);
        QCOMPARE(FieldText(stored.groups[1].identifier), std::string("b2"));
        QVERIFY(StoppedAt(DeleteGroup(catalogue, 5)) == GroupStep::NoSuchGroup);

        // The file cannot be written: the catalogue in memory stays as it was.
        catalogue.path = workspace.Modules() / "no-such-folder" / "g.MGP";
        const GroupStepResult failed = AddGroup(catalogue, "C", "c", "");
        QVERIFY(StoppedAt(failed) == GroupStep::NotSaved);
        QVERIFY(KindOf(failed.error().status) == FileErrorKind::Io);
        QCOMPARE(catalogue.groupCount, 2);
        QVERIFY(StoppedAt(ChangeGroup(catalogue, 0, "other", "")) == GroupStep::NotSaved);
        QCOMPARE(FieldText(catalogue.groups[0].name), std::string("renamed"));
        QVERIFY(StoppedAt(DeleteGroup(catalogue, 0)) == GroupStep::NotSaved);
        QCOMPARE(catalogue.groupCount, 2);
    }
};

KESTREL_GUILESS_TEST_MAIN(FileOpsTest)
#include "FileOpsTest.moc"
