#include "tool/CheckSelection.h"

#include "tool/ResultsFile.h"

#include <map>
#include <set>

namespace kestrel::tool {

BatchPlan KeepModules(const BatchPlan& plan, const std::vector<std::size_t>& indexes) {
    BatchPlan kept;
    kept.groups = plan.groups;
    kept.modules.reserve(indexes.size());
    for (const std::size_t i : indexes)
        kept.modules.push_back(plan.modules[i]);
    return kept;
}

Result<SelectedPlan, std::string> SelectModules(BatchPlan plan, const CheckSelection& selection,
                                                const BatchNote& note) {
    SelectedPlan selected;
    std::set<std::string> notPassed;
    if (selection.failedFrom) {
        auto earlier = ReadEarlierResults(selection.failedFrom->path, selection.failedFrom->shown);
        if (!earlier)
            return Fail(earlier.error());
        for (const EarlierResult& result : earlier.value())
            if (result.verdict != Verdict::kPassed)
                notPassed.insert(result.file);
        selected.failedEarlier = notPassed.size();
    }
    std::map<std::string, double> known;
    if (!selection.durations.empty()) {
        std::map<std::string, std::pair<double, int>> sums;
        for (const NamedPath& file : selection.durations) {
            auto earlier = ReadEarlierResults(file.path, file.shown);
            if (!earlier)
                return Fail(earlier.error());
            // A module not run says nothing of its time.
            for (const EarlierResult& result : earlier.value())
                if (result.verdict != Verdict::kNotRun) {
                    auto& [sum, count] = sums[result.file];
                    sum += result.seconds;
                    ++count;
                }
        }
        for (const auto& [file, sum] : sums)
            known.emplace(file, sum.first / sum.second);
    }

    std::vector<std::size_t> keep;
    std::set<std::string> found;
    for (std::size_t i = 0; i < plan.modules.size(); ++i) {
        const std::string& name = plan.modules[i].shown;
        if (!NameSelected(name, selection.include, selection.exclude))
            continue;
        if (selection.failedFrom) {
            if (!notPassed.count(name))
                continue;
            found.insert(name);
        }
        keep.push_back(i);
    }
    if (selection.failedFrom && note)
        for (const std::string& name : notPassed)
            if (!found.count(name))
                note(name + ": did not pass in " + selection.failedFrom->shown + " but is no longer planned, left out");
    selected.whole = keep.size() == plan.modules.size() ? std::move(plan) : KeepModules(plan, keep);

    std::vector<std::string> names;
    names.reserve(selected.whole.modules.size());
    for (const BatchModule& module : selected.whole.modules)
        names.push_back(module.shown);
    if (!selection.durations.empty())
        selected.expected = ExpectedSeconds(names, known);
    if (!selection.shard) {
        selected.part = selected.whole;
        for (std::size_t i = 0; i < selected.whole.modules.size(); ++i)
            selected.partIndex.push_back(i);
        return selected;
    }
    const int count = selection.shard->count;
    std::vector<int> parts;
    if (selection.durations.empty()) {
        parts = SplitByHash(names, count);
        selected.split = "hash";
    } else {
        parts = SplitBySeconds(names, selected.expected, count);
        selected.split = "durations";
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        selected.shardOf.push_back(parts[i] + 1);
        if (parts[i] + 1 == selection.shard->index)
            selected.partIndex.push_back(i);
    }
    selected.part = KeepModules(selected.whole, selected.partIndex);
    return selected;
}

} // namespace kestrel::tool
