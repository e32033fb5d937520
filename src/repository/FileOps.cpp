#include "repository/FileOps.h"

#include "core/AtomicFile.h"
#include "core/Clock.h"
#include "core/FixedText.h"
#include "core/Gbk.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kestrel {

namespace {

FileError ErrnoFor(const std::string& name, int err) {
    FileError error = FileError::FromErrno(err);
    error.message = name + ": " + error.message;
    return error;
}

// rename() that fails with EEXIST instead of replacing the target.
int RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // File systems without the flag: check first, accepting the small window.
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(to, ec)))
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

} // namespace

FileStatus DeleteModuleFile(const std::filesystem::path& folder, const std::string& fileName) {
    if (::unlink(ModuleFilePath(folder, fileName).c_str()) != 0)
        return Fail(ErrnoFor(fileName, errno));
    return Ok();
}

FileStatus RenameModuleFile(const std::filesystem::path& folder, const std::string& from, const std::string& to) {
    if (const int err = RenameNoReplace(ModuleFilePath(folder, from), ModuleFilePath(folder, to)))
        return Fail(ErrnoFor(err == EEXIST ? to : from, err));
    return Ok();
}

namespace {

std::atomic<bool> g_exchangeAllowed{true};

constexpr char kJournalMagic[] = "KESTREL-MOVE";

// Swaps the two names in one step: a crash leaves either both or neither exchanged.
int Exchange(const std::filesystem::path& folder, const std::string& a, const std::string& b) {
    if (::renameat2(AT_FDCWD, ModuleFilePath(folder, a).c_str(), AT_FDCWD, ModuleFilePath(folder, b).c_str(),
                    RENAME_EXCHANGE) == 0)
        return 0;
    return errno;
}

bool ExchangeUnsupported(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// The names of a move's chain, for the repair after a crash: magic, then each name and a zero.
std::string JournalBytes(const std::vector<std::string>& names) {
    std::string bytes(kJournalMagic, sizeof kJournalMagic);
    for (const std::string& name : names)
        bytes.append(name).push_back('\0');
    return bytes;
}

bool ParseJournal(const std::string& bytes, std::vector<std::string>& names) {
    names.clear();
    if (bytes.size() < sizeof kJournalMagic ||
        bytes.compare(0, sizeof kJournalMagic, kJournalMagic, sizeof kJournalMagic) != 0)
        return false;
    std::size_t at = sizeof kJournalMagic;
    while (at < bytes.size()) {
        const std::size_t zero = bytes.find('\0', at);
        if (zero == std::string::npos)
            return false;
        names.push_back(bytes.substr(at, zero - at));
        at = zero + 1;
    }
    return true;
}

bool Exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The chain by exchanges: each step swaps two neighbours, carrying the moved module along.
// Returns 0, or the errno of the step that failed after the steps done were undone; EINVAL
// when the file system has no exchange (nothing done then).
int MoveByExchange(const std::filesystem::path& folder, const std::vector<std::string>& names, int a, int b,
                   std::string& failedName, std::string& undoFailures) {
    const int direction = a < b ? 1 : -1;
    for (int i = a; i != b; i += direction) {
        const int err = Exchange(folder, names[i], names[i + direction]);
        if (err == 0)
            continue;
        if (i == a && ExchangeUnsupported(err))
            return EINVAL;
        for (int k = i - direction; k != a - direction; k -= direction)
            if (const int back = Exchange(folder, names[k], names[k + direction]); back != 0)
                undoFailures += "\n" + ErrnoFor(names[k], back).message;
        failedName = Exists(ModuleFilePath(folder, names[i])) ? names[i + direction] : names[i];
        return err;
    }
    return 0;
}

FileStatus MoveBySwapFile(const std::filesystem::path& folder, const std::vector<std::string>& names, int a, int b) {
    // The chain as (from, to) pairs, in the order the renames are made.
    std::vector<std::pair<std::string, std::string>> chain;
    chain.emplace_back(names[a], kSwapFileName);
    if (a < b) {
        for (int i = a; i < b; ++i)
            chain.emplace_back(names[i + 1], names[i]);
    } else {
        for (int i = a; i > b; --i)
            chain.emplace_back(names[i - 1], names[i]);
    }
    chain.emplace_back(kSwapFileName, names[b]);

    // Written before the first rename, removed after the last: a crash in between leaves the
    // names the module under the swap name may take back.
    std::vector<std::string> involved;
    for (int i = std::min(a, b); i <= std::max(a, b); ++i)
        involved.push_back(names[i]);
    const std::filesystem::path journal = ModuleFilePath(folder, kSwapJournalName);
    if (FileStatus written = WriteFileAtomic(journal, JournalBytes(involved)); !written)
        return AboutFile(std::move(written), kSwapJournalName);

    for (std::size_t done = 0; done < chain.size(); ++done) {
        const FileStatus step = RenameModuleFile(folder, chain[done].first, chain[done].second);
        if (step)
            continue;
        std::string undoFailures;
        for (std::size_t k = done; k-- > 0;) {
            const FileStatus back = RenameModuleFile(folder, chain[k].second, chain[k].first);
            if (!back)
                undoFailures += "\n" + back.error().message;
        }
        if (undoFailures.empty())
            ::unlink(journal.c_str());
        FileError failed = step.error();
        failed.message += undoFailures;
        return Fail(std::move(failed));
    }
    ::unlink(journal.c_str());
    return Ok();
}

} // namespace

void AllowMoveByExchange(bool allowed) {
    g_exchangeAllowed = allowed;
}

FileStatus RepairInterruptedMove(const std::filesystem::path& folder, std::string& note) {
    note.clear();
    const std::filesystem::path journal = ModuleFilePath(folder, kSwapJournalName);
    const std::filesystem::path swap = ModuleFilePath(folder, kSwapFileName);
    std::string bytes;
    const FileStatus read = ReadWholeFile(journal, bytes);
    if (!read) {
        if (read.error().osError == ENOENT)
            return Ok();
        return AboutFile(read, kSwapJournalName);
    }
    std::vector<std::string> names;
    if (!ParseJournal(bytes, names))
        return Fail(FileError::Invalid("damaged move journal").About(kSwapJournalName));
    if (Exists(swap)) {
        // Every rename of the chain fills the name the one before emptied: the one name of
        // the chain that is missing is where the module under the swap name belongs.
        std::string missing;
        for (const std::string& name : names)
            if (!Exists(ModuleFilePath(folder, name))) {
                missing = name;
                break;
            }
        if (missing.empty())
            return Fail(ErrnoFor(kSwapFileName, EEXIST));
        if (FileStatus back = RenameModuleFile(folder, kSwapFileName, missing); !back)
            return back;
        note = Utf8ToGbkLossy("上次中断的移动已修复：") + kSwapFileName + " -> " + missing;
    }
    if (::unlink(journal.c_str()) != 0 && errno != ENOENT)
        return Fail(ErrnoFor(kSwapJournalName, errno));
    return Ok();
}

FileStatus MoveModuleInList(const std::filesystem::path& folder, const std::vector<std::string>& names, int a, int b,
                            std::string* repaired) {
    std::string note;
    const FileStatus repair = RepairInterruptedMove(folder, note);
    if (repaired)
        *repaired = note;
    if (!repair)
        return repair;
    const int count = static_cast<int>(names.size());
    if (a == b || a < 0 || b < 0 || a >= count || b >= count)
        return Ok();

    // A swap file without a journal may hold a module that only its owner can place.
    if (Exists(ModuleFilePath(folder, kSwapFileName)))
        return Fail(ErrnoFor(kSwapFileName, EEXIST));
    if (g_exchangeAllowed) {
        std::string failedName, undoFailures;
        const int err = MoveByExchange(folder, names, a, b, failedName, undoFailures);
        if (err == 0)
            return Ok();
        if (!failedName.empty()) {
            FileError failed = ErrnoFor(failedName, err);
            failed.message += undoFailures;
            return Fail(std::move(failed));
        }
    }
    return MoveBySwapFile(folder, names, a, b);
}

FileStatus MoveModuleToGroup(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName,
                             const std::string& groupId, const std::string& userName) {
    if (FileStatus loaded = LoadModuleFile(record, folder, fileName); !loaded)
        return loaded;
    if (!SetFieldText(record.header.groupId, groupId))
        return Fail(FileError::Invalid("group identifier too long"));
    return SaveModuleFile(record, userName, folder);
}

FileStatus CreateModuleFile(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName,
                            const std::string& groupId, const std::string& userName) {
    record.fileName = fileName;
    ModuleHeader& header = record.header;
    SetFieldText(header.creator, userName.substr(0, sizeof header.creator - 1));
    SetFieldText(header.createdAt, CurrentTimeStamp());
    SetFieldText(header.modifier, "");
    SetFieldText(header.modifiedAt, "");
    SetFieldText(header.keyword, kModuleKeyword);
    if (!SetFieldText(header.groupId, groupId))
        return Fail(FileError::Invalid("group identifier too long"));
    return SaveModuleFile(record, userName, folder);
}

namespace {

Fail<GroupStepError> Refuse(GroupStep step, FileStatus status = Ok()) {
    return Fail(GroupStepError{step, std::move(status)});
}

} // namespace

GroupStepResult AddGroup(GroupCatalogue& catalogue, const std::string& identifier, const std::string& name,
                         const std::string& flow) {
    if (catalogue.FindGroup(identifier) >= 0)
        return Refuse(GroupStep::DuplicateId);
    if (catalogue.groupCount >= kMaxGroups)
        return Refuse(GroupStep::CatalogueFull);
    GroupRecord group{};
    if (!SetFieldText(group.identifier, identifier) || !SetFieldText(group.name, name))
        return Refuse(GroupStep::NoSuchGroup, Fail(FileError::Invalid("identifier or name too long")));
    GroupCatalogue before = catalogue;
    catalogue.AppendGroup(group);
    SetFlowText(catalogue.flowTable, identifier, flow);
    if (FileStatus saved = SaveCatalogue(catalogue); !saved) {
        catalogue = std::move(before);
        return Refuse(GroupStep::NotSaved, std::move(saved));
    }
    return Ok();
}

GroupStepResult ChangeGroup(GroupCatalogue& catalogue, int index, const std::string& name, const std::string& flow) {
    if (index < 0 || index >= catalogue.groupCount)
        return Refuse(GroupStep::NoSuchGroup);
    GroupCatalogue before = catalogue;
    GroupRecord& group = catalogue.groups[index];
    if (!SetFieldText(group.name, name))
        return Refuse(GroupStep::NoSuchGroup, Fail(FileError::Invalid("name too long")));
    SetFlowText(catalogue.flowTable, FieldText(group.identifier), flow);
    if (FileStatus saved = SaveCatalogue(catalogue); !saved) {
        catalogue = std::move(before);
        return Refuse(GroupStep::NotSaved, std::move(saved));
    }
    return Ok();
}

GroupStepResult DeleteGroup(GroupCatalogue& catalogue, int index) {
    if (index < 0 || index >= catalogue.groupCount)
        return Refuse(GroupStep::NoSuchGroup);
    GroupCatalogue before = catalogue;
    catalogue.RemoveGroup(index);
    if (FileStatus saved = SaveCatalogue(catalogue); !saved) {
        catalogue = std::move(before);
        return Refuse(GroupStep::NotSaved, std::move(saved));
    }
    return Ok();
}

} // namespace kestrel
