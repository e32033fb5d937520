#pragma once
// Search across the modules of a catalogue: titles, SQL, descriptions, variable names and
// test values, line by line, as grep would.
#include "core/Status.h"
#include "repository/Catalogue.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

struct SearchOptions {
    std::string pattern = {}; // UTF-8
    bool ignoreCase = false;
    bool regex = false; // ECMAScript syntax; "." stands for one byte of a UTF-8 character
    bool hasGroup = false;
    std::string group = {}; // GBK; only this group's modules when hasGroup
};

enum class SearchField { Title, Sql, Description, VariableName, TestValue };

struct SearchHit {
    std::string fileName; // GBK, the module file's bare name
    SearchField field = SearchField::Sql;
    int line = 0;         // 1-based line of the SQL or the description; 0 for the other fields
    std::string variable; // UTF-8: the variable of a name or test-value hit
    std::string text;     // UTF-8: the matching line, without its line break
};

// Hits in the modules of the catalogue's groups (or of options.group), module by module in the
// window's list order, each module's fields in the order above. Invalid when the pattern is no valid expression or the
// group is not in the catalogue (message says which); Io when a file cannot be read.
FileStatus SearchModules(const GroupCatalogue& catalogue, const SearchOptions& options, std::vector<SearchHit>& hits);

// The label of a hit's field in the command's output ("title", "description", ...).
std::string SearchFieldLabel(const SearchHit& hit);

} // namespace kestrel
