#pragma once
// File steps of the group and module operations: plain functions on the module folder and the
// catalogue, so the editor only asks its questions and keeps its lists.
#include "core/Status.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr char kSwapFileName[] = "ZEPSWAP.TMP";
// Beside the swap file while a move uses it: the names of the move, so that a move cut short
// by a crash can be repaired.
inline constexpr char kSwapJournalName[] = "ZEPSWAP.JNL";

// Deletes folder/fileName. Io with "name: OS error" when the file system refuses.
FileStatus DeleteModuleFile(const std::filesystem::path& folder, const std::string& fileName);

// Renames folder/from to folder/to without ever replacing an existing file.
FileStatus RenameModuleFile(const std::filesystem::path& folder, const std::string& from, const std::string& to);

// Gives the module at position a the file name at position b; the modules between close up
// (names are the module list's file names, in list order). Where the file system can swap two
// names in one step, each step of the chain is such a swap, so a crash at any moment leaves
// every module under a name of the list. Elsewhere the chain goes through the swap file, with
// a journal beside it that RepairInterruptedMove reads. A move first repairs what an earlier
// one left (repaired receives the note, "" when there was nothing). Refuses to start when the
// swap file exists without a journal. When a step fails, the steps already done are undone in
// reverse order and the failure is returned: no module is left under the swap name.
FileStatus MoveModuleInList(const std::filesystem::path& folder, const std::vector<std::string>& names, int a, int b,
                            std::string* repaired = nullptr);

// After a move through the swap file was cut short (a crash, a kill): puts the module under the
// swap name back under the name of the move that is missing and removes the journal. note
// (GBK) says what was done, "" when nothing was needed. Call it when a catalogue is opened.
FileStatus RepairInterruptedMove(const std::filesystem::path& folder, std::string& note);

// For tests: false makes moves take the swap file even where the file system could swap.
void AllowMoveByExchange(bool allowed);

// Loads fileName into record, sets its group and saves it with the user's stamp. Invalid when
// the file is not a module file (nothing written).
FileStatus MoveModuleToGroup(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName,
                             const std::string& groupId, const std::string& userName);

// Stamps a module that the property sheet filled in as new, files it in groupId and writes
// it as folder/fileName.
FileStatus CreateModuleFile(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName,
                            const std::string& groupId, const std::string& userName);

enum class GroupStep {
    DuplicateId,   // new group: the identifier exists (letter case significant)
    CatalogueFull, // new group: 100 groups exist
    NoSuchGroup,   // index out of range, or a text too long for its field
    NotSaved,      // the catalogue file could not be written; the catalogue is as before
};

// Why a group step was not done.
struct GroupStepError {
    GroupStep step = GroupStep::NoSuchGroup;
    FileStatus status; // the write's failure for NotSaved, the text's for a text too long
};

using GroupStepResult = Result<void, GroupStepError>;

// Each group step changes the catalogue and writes it; a failed write restores the catalogue
// in memory, so it never holds what the file does not.
GroupStepResult AddGroup(GroupCatalogue& catalogue, const std::string& identifier, const std::string& name,
                         const std::string& flow);
GroupStepResult ChangeGroup(GroupCatalogue& catalogue, int index, const std::string& name, const std::string& flow);
GroupStepResult DeleteGroup(GroupCatalogue& catalogue, int index);

} // namespace kestrel
