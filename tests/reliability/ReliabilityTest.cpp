// Repeated attacks with a fixed seed and a fixed count: processes killed in the middle of saves
// and moves, sparse and hostile files against the tool, device and FIFO output targets in
// private folders, DLL modules that misbehave. Each test prints its figures (tries, failures,
// anything lost) so a run's log carries them.
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "repository/Catalogue.h"
#include "repository/FileOps.h"
#include "repository/FolderCommit.h"
#include "repository/ModuleFile.h"
#include "repository/TextForm.h"
#include "support/Builders.h"
#include "support/Files.h"
#include "testing/runner/DllTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

constexpr unsigned kSeed = 20261208;

int Temporaries(const std::filesystem::path& folder) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        n += IsAtomicWriteTemporary(entry.path().filename().string()) ? 1 : 0;
    return n;
}

// Starts work in a child that loops until it is killed, kills it after a random pause of up
// to maxDelayUs and reaps it.
void KillDuring(const std::function<void(int)>& work, std::mt19937& random, int maxDelayUs) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (int i = 0;; ++i)
            work(i);
    }
    std::uniform_int_distribution<int> delay(0, maxDelayUs);
    ::usleep(static_cast<useconds_t>(delay(random)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

struct Figures {
    const char* what;
    int tries = 0;
    int failures = 0;
    int lost = 0;
    int repaired = 0;
    int litter = 0;
    ~Figures() {
        std::printf("[figures] %s: tries %d, failures %d, lost %d, repaired %d, temporaries left by kills %d\n", what,
                    tries, failures, lost, repaired, litter);
    }
};

} // namespace

// Module and catalogue saves killed at random points: every file stays whole, old or new, and
// the next save leaves no temporary behind.
TEST(Reliability, KilledSavesLoseNothingAndLeaveNoLitter) {
    TempDir dir;
    std::mt19937 random(kSeed);
    Figures figures{"killed saves"};

    ModuleRecord a = SqlRecord(std::string(200000, 'a'));
    ModuleRecord b = SqlRecord(std::string(120000, 'b'));
    a.fileName = b.fileName = "m.kst";
    ASSERT_TRUE(SaveModuleFile(a, "SA", dir.Path()));
    GroupCatalogue catalogue = WriteCatalogue(dir / "c.MGP", {{"G1", "one"}});
    GroupCatalogue other = catalogue;
    SetFlowText(other.flowTable, "G1", std::string(300000, 'f'));

    for (int round = 0; round < 60; ++round) {
        ++figures.tries;
        const bool module = round % 2 == 0;
        KillDuring(
            [&](int i) {
                if (module) {
                    ModuleRecord copy = (i % 2) ? a : b;
                    SaveModuleFile(copy, "SA", dir.Path());
                } else {
                    SaveCatalogue((i % 2) ? catalogue : other);
                }
            },
            random, 20000);
        figures.litter += Temporaries(dir.Path());
        if (module) {
            ModuleRecord back;
            const bool whole =
                LoadModuleFile(back, dir.Path(), "m.kst") && (back.body == a.body || back.body == b.body);
            figures.lost += whole ? 0 : 1;
        } else {
            GroupCatalogue back;
            const bool whole = LoadCatalogue(back, dir / "c.MGP") &&
                               (back.flowTable == catalogue.flowTable || back.flowTable == other.flowTable);
            figures.lost += whole ? 0 : 1;
        }
    }
    EXPECT_EQ(figures.lost, 0);
    ModuleRecord last = a;
    ASSERT_TRUE(SaveModuleFile(last, "SA", dir.Path()));
    EXPECT_EQ(Temporaries(dir.Path()), 0);
}

namespace {

// Runs moves over forty modules until killed, then checks that every module is still under a
// name of the list (after the repair a later move or opening makes).
void KilledMoves(bool exchange, Figures& figures) {
    // In memory where the machine has it: without the disk's flushes most kills land inside
    // the chain of renames, which is what is under attack.
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    if (std::filesystem::is_directory("/dev/shm"))
        ::setenv("TMPDIR", "/dev/shm", 1);
    TempDir dir;
    if (previous)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    std::mt19937 random(kSeed + (exchange ? 1 : 2));
    // A long chain, so that many kills land inside it rather than in the journal's flush.
    std::vector<std::string> names;
    std::set<std::string> all;
    for (int i = 0; i < 40; ++i) {
        const std::string title = "M" + std::to_string(100 + i);
        names.push_back(title + ".kst");
        all.insert(title);
        WriteModule(dir.Path(), names.back(), {.groupId = "G", .title = title});
    }
    const int last = static_cast<int>(names.size()) - 1;

    for (int round = 0; round < 40; ++round) {
        ++figures.tries;
        KillDuring(
            [&](int i) {
                AllowMoveByExchange(exchange);
                MoveModuleInList(dir.Path(), names, i % 2 ? 0 : last, i % 2 ? last : 0);
            },
            random, 4000);
        std::string note;
        if (!RepairInterruptedMove(dir.Path(), note))
            ++figures.failures;
        figures.repaired += note.empty() ? 0 : 1;
        std::set<std::string> titles;
        for (const std::string& name : names) {
            ModuleRecord record;
            if (LoadModuleFile(record, dir.Path(), name))
                titles.insert(FieldText(record.header.title));
        }
        figures.lost += static_cast<int>(all.size() - titles.size());
        if (titles != all || std::filesystem::exists(dir / kSwapFileName) ||
            std::filesystem::exists(dir / kSwapJournalName))
            ++figures.failures;
    }
}

} // namespace

TEST(Reliability, KilledMovesKeepEveryModuleUnderAListedName) {
    Figures exchanged{"killed moves (exchange)"};
    KilledMoves(true, exchanged);
    EXPECT_EQ(exchanged.failures, 0);
    EXPECT_EQ(exchanged.lost, 0);
    Figures swapped{"killed moves (swap file and journal)"};
    KilledMoves(false, swapped);
    EXPECT_EQ(swapped.failures, 0);
    EXPECT_EQ(swapped.lost, 0);
}

namespace {

std::map<std::string, std::string> FolderBytes(const std::filesystem::path& folder) {
    std::map<std::string, std::string> bytes;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        bytes[entry.path().filename().string()] = ReadBytes(entry.path());
    return bytes;
}

// Imports of two text forms in turn until killed: after the repair the next opening makes, the
// folder holds one set or the other, whole, with nothing of ours in or beside it.
void KilledImports(bool exchange, Figures& figures) {
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    if (std::filesystem::is_directory("/dev/shm"))
        ::setenv("TMPDIR", "/dev/shm", 1);
    TempDir dir;
    if (previous)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    std::mt19937 random(kSeed + (exchange ? 3 : 4));
    const std::filesystem::path work = dir / "work";
    std::filesystem::create_directories(work);
    for (int i = 0; i < 30; ++i)
        WriteModule(work, "m" + std::to_string(i) + ".kst", {.groupId = "G1", .body = "SELECT " + std::to_string(i)});
    WriteCatalogue(work / "c.MGP", {{"G1", "one"}});
    int modules = 0;
    ASSERT_TRUE(ExportTextForm(work / "c.MGP", dir / "a", modules));
    ASSERT_TRUE(ExportTextForm(work / "c.MGP", dir / "b", modules));
    for (int i = 0; i < 30; ++i)
        WriteBytes(dir / "b" / "modules" / ("m" + std::to_string(i) + ".kst.sql"), "SELECT 'b'");
    std::vector<TextFinding> findings;
    AllowCommitByExchange(exchange);
    ASSERT_TRUE(ImportTextForm(dir / "b", work / "c.MGP", findings, modules));
    const auto setB = FolderBytes(work);
    ASSERT_TRUE(ImportTextForm(dir / "a", work / "c.MGP", findings, modules));
    const auto setA = FolderBytes(work);
    const std::set<std::string> beside = {"a", "b", "work"};

    for (int round = 0; round < 40; ++round) {
        ++figures.tries;
        KillDuring(
            [&](int i) {
                std::vector<TextFinding> ignored;
                int count = 0;
                AllowCommitByExchange(exchange);
                ImportTextForm(dir / (i % 2 ? "a" : "b"), work / "c.MGP", ignored, count);
            },
            random, 30000);
        std::string note;
        if (!RepairInterruptedCommit(work, note))
            ++figures.failures;
        figures.repaired += note.empty() ? 0 : 1;
        const auto now = FolderBytes(work);
        if (now != setA && now != setB) {
            ++figures.lost;
            for (const auto& [name, bytes] : now)
                if (!setA.contains(name) ||
                    (setA.at(name) != bytes && (!setB.contains(name) || setB.at(name) != bytes)))
                    std::printf("round %d: %s is of neither set\n", round, name.c_str());
        }
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
            names.insert(entry.path().filename().string());
        if (names != beside || std::filesystem::exists(work / kCommitJournalName))
            ++figures.litter;
    }
    AllowCommitByExchange(true);
}

} // namespace

TEST(Reliability, KilledImportsLeaveOneWholeSet) {
    Figures exchanged{"killed imports (exchange)"};
    KilledImports(true, exchanged);
    EXPECT_EQ(exchanged.failures, 0);
    EXPECT_EQ(exchanged.lost, 0);
    EXPECT_EQ(exchanged.litter, 0);
    Figures journaled{"killed imports (journal)"};
    KilledImports(false, journaled);
    EXPECT_EQ(journaled.failures, 0);
    EXPECT_EQ(journaled.lost, 0);
    EXPECT_EQ(journaled.litter, 0);
}

namespace {

const std::string kModules = TEST_MODULES_PATH;

enum class Expect { Code, Failure, Cancelled };

struct Attack {
    const char* function;
    Expect expect;
    int32_t code = 0;
    bool cancel = false;
};

} // namespace

// DLL modules that loop, stop themselves, fork and hold the pipes, flood their output or forge
// the runner's reply: none passes, none hangs the caller, none leaves a process behind.
TEST(Reliability, MisbehavingModulesNeitherPassNorHang) {
    const std::vector<Attack> attacks = {
        {"NeverReturns", Expect::Cancelled, 0, true},
        {"StopItself", Expect::Cancelled, 0, true},
        {"ForkAndHold", Expect::Code, 4},
        {"ForkEscapeAndHold", Expect::Code, 6},
        {"Flood", Expect::Code, 0},
        {"ForgeThenCrash", Expect::Failure},
        {"ForgeHalfThenExit", Expect::Failure},
        {"ForgeThenReturnFive", Expect::Failure},
        {"Crash", Expect::Failure},
    };
    std::mt19937 random(kSeed);
    Figures figures{"misbehaving modules"};
    TempDir dir;
    TestVariableTable table;
    for (int round = 0; round < 40; ++round) {
        const Attack& attack = attacks[random() % attacks.size()];
        ++figures.tries;
        DllTestRun run;
        CancelToken cancel;
        TestOutcome outcome;
        std::thread worker([&] { outcome = run.Run(kModules, attack.function, table, dir.Path(), cancel); });
        if (attack.cancel) {
            cancel.WaitUntilArmed();
            cancel.Cancel();
        }
        worker.join();
        bool right = false;
        switch (attack.expect) {
        case Expect::Code:
            right = !outcome.cancelled && outcome.code == attack.code;
            break;
        case Expect::Failure:
            right = !outcome.cancelled && outcome.code == -1 && outcome.message.has_value();
            break;
        case Expect::Cancelled:
            right = outcome.cancelled;
            break;
        }
        figures.failures += right ? 0 : 1;
        EXPECT_TRUE(right) << attack.function << " in round " << round;
        EXPECT_LE(outcome.output.size(), kCapturedOutputBytes);
        // The child that left the runner's group is the module's own business; end it here.
        if (std::ifstream pidFile(dir / "child.pid"); pidFile) {
            int pid = 0;
            pidFile >> pid;
            if (pid > 0 && std::string(attack.function) == "ForkEscapeAndHold")
                ::kill(pid, SIGKILL);
        }
        std::filesystem::remove(dir / "child.pid");
    }
    EXPECT_EQ(figures.failures, 0);
}

#ifdef KESTREL_TOOL
namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the tool through the shell (for redirections and a memory limit); out and err are read
// back from files.
ToolRun Tool(const std::filesystem::path& dir, const std::string& arguments, const std::string& stdoutTarget = {}) {
    const std::filesystem::path out = stdoutTarget.empty() ? dir / "tool.out" : std::filesystem::path(stdoutTarget);
    const std::string command = "ulimit -v 8000000; QT_QPA_PLATFORM=offscreen '" + std::string(KESTREL_TOOL) + "' " +
                                arguments + " > '" + out.string() + "' 2> '" + (dir / "tool.err").string() + "'";
    const int status = std::system(command.c_str());
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadBytes(out);
    run.err = ReadBytes(dir / "tool.err");
    return run;
}

std::string Quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

} // namespace

