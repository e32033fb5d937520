#include "repository/ModuleSearch.h"

#include "core/AsciiCase.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleScan.h"

#include <algorithm>
#include <functional>
#include <regex>

namespace kestrel {

namespace {

using Matcher = std::function<bool(std::string_view)>;

// Matching runs on UTF-8, where no character can start inside another, so a literal pattern
// never matches across two GBK characters.
FileStatus MakeMatcher(const SearchOptions& options, Matcher& matcher) {
    if (options.regex) {
        auto flags = std::regex::ECMAScript;
        if (options.ignoreCase)
            flags |= std::regex::icase;
        try {
            auto expression = std::make_shared<std::regex>(options.pattern, flags);
            matcher = [expression](std::string_view text) {
                return std::regex_search(text.begin(), text.end(), *expression);
            };
        } catch (const std::regex_error& error) {
            return Fail(FileError::Invalid(std::string("invalid regular expression: ") + error.what()));
        }
        return Ok();
    }
    if (options.ignoreCase) {
        const std::string pattern = AsciiLowerText(options.pattern);
        matcher = [pattern](std::string_view text) { return AsciiLowerText(text).find(pattern) != std::string::npos; };
    } else {
        const std::string pattern = options.pattern;
        matcher = [pattern](std::string_view text) { return text.find(pattern) != std::string_view::npos; };
    }
    return Ok();
}

// Calls line(number, text) for each line of a GBK text, in UTF-8 and without its CR LF.
template <class Line> void ForEachLine(std::string_view gbk, Line&& line) {
    int number = 1;
    std::size_t start = 0;
    while (start <= gbk.size()) {
        std::size_t end = gbk.find('\n', start);
        const bool last = end == std::string_view::npos;
        if (last)
            end = gbk.size();
        std::string_view piece = gbk.substr(start, end - start);
        if (!piece.empty() && piece.back() == '\r')
            piece.remove_suffix(1);
        line(number++, GbkToUtf8(piece));
        if (last)
            break;
        start = end + 1;
    }
}

void SearchModule(const ModuleRecord& record, const Matcher& matches, std::vector<SearchHit>& hits) {
    auto hit = [&](SearchField field, int line, std::string variable, std::string text) {
        hits.push_back({record.fileName, field, line, std::move(variable), std::move(text)});
    };
    if (std::string title = GbkToUtf8(FieldView(record.header.title)); matches(title))
        hit(SearchField::Title, 0, {}, std::move(title));
    if (record.header.type != kDllModule)
        ForEachLine(record.body, [&](int line, std::string text) {
            if (matches(text))
                hit(SearchField::Sql, line, {}, std::move(text));
        });
    ForEachLine(record.description, [&](int line, std::string text) {
        if (matches(text))
            hit(SearchField::Description, line, {}, std::move(text));
    });
    const int32_t count = std::clamp<int32_t>(record.header.variableCount, 0, kMaxVariables);
    for (int32_t i = 0; i < count; ++i) {
        const std::string name = FieldText(record.variables[static_cast<std::size_t>(i)].name);
        std::string utf8Name = GbkToUtf8(name);
        if (matches(utf8Name))
            hit(SearchField::VariableName, 0, utf8Name, utf8Name);
        if (std::string value = GbkToUtf8(LookupListValue(record.testValues, name)); !value.empty() && matches(value))
            hit(SearchField::TestValue, 0, utf8Name, std::move(value));
    }
}

} // namespace

FileStatus SearchModules(const GroupCatalogue& catalogue, const SearchOptions& options, std::vector<SearchHit>& hits) {
    Matcher matches;
    if (FileStatus made = MakeMatcher(options, matches); !made)
        return made;
    if (options.hasGroup && catalogue.FindGroup(options.group) < 0)
        return Fail(FileError::Invalid("no group " + GbkToUtf8(options.group) + " in the catalogue"));
    std::vector<std::string> groupIds;
    if (options.hasGroup)
        groupIds.push_back(options.group);
    else
        for (int g = 0; g < catalogue.groupCount; ++g)
            groupIds.push_back(FieldText(catalogue.groups[static_cast<std::size_t>(g)].identifier));
    // Only the modules searched are read whole: headers tell the groups.
    std::vector<std::string> names;
    if (FileStatus listed = ListMemberModules(catalogue.Folder(), groupIds, names); !listed)
        return listed;
    ModuleRecord record;
    for (const std::string& name : names) {
        const FileStatus loaded = LoadModuleFile(record, catalogue.Folder(), name);
        if (IsIoFailure(loaded))
            return loaded;
        if (loaded)
            SearchModule(record, matches, hits);
    }
    return Ok();
}

std::string SearchFieldLabel(const SearchHit& hit) {
    switch (hit.field) {
    case SearchField::Title:
        return "title";
    case SearchField::Sql:
        return "sql";
    case SearchField::Description:
        return "description";
    case SearchField::VariableName:
        return "variable";
    case SearchField::TestValue:
        return "test value of " + hit.variable;
    }
    return {};
}

} // namespace kestrel
