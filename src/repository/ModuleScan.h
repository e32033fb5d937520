#pragma once
// Finding the module files of a folder and their groups, with a header cache that makes a
// re-fill re-read only the files that changed.
#include "core/Status.h"
#include "repository/ModuleFile.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

struct ModuleListEntry {
    std::string fileName; // GBK, as listed by the directory
    ModuleHeader header;
};

// File names (GBK) in folder that end in ".kst", letter case ignored, in directory order.
FileStatus ListModuleFileNames(const std::filesystem::path& folder, std::vector<std::string>& names);

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
    // Non-module files are skipped; a file that cannot be read stops the scan with Io and
    // entries holds what was found before it.
    FileStatus ListGroup(const std::filesystem::path& folder, const std::string& groupId,
                         std::vector<ModuleListEntry>& entries);
    // Every module file of folder, whatever its group. invalidNames receives the .kst files
    // that are not module files.
    FileStatus ListAll(const std::filesystem::path& folder, std::vector<ModuleListEntry>& entries,
                       std::vector<std::string>* invalidNames = nullptr);

    struct CacheEntry;
    struct FolderCache;

private:
    FolderCache& CacheOf(const std::filesystem::path& folder);

    std::vector<std::unique_ptr<FolderCache>> m_folders;
    int m_readers;
};

} // namespace kestrel
