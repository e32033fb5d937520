#include "testing/Lint.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/ModuleOrder.h"
#include "repository/ModuleScan.h"
#include "testing/DllProbe.h"
#include "testing/ErrorTable.h"
#include "testing/Placeholders.h"
#include "testing/Variables.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <map>
#include <set>

namespace kestrel {

namespace {

constexpr std::string_view kTypeNames[] = {"byte", "short", "int", "double", "char"};

int LineAt(std::string_view text, std::size_t at) {
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

std::string Quoted(std::string_view gbk) {
    return "\"" + GbkToUtf8(gbk) + "\"";
}

// What is wrong with a test value for its type, as the test would read it; empty when fine.
std::string TestValueProblem(const VariableRow& row) {
    const std::string& value = row.testValue;
    if (value.empty())
        return {};
    if (row.type == kChar) {
        if (row.length < 1 || value.size() > static_cast<std::size_t>(row.length) - 1)
            return "is " + std::to_string(value.size()) + " bytes, the length " + std::to_string(row.length) +
                   " leaves room for " + std::to_string(std::max(row.length - 1, 0));
        return {};
    }
    std::size_t from = value.find_first_not_of(" \t");
    if (from == std::string::npos)
        return "is blank";
    std::size_t to = value.find_last_not_of(" \t") + 1;
    std::string_view number(value.data() + from, to - from);
    if (row.type == kDouble) {
        if (!number.empty() && number.front() == '+')
            number.remove_prefix(1);
        double parsed = 0;
        const auto result = std::from_chars(number.data(), number.data() + number.size(), parsed);
        if (result.ec != std::errc() || result.ptr != number.data() + number.size())
            return "is not a number";
        return {};
    }
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    long long parsed = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), parsed);
    if (result.ec == std::errc::result_out_of_range)
        return "lies outside the range of " + std::string(kTypeNames[row.type]);
    if (result.ec != std::errc() || result.ptr != number.data() + number.size())
        return "is not a whole number";
    const long long low = row.type == kByte ? 0 : row.type == kShort ? SHRT_MIN : INT_MIN;
    const long long high = row.type == kByte ? 255 : row.type == kShort ? SHRT_MAX : INT_MAX;
    if (parsed < low || parsed > high)
        return "lies outside the range of " + std::string(kTypeNames[row.type]) + " (" + std::to_string(low) + " to " +
               std::to_string(high) + ")";
    return {};
}

} // namespace

void LintModule(const ModuleRecord& record, const GroupCatalogue& catalogue, std::vector<LintFinding>& findings) {
    auto add = [&](int line, LintLevel level, std::string message) {
        findings.push_back({record.fileName, line, level, std::move(message)});
    };
    const std::string groupId = FieldText(record.header.groupId);
    if (catalogue.FindGroup(groupId) < 0)
        add(0, LintLevel::Warning, "group " + Quoted(groupId) + " is not in the catalogue; no list shows this module");

    const std::vector<VariableRow> rows = RowsOfModule(record);
    std::map<std::string, int> seen;
    for (const VariableRow& row : rows)
        if (++seen[row.name] == 2)
            add(0, LintLevel::Error, "variable " + Quoted(row.name) + " is defined more than once");
    for (const VariableRow& row : rows) {
        if (!RowHasChoices(row)) {
            add(0, LintLevel::Warning,
                "variable " + Quoted(row.name) + " has no attribute or type chosen; tests leave it out");
            continue;
        }
        if (row.attribute == kReport)
            continue;
        if (const std::string problem = TestValueProblem(row); !problem.empty())
            add(0, LintLevel::Error, "test value " + Quoted(row.testValue) + " of " + Quoted(row.name) + " " + problem);
    }
    if (record.header.type == kDllModule) {
        std::string library;
        std::string function;
        SplitDllBody(record.body, library, function);
        switch (ProbeDllFunction(catalogue.Folder(), library, function)) {
        case DllProbeResult::NoLibrary:
            add(0, LintLevel::Error, "library " + Quoted(library) + " cannot be found");
            break;
        case DllProbeResult::NotALibrary:
            add(0, LintLevel::Error, "library " + Quoted(library) + " is no shared library");
            break;
        case DllProbeResult::NoFunction:
            add(0, LintLevel::Error, "library " + Quoted(library) + " has no function " + Quoted(function));
            break;
        case DllProbeResult::Found:
        case DllProbeResult::SymbolsUnknown:
            break;
        }
        return;
    }

    // SQL module: every placeholder filled, every Import/Config variable named somewhere.
    std::set<std::string, std::less<>> fillable;
    for (const VariableRow& row : rows)
        if (RowFillsPlaceholders(row))
            fillable.insert(row.name);
    std::set<std::string, std::less<>> named;
    const std::string_view sql = record.body;
    for (Placeholder<char> found = NextPlaceholder(sql, 0); found.Found(); found = NextPlaceholder(sql, found.End())) {
        if (!found.Closed()) {
            add(LineAt(sql, found.open), LintLevel::Error, "placeholder \"[?:\" without its \"]\"");
            break;
        }
        named.insert(std::string(found.name));
        if (!IsCurrentTimeName(found.name) && !fillable.count(found.name))
            add(LineAt(sql, found.open), LintLevel::Error,
                "placeholder " + Quoted("[?:" + std::string(found.name) + "]") +
                    " is filled by no Import or Config variable");
    }
    // Report remarks are expanded with placeholders too, so their names count as used.
    for (const VariableRow& row : rows)
        if (row.attribute == kReport)
            for (Placeholder<char> found = NextPlaceholder(std::string_view(row.remark), 0); found.Found();
                 found = NextPlaceholder(std::string_view(row.remark), found.End()))
                named.insert(std::string(found.name));
    for (const VariableRow& row : rows)
        if (RowFillsPlaceholders(row) && !named.count(row.name))
            add(0, LintLevel::Warning, "variable " + Quoted(row.name) + " is used by no placeholder");
    if (const std::size_t at = FindQualifiedErrorTable(sql); at != std::string_view::npos)
        add(LineAt(sql, at), LintLevel::Error,
            "the error table is named with a qualifier; the test empties and reads only " +
                std::string(kErrorTableName));
}

FileStatus LintCatalogue(const std::filesystem::path& cataloguePath, std::vector<LintFinding>& findings) {
    GroupCatalogue catalogue;
    if (FileStatus loaded = LoadCatalogue(catalogue, cataloguePath); !loaded)
        return loaded;
    std::vector<std::string> names;
    if (FileStatus listed = ListModuleFileNames(catalogue.Folder(), names); !listed)
        return listed;
    // Non-module files have no list line: every file goes by its bare name.
    SortInListOrder(names, [](const std::string& name) -> const std::string& { return name; });
    ModuleRecord record;
    for (const std::string& name : names) {
        if (!IsAcceptableModuleFileName(name))
            findings.push_back(
                {name, 0, LintLevel::Warning,
                 "the tool would refuse this file name (it needs to end in \".kst\" or \".KST\", no blank)"});
        const FileStatus loaded = LoadModuleFile(record, catalogue.Folder(), name);
        if (IsIoFailure(loaded))
            findings.push_back({name, 0, LintLevel::Error, "cannot be read: " + GbkToUtf8(loaded.error().message)});
        else if (!loaded)
            findings.push_back(
                {name, 0, LintLevel::Error, "not a module file; the catalogue report fails while it is here"});
        else
            LintModule(record, catalogue, findings);
    }
    return Ok();
}

} // namespace kestrel
