#include "repository/FileOps.h"

#include "core/Clock.h"
#include "core/FixedText.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace kestrel {

namespace {

FileStatus ErrnoFor(const std::string& name, int err) {
    FileStatus status = FileStatus::FromErrno(err);
    status.message = name + ": " + status.message;
    return status;
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
        return ErrnoFor(fileName, errno);
    return FileStatus::Ok();
}

FileStatus RenameModuleFile(const std::filesystem::path& folder, const std::string& from, const std::string& to) {
    if (const int err = RenameNoReplace(ModuleFilePath(folder, from), ModuleFilePath(folder, to)))
        return ErrnoFor(err == EEXIST ? to : from, err);
    return FileStatus::Ok();
}

FileStatus MoveModuleInList(const std::filesystem::path& folder, const std::vector<std::string>& names, int a, int b) {
    const int count = static_cast<int>(names.size());
    if (a == b || a < 0 || b < 0 || a >= count || b >= count)
        return FileStatus::Ok();
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(ModuleFilePath(folder, kSwapFileName), ec)))
        return ErrnoFor(kSwapFileName, EEXIST);

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

    for (std::size_t done = 0; done < chain.size(); ++done) {
        const FileStatus step = RenameModuleFile(folder, chain[done].first, chain[done].second);
        if (step)
            continue;
        std::string undoFailures;
        for (std::size_t k = done; k-- > 0;) {
            const FileStatus back = RenameModuleFile(folder, chain[k].second, chain[k].first);
            if (!back)
                undoFailures += "\n" + back.message;
        }
        FileStatus failed = step;
        failed.message += undoFailures;
        return failed;
    }
    return FileStatus::Ok();
}

FileStatus MoveModuleToGroup(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName,
                             const std::string& groupId, const std::string& userName) {
    if (FileStatus loaded = LoadModuleFile(record, folder, fileName); !loaded)
        return loaded;
    if (!SetFieldText(record.header.groupId, groupId))
        return FileStatus::Invalid("group identifier too long");
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
        return FileStatus::Invalid("group identifier too long");
    return SaveModuleFile(record, userName, folder);
}

GroupStepResult AddGroup(GroupCatalogue& catalogue, const std::string& identifier, const std::string& name,
                         const std::string& flow) {
    if (catalogue.FindGroup(identifier) >= 0)
        return {GroupStep::DuplicateId, {}};
    if (catalogue.groupCount >= kMaxGroups)
        return {GroupStep::CatalogueFull, {}};
    GroupRecord group{};
    if (!SetFieldText(group.identifier, identifier) || !SetFieldText(group.name, name))
        return {GroupStep::NoSuchGroup, FileStatus::Invalid("identifier or name too long")};
    GroupCatalogue before = catalogue;
    catalogue.AppendGroup(group);
    SetFlowText(catalogue.flowTable, identifier, flow);
    if (FileStatus saved = SaveCatalogue(catalogue); !saved) {
        catalogue = std::move(before);
        return {GroupStep::NotSaved, saved};
    }
    return {};
}

GroupStepResult ChangeGroup(GroupCatalogue& catalogue, int index, const std::string& name, const std::string& flow) {
    if (index < 0 || index >= catalogue.groupCount)
        return {GroupStep::NoSuchGroup, {}};
    GroupCatalogue before = catalogue;
    GroupRecord& group = catalogue.groups[index];
    if (!SetFieldText(group.name, name))
        return {GroupStep::NoSuchGroup, FileStatus::Invalid("name too long")};
    SetFlowText(catalogue.flowTable, FieldText(group.identifier), flow);
    if (FileStatus saved = SaveCatalogue(catalogue); !saved) {
        catalogue = std::move(before);
        return {GroupStep::NotSaved, saved};
    }
    return {};
}

GroupStepResult DeleteGroup(GroupCatalogue& catalogue, int index) {
    if (index < 0 || index >= catalogue.groupCount)
        return {GroupStep::NoSuchGroup, {}};
    GroupCatalogue before = catalogue;
    catalogue.RemoveGroup(index);
    if (FileStatus saved = SaveCatalogue(catalogue); !saved) {
        catalogue = std::move(before);
        return {GroupStep::NotSaved, saved};
    }
    return {};
}

} // namespace kestrel
