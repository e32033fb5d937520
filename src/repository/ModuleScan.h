#pragma once
// Finding the module files of a folder and their groups, with a header cache that makes a
// re-fill re-read only the files that changed.
#include "core/Status.h"
#include "repository/ModuleFile.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

struct ModuleListEntry {
    std::string fileName; // GBK, as listed by the directory
    ModuleHeader header;
};

// A file of the folder that a listing could not take: its name as messages show it (GBK) and
// why, the status naming the file ("secret.kst: Permission denied").
struct ScanFailure {
    std::string fileName;
    FileStatus status;
};

// The GBK name of a name on disk: UTF-8 converted, GBK bytes (a folder copied from another
// system, never valid UTF-8) kept as they are; nullopt for anything else (a UTF-8 name with a
// character GBK lacks included).
std::optional<std::string> GbkNameOfDiskName(std::string_view diskName);

// File names (GBK) in folder that end in ".kst", letter case ignored, in directory order.
// Names that are neither UTF-8 nor GBK go to failures when it is given (skipped otherwise).
FileStatus ListModuleFileNames(const std::filesystem::path& folder, std::vector<std::string>& names,
                               std::vector<ScanFailure>* failures = nullptr);

class ModuleIndex {
public:
    // Threads that read the headers of files not in the cache; 1 reads them one by one. The
    // listing is the same either way.
    static constexpr int kDefaultReaders = 8;
    explicit ModuleIndex(int readers = kDefaultReaders);
    ~ModuleIndex();
    ModuleIndex(ModuleIndex&&) noexcept;
    ModuleIndex& operator=(ModuleIndex&&) noexcept;

    // Module files of folder whose groupId equals groupId exactly, in directory order.
    // Non-module files are skipped; a file that cannot be read stops the scan with Io naming
    // it, and entries holds what was found before it. With failures given, the scan instead
    // records each file it cannot read (its group is unknown, so it is recorded whatever the
    // group) and each module of the group whose name has no GBK form, and goes on.
    FileStatus ListGroup(const std::filesystem::path& folder, const std::string& groupId,
                         std::vector<ModuleListEntry>& entries, std::vector<ScanFailure>* failures = nullptr);
    // Every module file of folder, whatever its group. invalidNames receives the .kst files
    // that are not module files; failures as for ListGroup.
    FileStatus ListAll(const std::filesystem::path& folder, std::vector<ModuleListEntry>& entries,
                       std::vector<std::string>* invalidNames = nullptr, std::vector<ScanFailure>* failures = nullptr);

    struct CacheEntry;
    struct FolderCache;

private:
    FolderCache& CacheOf(const std::filesystem::path& folder);

    std::vector<std::unique_ptr<FolderCache>> m_folders;
    int m_readers;
};

// A .kst file of a folder as one pass over the folder found it.
struct ScannedModule {
    std::string diskName;               // byte for byte as the folder lists it
    std::optional<std::string> gbkName; // nullopt: the name has no GBK form
    bool isModule = false;
    ModuleHeader header{}; // when isModule
    FileStatus failure;    // why the file could not be read, for the unreadable ones
};

// The .kst files of a folder sorted by group, each list in directory order.
struct GroupBuckets {
    std::vector<std::vector<ScannedModule>> groups; // [i]: the modules of the i-th group asked for
    std::vector<ScannedModule> others;              // modules of no group asked for, and non-module files
    std::vector<ScannedModule> unreadable;          // group unknown: failure says why
};

// Reads the header of every .kst file of folder once, on up to readers threads, and buckets
// the files by the groups of groupIds (identifiers compared byte for byte). A file that cannot
// be read goes to unreadable and the pass goes on; only a folder that cannot be listed fails.
FileStatus BucketModulesByGroup(const std::filesystem::path& folder, const std::vector<std::string>& groupIds,
                                GroupBuckets& buckets, int readers = ModuleIndex::kDefaultReaders);

// The GBK names of the modules of the groups of groupIds in folder, from one pass, in the order
// of the window's module list (ModuleOrder.h). A .kst file that cannot be read fails it with a status naming the file;
// names with no GBK form are left out.
FileStatus ListMemberModules(const std::filesystem::path& folder, const std::vector<std::string>& groupIds,
                             std::vector<std::string>& names);

} // namespace kestrel
