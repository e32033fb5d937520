#pragma once
// What a batch check runs: the modules of the chosen groups of a catalogue, in the order the
// window lists them, each with its file's bytes as they were when the plan was made.
#include "core/Result.h"
#include "core/Status.h"
#include "repository/Catalogue.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

struct BatchGroup {
    std::string groupId; // UTF-8; "-" for the files whose group could not be read
    std::string name;    // UTF-8
};

struct BatchModule {
    std::filesystem::path path; // as the folder lists it, byte for byte
    std::string shown;          // UTF-8
    std::string groupId;        // UTF-8; "-" for a file whose group could not be read
    std::size_t groupIndex = 0; // into the plan's groups
    // The module as its file holds it, parsed when it runs: a parsed record takes 6.6 KB, too
    // much to hold for each of 100,000 modules.
    std::string stored;
    FileStatus load; // why the file could not be read, if it could not
    // Its SQL names the error table with a qualifier, past any session-private table: it runs
    // on the shared table, alone, after the others.
    bool shared = false;
};

struct BatchPlan {
    std::vector<BatchGroup> groups;
    std::vector<BatchModule> modules;
};

// What planning has to say on the way (UTF-8): a file that is no module, skipped.
using BatchNote = std::function<void(const std::string&)>;

// The modules of the groups at groupIndexes (into catalogue.groups) found in folder: group by
// group in catalogue order, in the window's list order within a group, then the files that could
// not be read (their group is unknown). Files that are no module are named through note: nothing
// is left out without a word. The folder is read once, by header; only the modules to be checked
// are read whole. Fails (UTF-8, naming the folder) only when the folder cannot be listed.
Result<BatchPlan, std::string> PlanBatch(const GroupCatalogue& catalogue, const std::vector<int>& groupIndexes,
                                         const std::filesystem::path& folder, const BatchNote& note);

// The file name as the tool's records hold it (GBK), which the module's list line starts with;
// shown gets it as UTF-8 for the reports.
std::string ListedName(const std::string& diskName, std::string& shown);

} // namespace kestrel