// Sparse and hostile files against show and report: refused with a message naming the file,
// never a crash, never memory by the file's size (the tool runs under a memory limit).
TEST(Reliability, HostileFilesAreRefusedByName) {
    TempDir dir;
    Figures figures{"hostile files against show and report"};
    WriteCatalogue(dir / "audit.MGP", {{"G1", "one"}});
    ASSERT_TRUE(WriteSparseModule(dir / "huge.kst", ModuleBytes({.groupId = "G1"})));

    ++figures.tries;
    ToolRun show = Tool(dir.Path(), "show " + Quoted(dir / "huge.kst"));
    EXPECT_EQ(show.exitCode, 3) << show.err;
    EXPECT_NE(show.err.find("huge.kst"), std::string::npos) << show.err;
    figures.failures += show.exitCode == 3 ? 0 : 1;

    ++figures.tries;
    ToolRun report = Tool(dir.Path(), "report " + Quoted(dir / "audit.MGP") + " --pdf " + Quoted(dir / "r.pdf"));
    EXPECT_NE(report.exitCode, 0);
    EXPECT_NE(report.exitCode, -1);
    EXPECT_NE(report.err.find("huge.kst"), std::string::npos) << report.err;
    figures.failures += report.exitCode > 0 ? 0 : 1;

    // A sparse catalogue, a FIFO and a folder where a catalogue should be.
    std::string catalogue = CatalogueBytes({{"G1", "one"}}, "");
    PutI32(catalogue, 20 + 52, 0x7fffffff);
    WriteBytes(dir / "sparse.MGP", catalogue);
    ASSERT_EQ(::truncate((dir / "sparse.MGP").c_str(), off_t(8) << 30), 0);
    ::mkfifo((dir / "fifo.MGP").c_str(), 0644);
    std::filesystem::create_directory(dir / "folder.MGP");
    for (const char* name : {"sparse.MGP", "fifo.MGP", "folder.MGP"}) {
        ++figures.tries;
        ToolRun shown = Tool(dir.Path(), "show " + Quoted(dir / name));
        const bool refused = shown.exitCode == 2 || shown.exitCode == 3;
        EXPECT_TRUE(refused) << name << ": " << shown.exitCode << " " << shown.err;
        EXPECT_NE(shown.err.find(name), std::string::npos) << shown.err;
        figures.failures += refused ? 0 : 1;
    }
}

