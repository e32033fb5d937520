#include "repository/ModuleScan.h"

#include "core/Bytes.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/FolderWatch.h"
#include "repository/ModuleOrder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace kestrel {

namespace {

// A listed name that no list line or record can hold: said, not skipped.
ScanFailure UnnamableFailure(std::string_view diskName) {
    ScanFailure failure;
    failure.fileName = Utf8ToGbkLossy(diskName);
    failure.status = Fail(FileError::Invalid(Utf8ToGbkLossy("文件名既不是 UTF-8 也不是 GBK")).About(failure.fileName));
    return failure;
}

class Dir {
public:
    explicit Dir(const std::filesystem::path& folder) : m_dir(::opendir(folder.empty() ? "." : folder.c_str())) {}
    ~Dir() {
        if (m_dir)
            ::closedir(m_dir);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    DIR* Get() const { return m_dir; }

private:
    DIR* m_dir;
};

// Whether the entry may be a file (not a folder); DT_UNKNOWN asks the file system.
bool MayBeFile(int dirFd, const dirent* entry) {
    if (entry->d_type == DT_DIR)
        return false;
    if (entry->d_type != DT_UNKNOWN)
        return true;
    struct stat st {};
    return ::fstatat(dirFd, entry->d_name, &st, 0) != 0 || !S_ISDIR(st.st_mode);
}

int64_t Nanoseconds(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

} // namespace

struct ModuleIndex::CacheEntry {
    std::string diskName;
    std::optional<std::string> gbkName; // nullopt: the disk name has no GBK form
    // What identifies the file's contents: a change of any of these means a re-read.
    off_t size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    ino_t inode = 0;
    dev_t device = 0;
    bool isModule = false;
    // A regular file of one name only: a write to it through this folder is reported by the
    // folder's watch (one through another link would not be).
    bool watchable = false;
    ModuleHeader header{};

