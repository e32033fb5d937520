#pragma once
// Puts a whole set of files into one folder at once: every reader sees either the folder as it
// was or with all of the new files, never a mix, and a failure leaves the folder as it was.
//
// Where the file system can exchange two names in one step, the folder is copied beside itself
// (hard links for what stays, new files for what changes) and the copy is exchanged with it.
// Elsewhere, and for folders a copy cannot stand for (subfolders, a mount point, a link among
// the files to write, an owner this process cannot give the copy), the files are put in place
// one by one under a journal in the folder that the next commit, or RepairInterruptedCommit
// when the folder is opened, rolls back.
#include "core/Status.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

// In the folder while a commit by journal is under way.
inline constexpr char kCommitJournalName[] = "KSTIMPORT.JNL";

struct FolderFile {
    std::string name; // file name in the folder (bytes as on disk)
    std::string bytes;
};

// Writes files (distinct names) into folder, which must exist. Io with the file's path and the
// system's error when something cannot be written; the folder is then as it was. Repairs what
// an interrupted commit left first.
FileStatus CommitFolderFiles(const std::filesystem::path& folder, const std::vector<FolderFile>& files);

// Undoes a commit by journal that a crash cut short and removes the litter of interrupted
// commits (copies beside the folder, files of ours in it). note (GBK) says what was done, ""
// when nothing was needed.
FileStatus RepairInterruptedCommit(const std::filesystem::path& folder, std::string& note);

// For tests: false makes commits take the journal even where the folder could be exchanged.
void AllowCommitByExchange(bool allowed);

// The steps of a commit that can fail, for tests that fail or kill a commit at each in turn.
enum class CommitStep {
    kCopyMade,   // exchange: the copy folder beside exists (index -1)
    kLinked,     // exchange: a file that stays is linked into the copy (index: entry)
    kStaged,     // a new file is written and flushed (index: file)
    kExchanged,  // exchange: the copy has taken the folder's place
    kOldRemoved, // exchange: the old folder is gone
    kJournaled,  // journal: the journal is on disk
    kBackedUp,   // journal: an old file has its backup name (index: file)
    kPlaced,     // journal: a new file has its name (index: file)
    kCommitted,  // journal: the journal says "done"
    kCleaned,    // journal: backups and journal removed
};

// Called before each step; a non-zero return fails that step with that errno. The product never
// sets one.
using CommitObserver = int (*)(CommitStep step, int index);
void SetCommitObserver(CommitObserver observer);

} // namespace kestrel
