#include "testing/batch/ErrorTableReach.h"

#include "core/AsciiCase.h"
#include "testing/ErrorTable.h"

namespace kestrel {

namespace {

bool IsWordByte(unsigned char c) {
    // Bytes of multi-byte characters are part of words: a name may be Chinese.
    return c == '_' || c == '$' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           c >= 0x80;
}

template <class Visit> void ForEachWord(std::string_view text, Visit visit) {
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && !IsWordByte(static_cast<unsigned char>(text[at])))
            ++at;
        const std::size_t begin = at;
        while (at < text.size() && IsWordByte(static_cast<unsigned char>(text[at])))
            ++at;
        if (at > begin && visit(AsciiLowerText(text.substr(begin, at - begin))))
            return;
    }
}

struct Catalogue {
    const char* product; // as the product name holds it, lower case
    std::vector<const char*> queries;
};

const std::vector<Catalogue>& Catalogues() {
    static const std::vector<Catalogue> catalogues = {
        {"sqlite", {"SELECT tbl_name, sql FROM main.sqlite_master WHERE type IN ('trigger', 'view')"}},
        {"postgres",
         {"SELECT c.relname, COALESCE(NULLIF(p.prosrc, ''), pg_get_functiondef(p.oid)) FROM pg_trigger t JOIN pg_class "
          "c ON c.oid = t.tgrelid "
          "JOIN pg_proc p ON p.oid = t.tgfoid WHERE NOT t.tgisinternal",
          "SELECT c.relname, pg_get_ruledef(r.oid) FROM pg_rewrite r JOIN pg_class c ON c.oid = r.ev_class "
          "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname NOT IN ('pg_catalog', 'information_schema')",
          // A routine of SQL's standard body keeps no source text of its own.
          "SELECT p.proname, COALESCE(NULLIF(p.prosrc, ''), pg_get_functiondef(p.oid)) FROM pg_proc p "
          "JOIN pg_namespace n ON n.oid = p.pronamespace WHERE p.prokind IN ('f', 'p') "
          "AND n.nspname NOT IN ('pg_catalog', 'information_schema') AND n.nspname NOT LIKE 'pg\\_%'"}},
        {"mariadb",
         {"SELECT EVENT_OBJECT_TABLE, ACTION_STATEMENT FROM information_schema.TRIGGERS "
          "WHERE TRIGGER_SCHEMA = DATABASE()",
          "SELECT TABLE_NAME, VIEW_DEFINITION FROM information_schema.VIEWS WHERE TABLE_SCHEMA = DATABASE()",
          "SELECT ROUTINE_NAME, ROUTINE_DEFINITION FROM information_schema.ROUTINES "
          "WHERE ROUTINE_SCHEMA = DATABASE()"}},
    };
    return catalogues;
}

} // namespace

bool NamesAny(std::string_view text, const std::set<std::string>& names) {
    if (names.empty())
        return false;
    bool found = false;
    ForEachWord(text, [&](const std::string& word) { return found = names.count(word) != 0; });
    return found;
}

std::set<std::string> NamesThatReachErrorTable(const std::vector<DatabaseObject>& objects) {
    const std::string errorTable = AsciiLowerText(kErrorTableName);
    std::set<std::string> reach = {errorTable};
    // Until nothing more is found: a trigger may call a routine that writes the table.
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [name, definition] : objects) {
            std::string lower = AsciiLowerText(name);
            if (reach.count(lower) == 0 && NamesAny(definition, reach)) {
                reach.insert(std::move(lower));
                grew = true;
            }
        }
    }
    reach.erase(errorTable);
    return reach;
}

std::optional<std::set<std::string>> NamesThatReachErrorTable(SqlTestSession& session) {
    const std::string product = AsciiLowerText(session.DatabaseProduct());
    for (const Catalogue& catalogue : Catalogues()) {
        const bool mysql =
            std::string_view(catalogue.product) == "mariadb" && product.find("mysql") != std::string::npos;
        if (product.find(catalogue.product) == std::string::npos && !mysql)
            continue;
        std::vector<DatabaseObject> objects;
        for (const char* query : catalogue.queries) {
            std::vector<std::vector<std::string>> rows;
            if (session.QueryOwn(query, 2, rows).code != 0)
                return std::nullopt;
            for (auto& row : rows) {
                // A definition hidden from this user may hold anything.
                if (row[1].empty())
                    return std::nullopt;
                objects.emplace_back(std::move(row[0]), std::move(row[1]));
            }
        }
        return NamesThatReachErrorTable(objects);
    }
    return std::nullopt;
}

} // namespace kestrel