// A module named in GBK bytes is reported like any other, its name converted.
TEST(Reliability, GbkNamedModuleIsReported) {
    TempDir dir;
    WriteCatalogue(dir / "audit.MGP", {{"G1", "one"}});
    WriteModule(dir.Path(), "plain.kst", {.groupId = "G1", .title = "plain"});
    WriteBytes(dir / "\xD5\xCB.kst", ModuleBytes({.groupId = "G1", .title = "gbk"}));
    ToolRun report = Tool(dir.Path(), "report " + Quoted(dir / "audit.MGP") + " --pdf " + Quoted(dir / "r.pdf"));
    EXPECT_EQ(report.exitCode, 0) << report.err;
    EXPECT_EQ(ReadBytes(dir / "r.pdf").rfind("%PDF", 0), 0u);
}

// The report's PDF into a FIFO, a private device node, standard output and /dev/stdout: written
// in place, the nodes stay what they were, the shell's file is not replaced.
TEST(Reliability, ReportOutputTargetsThatAreNoRegularFiles) {
    TempDir dir;
    Figures figures{"report output targets"};
    WriteCatalogue(dir / "audit.MGP", {{"G1", "one"}});
    WriteModule(dir.Path(), "a.kst", {.groupId = "G1", .title = "a"});
    const std::string report = "report " + Quoted(dir / "audit.MGP") + " --pdf ";

    ++figures.tries;
    ::mkfifo((dir / "pdf.fifo").c_str(), 0644);
    std::string received;
    std::thread reader([&] {
        const int fd = ::open((dir / "pdf.fifo").c_str(), O_RDONLY);
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
    });
    ToolRun fifo = Tool(dir.Path(), report + Quoted(dir / "pdf.fifo"));
    reader.join();
    EXPECT_EQ(fifo.exitCode, 0) << fifo.err;
    EXPECT_EQ(received.rfind("%PDF", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "pdf.fifo"));
    figures.failures += fifo.exitCode == 0 && std::filesystem::is_fifo(dir / "pdf.fifo") ? 0 : 1;

    ++figures.tries;
    ToolRun dash = Tool(dir.Path(), report + "-");
    EXPECT_EQ(dash.exitCode, 0) << dash.err;
    EXPECT_EQ(dash.out.rfind("%PDF", 0), 0u);
    figures.failures += dash.exitCode == 0 ? 0 : 1;

    ++figures.tries;
    WriteBytes(dir / "out.pdf", "");
    struct stat before {};
    ::stat((dir / "out.pdf").c_str(), &before);
    ToolRun devStdout = Tool(dir.Path(), report + "/dev/stdout", (dir / "out.pdf").string());
    struct stat after {};
    ::stat((dir / "out.pdf").c_str(), &after);
    EXPECT_EQ(devStdout.exitCode, 0) << devStdout.err;
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(ReadBytes(dir / "out.pdf").rfind("%PDF", 0), 0u);
    figures.failures += devStdout.exitCode == 0 && before.st_ino == after.st_ino ? 0 : 1;

    // Private device nodes (never the system's): only root can make them.
    if (::geteuid() == 0 && ::mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        ++figures.tries;
        ToolRun full = Tool(dir.Path(), report + Quoted(dir / "full"));
        EXPECT_EQ(full.exitCode, 3) << full.err;
        EXPECT_TRUE(std::filesystem::is_character_file(dir / "full"));
        figures.failures += std::filesystem::is_character_file(dir / "full") ? 0 : 1;
    }
}
#endif
