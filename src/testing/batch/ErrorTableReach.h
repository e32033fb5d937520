#pragma once
// The database's own objects that write the error table. A session-private KSTError shadows
// the shared one only for the session's own statements: a trigger, rule or routine of the
// database names the shared table (SQLite resolves a trigger's tables in its own schema, a
// routine may fix its search path), so a module that sets one off writes past its private
// table and would fail in a batch run though it passes in the property sheet.
#include "testing/db/SqlTest.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {

// (name, definition) of a table's trigger or rule (under the table's name), a view, a routine.
using DatabaseObject = std::pair<std::string, std::string>;

// The names (ASCII lower case) of the objects that write KSTError, directly or through other
// such objects, from the definitions of objects; KSTError itself is not among them.
std::set<std::string> NamesThatReachErrorTable(const std::vector<DatabaseObject>& objects);

// The same, asked of the open session's database; std::nullopt when that cannot be told (a
// database we do not know how to ask, a catalogue query that fails, a definition we may not
// read).
std::optional<std::set<std::string>> NamesThatReachErrorTable(SqlTestSession& session);

// Whether text (module SQL, GBK or UTF-8) names any of names as a word, letter case ignored.
// Words in comments and literals count too: a module is rather run alone than wrongly failed.
bool NamesAny(std::string_view text, const std::set<std::string>& names);

} // namespace kestrel