    bool Matches(const struct stat& st) const {
        return size == st.st_size && mtimeNs == Nanoseconds(st.st_mtim) && ctimeNs == Nanoseconds(st.st_ctim) &&
               inode == st.st_ino && device == st.st_dev;
    }
    void Remember(const struct stat& st) {
        size = st.st_size;
        mtimeNs = Nanoseconds(st.st_mtim);
        ctimeNs = Nanoseconds(st.st_ctim);
        inode = st.st_ino;
        device = st.st_dev;
        watchable = S_ISREG(st.st_mode) && st.st_nlink == 1;
    }
};

// Entries in the order of the last listing: a directory that did not change lists its names
// in the same order again, so a re-fill walks the cache in step and needs no look-up.
struct ModuleIndex::FolderCache {
    std::string folder;
    std::vector<std::unique_ptr<CacheEntry>> entries;
    // Where the file system reports changes, a re-fill asks only about the names it reported.
    FolderWatch watch;
};

namespace {

// Reads what LoadModuleFile would check, without reading the whole file: the header, and
// the test-value length field against the file's size. Returns false with errno on a read
// error; isModule tells the outcome otherwise.
bool ReadHeader(int fd, off_t size, ModuleHeader& header, bool& isModule) {
    isModule = false;
    // Big enough that the test-value length of a usual module lies inside the first read.
    char buffer[4096];
    ssize_t got;
    do {
        got = ::pread(fd, buffer, sizeof buffer, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return false;
    if (got < static_cast<ssize_t>(sizeof(ModuleHeader)) || size < static_cast<off_t>(sizeof(ModuleHeader)))
        return true;
    std::memcpy(&header, buffer, sizeof header);
    const int64_t lengthAt = TestValueLengthOffset(header);
    if (lengthAt < 0 || lengthAt + 4 > size)
        return true;
    char lengthBytes[4];
    if (lengthAt + 4 <= got) {
        std::memcpy(lengthBytes, buffer + lengthAt, 4);
    } else {
        ssize_t n;
        do {
            n = ::pread(fd, lengthBytes, 4, static_cast<off_t>(lengthAt));
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return false;
        if (n < 4)
            return true;
    }
    const int32_t testValueLength = ReadLe32(lengthBytes);
    isModule = testValueLength >= 0 && lengthAt + 4 + testValueLength <= size;
    return true;
}

} // namespace

std::optional<std::string> GbkNameOfDiskName(std::string_view diskName) {
    if (std::optional<std::string> gbk = Utf8ToGbk(diskName))
        return gbk;
    // A folder copied from a system that names files in GBK keeps those bytes. A name that is
    // UTF-8 already is not taken for GBK: its bytes would read as other characters.
    const bool isUtf8 = Utf16ToUtf8(Utf8ToUtf16(diskName)) == diskName;
    if (!isUtf8 && IsValidGbk(diskName))
        return std::string(diskName);
    return std::nullopt;
}

FileStatus ListModuleFileNames(const std::filesystem::path& folder, std::vector<std::string>& names,
                               std::vector<ScanFailure>* failures) {
    names.clear();
    if (failures)
        failures->clear();
    Dir dir(folder);
    if (!dir.Get())
        return Fail(FileError::FromErrno(errno));
    const int dirFd = ::dirfd(dir.Get());
    errno = 0;
    while (const dirent* entry = ::readdir(dir.Get())) {
        if (IsModuleFileName(entry->d_name) && MayBeFile(dirFd, entry)) {
            if (std::optional<std::string> gbk = GbkNameOfDiskName(entry->d_name))
                names.push_back(std::move(*gbk));
            else if (failures)
                failures->push_back(UnnamableFailure(entry->d_name));
        }
        errno = 0;
    }
    if (errno != 0)
        return Fail(FileError::FromErrno(errno));
    return Ok();
}

namespace {

using CacheEntry = ModuleIndex::CacheEntry;

// Opens and reads one listed file into entry: 0, or the errno of what failed (ENOENT: the file
// went away after the listing). isFolder tells whether the name is a folder.
int ReadEntry(int dirFd, const char* name, CacheEntry& entry, bool& isFolder) {
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    entry.isModule = false;
    // Folders and other non-regular files are never module files (a pipe would block).
    if (S_ISREG(st.st_mode) && !ReadHeader(fd, st.st_size, entry.header, entry.isModule)) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    ::close(fd);
    entry.Remember(st);
    isFolder = S_ISDIR(st.st_mode);
    return 0;
}

// Runs read(i) for every i below count on up to readers threads, the calling one included, and
// returns when all are done. A thread that cannot be started leaves its share to the others.
template <typename Read> void ForEachOnReaders(std::size_t count, int readers, Read read) {
    constexpr std::size_t kFilesPerReader = 32; // fewer files are read faster than a thread starts
    constexpr std::size_t kChunk = 16;
    const std::size_t threads =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(readers, 1)), count / kFilesPerReader);
    if (threads < 2) {
        for (std::size_t i = 0; i < count; ++i)
            read(i);
        return;
    }
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (;;) {
            const std::size_t begin = next.fetch_add(kChunk, std::memory_order_relaxed);
            if (begin >= count)
                return;
            for (std::size_t i = begin; i < std::min(begin + kChunk, count); ++i)
                read(i);
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (std::size_t t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& thread : pool)
        thread.join();
}

// ENOENT from opening a listed name means it went away since the listing, unless the name is
// still there: a link that leads nowhere is a file that cannot be opened, not a missing one.
bool StillListed(int dirFd, const std::string& name) {
    struct stat st {};
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// The failure of one listed file, naming it ("broken.kst: No such file or directory").
FileStatus FailureOf(const ModuleIndex::CacheEntry& entry, int error) {
    return Fail(FileError::FromErrno(error).About(entry.gbkName ? *entry.gbkName : entry.diskName));
}

// One name of the listing, in directory order, with what reading it gave.
struct ListedFile {
    std::unique_ptr<CacheEntry> entry;
    bool cached = false; // the cache's entry still fits the file: no read
    bool isFolder = false;
    int error = 0;     // errno of the listing's or the read's failure
    bool gone = false; // the name went away after the listing: skipped
};

// The cache's entries from the last listing, each handed over when the new listing names its file.
class PreviousListing {
public:
    explicit PreviousListing(std::vector<std::unique_ptr<CacheEntry>>& entries) : m_entries(entries) {}

    // The entry of the next listed name, null for a name the last listing did not have. A
    // directory that did not change lists its names in the same order again, so the entry is
    // the next one in turn; a name out of turn is looked up, in a map built the first time.
    std::unique_ptr<CacheEntry> Take(std::string_view name) {
        std::unique_ptr<CacheEntry> entry;
        if (m_position < m_entries.size() && m_entries[m_position] && m_entries[m_position]->diskName == name) {
            entry = std::move(m_entries[m_position]);
        } else if (!m_entries.empty()) {
            if (m_byName.empty())
                for (std::size_t i = 0; i < m_entries.size(); ++i)
                    if (m_entries[i])
                        m_byName.emplace(m_entries[i]->diskName, i);
            if (auto found = m_byName.find(name); found != m_byName.end() && m_entries[found->second]) {
                entry = std::move(m_entries[found->second]);
                m_byName.erase(found);
            }
        }
        ++m_position;
        return entry;
    }

private:
    std::vector<std::unique_ptr<CacheEntry>>& m_entries;
    std::size_t m_position = 0;
    std::unordered_map<std::string_view, std::size_t, StringHash> m_byName;
};

// Whether the cache's entry of a listed file still fits it: a regular file of one name that the
// folder's watch reported no change of is taken on trust; any other is asked for its stamp.
void CheckCachedEntry(ListedFile& file, const dirent& d, int dirFd, const FolderWatch::Changes& changes) {
    if (!changes.all && file.entry->watchable && d.d_type == DT_REG && !changes.names.count(file.entry->diskName)) {
        file.cached = true;
        return;
    }
    struct stat st {};
    if (::fstatat(dirFd, d.d_name, &st, 0) != 0) {
        file.error = errno;
        return;
    }
    file.cached = file.entry->Matches(st);
    file.isFolder = S_ISDIR(st.st_mode);
}

// The module files of the folder in directory order, each with its entry from the cache (a new
// one for a file the cache does not know) and whether that entry still fits. Unless goesOn,
// the listing stops at the first file that cannot be looked at: nothing after it is looked at.
// Returns the errno of a listing that broke off, 0 when it ended.
int ListFolder(DIR* dir, std::vector<std::unique_ptr<CacheEntry>>& old, const FolderWatch::Changes& changes,
               bool goesOn, std::vector<ListedFile>& listed) {
    const int dirFd = ::dirfd(dir);
    listed.reserve(old.size());
    PreviousListing previous(old);
    errno = 0;
    while (const dirent* d = ::readdir(dir)) {
        const std::string_view name = d->d_name;
        if (!IsModuleFileName(name) || d->d_type == DT_DIR) {
            errno = 0;
            continue;
        }
        ListedFile file;
        file.entry = previous.Take(name);
        if (file.entry) {
            CheckCachedEntry(file, *d, dirFd, changes);
        } else {
            file.entry = std::make_unique<CacheEntry>();
            file.entry->diskName = name;
            file.entry->gbkName = GbkNameOfDiskName(name);
        }
        const bool stops = file.error != 0 && file.error != ENOENT && !goesOn;
        listed.push_back(std::move(file));
        if (stops)
            break;
        errno = 0;
    }
    if (goesOn || listed.empty() || listed.back().error == 0 || listed.back().error == ENOENT)
        return errno;
    return 0;
}

// Reads the headers of the listed files whose cache entry does not fit, on up to readers
// threads: on a cold or remote folder this is the slow part.
void ReadUncached(std::vector<ListedFile>& listed, int dirFd, int readers) {
    std::vector<std::size_t> toRead;
    for (std::size_t i = 0; i < listed.size(); ++i)
        if (!listed[i].cached && listed[i].error == 0)
            toRead.push_back(i);
    ForEachOnReaders(toRead.size(), readers, [&](std::size_t k) {
        ListedFile& file = listed[toRead[k]];
        file.error = ReadEntry(dirFd, file.entry->diskName.c_str(), *file.entry, file.isFolder);
    });
}

void MarkGone(std::vector<ListedFile>& listed, int dirFd) {
    for (ListedFile& file : listed)
        file.gone = file.error == ENOENT && !StillListed(dirFd, file.entry->diskName);
}

// Hands the listed files to visit in listing order and moves their entries into next. The first
// file that could not be read ends the walk with its failure, exactly as one thread reading file
// after file would stop; with failures given, it is recorded there instead (and shown to
// onFailure), left out of next so that it is read again next time, and the walk goes on.
template <typename Visit, typename OnFailure>
FileStatus VisitInListingOrder(std::vector<ListedFile>& listed, Visit& visit, std::vector<ScanFailure>* failures,
                               OnFailure& onFailure, std::vector<std::unique_ptr<CacheEntry>>& next) {
    next.reserve(listed.size());
    for (ListedFile& file : listed) {
        if (file.gone)
            continue;
        if (file.error != 0) {
            if (!failures)
                return FailureOf(*file.entry, file.error);
            const std::string name = file.entry->gbkName ? *file.entry->gbkName : Utf8ToGbkLossy(file.entry->diskName);
            failures->push_back({name, FailureOf(*file.entry, file.error)});
            onFailure(*file.entry, failures->back().status);
            continue;
        }
        if (file.isFolder)
            continue;
        visit(*file.entry);
        next.push_back(std::move(file.entry));
    }
    return Ok();
}

// Lists the folder, reads what the cache cannot tell, and walks the files in directory order.
// With failures given, a file that cannot be read is recorded there and the walk goes on;
// onFailure also sees each file recorded in failures.
template <typename Visit, typename OnFailure>
FileStatus Scan(ModuleIndex::FolderCache& cache, const std::filesystem::path& folder, int readers, Visit visit,
                std::vector<ScanFailure>* failures, OnFailure onFailure) {
    // Taken before the listing: a change made while the scan runs is reported next time.
    const FolderWatch::Changes changes = cache.watch.Take(folder);
    std::vector<std::unique_ptr<CacheEntry>>& old = cache.entries;
    // The changes are taken now; entries a failed scan did not reach may be among them.
    auto failed = [&old](FileStatus status) {
        old.clear();
        return status;
    };
    Dir dir(folder);
    if (!dir.Get())
        return failed(Fail(FileError::FromErrno(errno)));
    const int dirFd = ::dirfd(dir.Get());
    std::vector<ListedFile> listed;
    const int listError = ListFolder(dir.Get(), old, changes, failures != nullptr, listed);
    ReadUncached(listed, dirFd, readers);
    MarkGone(listed, dirFd);
    std::vector<std::unique_ptr<CacheEntry>> next;
    if (FileStatus visited = VisitInListingOrder(listed, visit, failures, onFailure, next); !visited)
        return failed(visited);
    if (listError != 0)
        return failed(Fail(FileError::FromErrno(listError)));
    // Files that are gone are forgotten.
    old = std::move(next);
    return Ok();
}

} // namespace

FileStatus ModuleIndex::ListGroup(const std::filesystem::path& folder, const std::string& groupId,
                                  std::vector<ModuleListEntry>& entries, std::vector<ScanFailure>* failures) {
    entries.clear();
    if (failures)
        failures->clear();
    FolderCache& cache = CacheOf(folder);
    return Scan(
        cache, folder, m_readers,
        [&](const CacheEntry& entry) {
            if (!entry.isModule || FieldView(entry.header.groupId) != groupId)
                return;
            if (entry.gbkName)
                entries.push_back({*entry.gbkName, entry.header});
            else if (failures)
                failures->push_back(UnnamableFailure(entry.diskName));
        },
        failures, [](const CacheEntry&, const FileStatus&) {});
}

FileStatus ModuleIndex::ListAll(const std::filesystem::path& folder, std::vector<ModuleListEntry>& entries,
                                std::vector<std::string>* invalidNames, std::vector<ScanFailure>* failures) {
    entries.clear();
    if (invalidNames)
        invalidNames->clear();
    if (failures)
        failures->clear();
    FolderCache& cache = CacheOf(folder);
    return Scan(
        cache, folder, m_readers,
        [&](const CacheEntry& entry) {
            if (!entry.gbkName) {
                if (failures)
                    failures->push_back(UnnamableFailure(entry.diskName));
                return;
            }
            if (entry.isModule)
                entries.push_back({*entry.gbkName, entry.header});
            else if (invalidNames)
                invalidNames->push_back(*entry.gbkName);
        },
        failures, [](const CacheEntry&, const FileStatus&) {});
}

FileStatus BucketModulesByGroup(const std::filesystem::path& folder, const std::vector<std::string>& groupIds,
                                GroupBuckets& buckets, int readers) {
    buckets = GroupBuckets{};
    buckets.groups.resize(groupIds.size());
    std::unordered_map<std::string_view, std::size_t, StringHash> bucketOf;
    bucketOf.reserve(groupIds.size());
    for (std::size_t i = 0; i < groupIds.size(); ++i)
        bucketOf.emplace(groupIds[i], i); // a repeated identifier keeps its first bucket
    const auto found = [](const CacheEntry& entry) {
        ScannedModule module;
        module.diskName = entry.diskName;
        module.gbkName = entry.gbkName;
        module.isModule = entry.isModule;
        if (entry.isModule)
            module.header = entry.header;
        return module;
    };
    // A cache for this one pass: nothing of it outlives the call.
    ModuleIndex::FolderCache cache;
    std::vector<ScanFailure> failures;
    return Scan(
        cache, folder, readers,
        [&](const CacheEntry& entry) {
            if (entry.isModule) {
                if (auto at = bucketOf.find(FieldView(entry.header.groupId)); at != bucketOf.end()) {
                    buckets.groups[at->second].push_back(found(entry));
                    return;
                }
            }
            buckets.others.push_back(found(entry));
        },
        &failures,
        [&](const CacheEntry& entry, const FileStatus& status) {
            buckets.unreadable.push_back(found(entry));
            buckets.unreadable.back().failure = status;
        });
}

FileStatus ListMemberModules(const std::filesystem::path& folder, const std::vector<std::string>& groupIds,
                             std::vector<std::string>& names) {
    names.clear();
    GroupBuckets buckets;
    if (FileStatus listed = BucketModulesByGroup(folder, groupIds, buckets); !listed)
        return listed;
    if (!buckets.unreadable.empty())
        return buckets.unreadable.front().failure;
    std::vector<ModuleListEntry> members;
    for (const std::vector<ScannedModule>& group : buckets.groups)
        for (const ScannedModule& file : group)
            if (file.gbkName)
                members.push_back({*file.gbkName, file.header});
    SortInListOrder(members,
                    [](const ModuleListEntry& member) { return ModuleListText(member.fileName, member.header); });
    names.reserve(members.size());
    for (ModuleListEntry& member : members)
        names.push_back(std::move(member.fileName));
    return Ok();
}

ModuleIndex::ModuleIndex(int readers) : m_readers(readers) {}
ModuleIndex::~ModuleIndex() = default;
ModuleIndex::ModuleIndex(ModuleIndex&&) noexcept = default;
ModuleIndex& ModuleIndex::operator=(ModuleIndex&&) noexcept = default;

ModuleIndex::FolderCache& ModuleIndex::CacheOf(const std::filesystem::path& folder) {
    std::error_code ec;
    std::string key =
        std::filesystem::absolute(folder.empty() ? std::filesystem::path(".") : folder, ec).lexically_normal().string();
    for (auto& cache : m_folders)
        if (cache->folder == key)
            return *cache;
    m_folders.push_back(std::make_unique<FolderCache>());
    m_folders.back()->folder = std::move(key);
    return *m_folders.back();
}

} // namespace kestrel
