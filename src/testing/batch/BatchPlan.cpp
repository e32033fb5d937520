#include "testing/batch/BatchPlan.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "core/Status.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleOrder.h"
#include "repository/ModuleScan.h"
#include "testing/ErrorTable.h"

#include <algorithm>
#include <memory>
#include <optional>

namespace kestrel {

std::string ListedName(const std::string& diskName, std::string& shown) {
    if (std::optional<std::string> gbk = Utf8ToGbk(diskName)) {
        shown = diskName;
        return *gbk;
    }
    // Not UTF-8: a name copied from a system that writes GBK names.
    if (IsValidGbk(diskName)) {
        shown = GbkToUtf8(diskName);
        return diskName;
    }
    shown = Utf16ToUtf8(Utf8ToUtf16(diskName));
    return diskName;
}

Result<BatchPlan, std::string> PlanBatch(const GroupCatalogue& catalogue, const std::vector<int>& groupIndexes,
                                         const std::filesystem::path& folder, const BatchNote& note) {
    BatchPlan plan;
    std::vector<std::string> groupIds;
    for (int i : groupIndexes)
        groupIds.push_back(FieldText(catalogue.groups[static_cast<std::size_t>(i)].identifier));
    GroupBuckets buckets;
    if (const FileStatus listed = BucketModulesByGroup(folder, groupIds, buckets); !listed)
        return Fail(folder.string() + ": " + GbkToUtf8(listed.error().message));
    struct Found {
        std::string name;
        std::string line; // its list line, which orders it; the bare name while the header is unknown
        BatchModule module;
        std::unique_ptr<ModuleRecord> record; // while it is read and not yet planned
    };
    const auto planned = [&folder](const ScannedModule& file) {
        Found entry;
        entry.module.path = folder / file.diskName;
        entry.name = ListedName(file.diskName, entry.module.shown);
        entry.line = file.isModule ? ModuleListText(entry.name, file.header) : entry.name;
        return entry;
    };
    const auto lineOf = [](const Found& entry) -> const std::string& { return entry.line; };
    std::vector<std::vector<Found>> members(groupIds.size());
    std::vector<Found> unreadable;
    // Reads a module whole; false when it is not to be checked after all.
    const auto load = [&](Found& entry) {
        entry.record = std::make_unique<ModuleRecord>();
        entry.module.load = ReadModuleFile(*entry.record, entry.module.path);
        if (IsInvalidFailure(entry.module.load)) {
            if (note)
                note(entry.module.shown + ": not a module file (" + GbkToUtf8(entry.module.load.error().message) +
                     "), skipped");
            return false;
        }
        if (!entry.module.load) {
            unreadable.push_back(std::move(entry));
            return false;
        }
        return true;
    };
    for (const ScannedModule& file : buckets.others) {
        if (file.isModule)
            continue; // of a group not chosen
        // The header did not make it a module: the whole read says why, or finds it changed since.
        Found entry = planned(file);
        if (!load(entry))
            continue;
        entry.line = ModuleListText(entry.name, entry.record->header);
        const auto at = std::find(groupIds.begin(), groupIds.end(), FieldText(entry.record->header.groupId));
        if (at != groupIds.end())
            members[static_cast<std::size_t>(at - groupIds.begin())].push_back(std::move(entry));
    }
    for (std::size_t g = 0; g < groupIds.size(); ++g) {
        std::vector<Found>& group = members[g];
        for (const ScannedModule& file : buckets.groups[g])
            group.push_back(planned(file));
        SortInListOrder(group, lineOf);
        plan.groups.push_back({GbkToUtf8(groupIds[g]),
                               GbkToUtf8(FieldText(catalogue.groups[static_cast<std::size_t>(groupIndexes[g])].name))});
        for (Found& entry : group) {
            if (!entry.record && !load(entry))
                continue;
            entry.module.groupId = plan.groups.back().groupId;
            entry.module.groupIndex = plan.groups.size() - 1;
            entry.module.shared = entry.record->header.type != kDllModule &&
                                  FindQualifiedErrorTable(entry.record->body) != std::string_view::npos;
            entry.module.stored = SerializeModule(*entry.record);
            entry.record.reset();
            plan.modules.push_back(std::move(entry.module));
        }
        std::vector<Found>().swap(group); // what is planned is held once
    }
    for (const ScannedModule& file : buckets.unreadable) {
        Found entry = planned(file);
        entry.module.load = file.failure;
        unreadable.push_back(std::move(entry));
    }
    SortInListOrder(unreadable, lineOf);
    if (!unreadable.empty())
        plan.groups.push_back({"-", ""});
    for (Found& entry : unreadable) {
        entry.module.groupId = "-";
        entry.module.groupIndex = plan.groups.size() - 1;
        plan.modules.push_back(std::move(entry.module));
    }
    return plan;
}

} // namespace kestrel
