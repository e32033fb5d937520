#include "repository/TextForm.h"

#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/FolderCommit.h"
#include "repository/ModuleScan.h"

#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <set>

namespace kestrel {

namespace {

constexpr std::array<std::string_view, 3> kStateNames = {"未完成", "测试", "测试通过"};
constexpr std::array<std::string_view, 2> kTypeNames = {"SQL", "DLL"};
constexpr std::array<std::string_view, 3> kAttributeNames = {"Import", "Config", "Report"};
constexpr std::array<std::string_view, 5> kVariableTypeNames = {"byte", "short", "int", "double", "char"};

// The UTF-8 form of a stored text, only when it converts back to the very same bytes.
std::optional<std::string> ExactUtf8(std::string_view gbk) {
    std::string utf8 = GbkToUtf8(gbk);
    const std::optional<std::string> back = Utf8ToGbk(utf8);
    if (!back || *back != gbk)
        return std::nullopt;
    return utf8;
}

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

std::optional<std::string> Unhex(std::string_view hex) {
    if (hex.size() % 2)
        return std::nullopt;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

// TOML string literals. A text with line feeds becomes a multi-line string whose lines stand
// as they are, for diffs; carriage returns are escaped, so no line-ending conversion can
// change the bytes read back.
void AppendEscaped(std::string& out, std::string_view utf8, bool multiLine) {
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += '\t';
            break;
        case '\n':
            out += multiLine ? "\n" : "\\n";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", byte);
                out += escape;
            } else {
                out += c;
            }
        }
    }
}

std::string TomlString(std::string_view utf8) {
    std::string out;
    if (utf8.find('\n') != std::string_view::npos) {
        // The line feed right after the opening quotes is not part of the text.
        out = "\"\"\"\n";
        AppendEscaped(out, utf8, true);
        out += "\"\"\"";
    } else {
        out = "\"";
        AppendEscaped(out, utf8, false);
        out += "\"";
    }
    return out;
}

class TomlWriter {
public:
    void Text(std::string_view key, std::string_view gbk) {
        Key(key);
        if (const std::optional<std::string> utf8 = ExactUtf8(gbk))
            m_out += TomlString(*utf8);
        else
            m_out += "{ hex = \"" + Hex(gbk) + "\" }";
        m_out += '\n';
    }
    void Name(std::string_view key, std::string_view utf8) {
        Key(key);
        m_out += TomlString(utf8);
        m_out += '\n';
    }
    void Integer(std::string_view key, long long value) {
        Key(key);
        m_out += std::to_string(value);
        m_out += '\n';
    }
    void Boolean(std::string_view key, bool value) {
        Key(key);
        m_out += value ? "true\n" : "false\n";
    }
    // An index into names when it is one, else the number itself.
    template <std::size_t N>
    void Choice(std::string_view key, const std::array<std::string_view, N>& names, long long value) {
        if (value >= 0 && value < static_cast<long long>(N))
            Name(key, names[static_cast<std::size_t>(value)]);
        else
            Integer(key, value);
    }
    void TableArray(std::string_view name) {
        m_out += "\n[[";
        m_out += name;
        m_out += "]]\n";
    }
    std::string Take() { return std::move(m_out); }

private:
    void Key(std::string_view key) {
        m_out += key;
        m_out += " = ";
    }
    std::string m_out;
};

// The lists of a module rebuilt from one value per variable; when that gives the stored list
// back, the values can stand with their variables.
std::string RebuildList(const ModuleRecord& record, const std::vector<std::string>& values) {
    std::string list;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!values[i].empty())
            AppendListValue(list, FieldText(record.variables[i].name), values[i]);
    return list;
}

struct FlowEntry {
    std::string identifier;
    std::string text;
};

// The flow table as entries in stored order; nullopt when the table is not a clean run of
// entries (which then travels whole).
std::optional<std::vector<FlowEntry>> FlowEntries(const FlowTable& table) {
    std::vector<FlowEntry> entries;
    std::size_t at = 0;
    while (at < table.size()) {
        if (table[at] != '&')
            return std::nullopt;
        std::size_t end = at + 1;
        while (end < table.size()) {
            if (table[end] == '&') {
                if (end + 1 < table.size() && table[end + 1] == '&') {
                    end += 2;
                    continue;
                }
                break;
            }
            ++end;
        }
        const std::string_view entry = std::string_view(table).substr(at + 1, end - at - 1);
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos)
            return std::nullopt;
        // An identifier with an ampersand could not be told from the entry's end when read back.
        if (entry.substr(0, equals).find('&') != std::string_view::npos)
            return std::nullopt;
        FlowEntry flow{std::string(entry.substr(0, equals)), {}};
        const std::string_view escaped = entry.substr(equals + 1);
        for (std::size_t i = 0; i < escaped.size(); ++i) {
            flow.text += escaped[i];
            if (escaped[i] == '&')
                ++i;
        }
        entries.push_back(std::move(flow));
        at = end;
    }
    return entries;
}

std::string FlowTableOf(const std::vector<FlowEntry>& entries) {
    std::string table;
    for (const FlowEntry& entry : entries) {
        table += '&';
        table += entry.identifier;
        table += '=';
        for (const char c : entry.text) {
            table += c;
            if (c == '&')
                table += '&';
        }
    }
    return table;
}

// --- reading --------------------------------------------------------------------------------

class TomlReader {
public:
    TomlReader(std::string file, std::vector<TextFinding>& findings) : m_file(std::move(file)), m_findings(findings) {}

    bool Parse(std::string_view text, toml::table& table) {
        try {
            table = toml::parse(text, m_file);
            return true;
        } catch (const toml::parse_error& error) {
            Fail(static_cast<int>(error.source().begin.line), std::string(error.description()));
            return false;
        }
    }

    void Fail(int line, std::string message) {
        m_findings.push_back({m_file, line, std::move(message)});
        m_ok = false;
    }
    // A refusal that belongs to another file of the same module (its SQL file).
    void FailIn(const std::string& file, int line, std::string message) {
        m_findings.push_back({file, line, std::move(message)});
        m_ok = false;
    }
    void Fail(const toml::node& node, std::string message) {
        Fail(static_cast<int>(node.source().begin.line), std::move(message));
    }
    bool Ok() const { return m_ok; }

    // Refuses keys that the form does not know (a typing error would otherwise pass silently).
    void OnlyKeys(const toml::table& table, std::initializer_list<std::string_view> keys) {
        for (const auto& [key, node] : table)
            if (std::find(keys.begin(), keys.end(), key.str()) == keys.end())
                Fail(node, "unknown key \"" + std::string(key.str()) + "\"");
    }

    // A stored text: a string (converted to GBK) or { hex = "..." }. maxBytes < 0: any length.
    std::optional<std::string> Text(const toml::table& table, std::string_view key, long long maxBytes,
                                    bool required = true) {
        const toml::node* node = table.get(key);
        if (!node) {
            if (required)
                Fail(static_cast<int>(table.source().begin.line), "missing \"" + std::string(key) + "\"");
            return std::nullopt;
        }
        std::optional<std::string> gbk;
        if (const auto* string = node->as_string()) {
            gbk = Utf8ToGbk(string->get());
            if (!gbk) {
                Fail(*node, "\"" + std::string(key) + "\" holds a character outside GBK");
                return std::nullopt;
            }
        } else if (const auto* inner = node->as_table();
                   inner && inner->size() == 1 && inner->get_as<std::string>("hex")) {
            gbk = Unhex(inner->get_as<std::string>("hex")->get());
            if (!gbk) {
                Fail(*node, "\"" + std::string(key) + "\": hex needs pairs of hexadecimal digits");
                return std::nullopt;
            }
        } else {
            Fail(*node, "\"" + std::string(key) + "\" must be a string");
            return std::nullopt;
        }
        if (gbk->find('\0') != std::string::npos) {
            Fail(*node, "\"" + std::string(key) + "\" holds a zero byte");
            return std::nullopt;
        }
        if (maxBytes >= 0 && static_cast<long long>(gbk->size()) > maxBytes) {
            Fail(*node, "\"" + std::string(key) + "\" is " + std::to_string(gbk->size()) + " bytes in GBK, at most " +
                            std::to_string(maxBytes) + " fit");
            return std::nullopt;
        }
        return gbk;
    }

    template <std::size_t N> void Field(const toml::table& table, std::string_view key, char (&field)[N]) {
        if (const std::optional<std::string> text = Text(table, key, static_cast<long long>(N) - 1))
            SetFieldText(field, *text);
    }

    std::optional<long long> Integer(const toml::table& table, std::string_view key, long long low, long long high) {
        const toml::node* node = table.get(key);
        if (!node) {
            Fail(static_cast<int>(table.source().begin.line), "missing \"" + std::string(key) + "\"");
            return std::nullopt;
        }
        return IntegerOf(*node, key, low, high);
    }

    std::optional<long long> IntegerOf(const toml::node& node, std::string_view key, long long low, long long high) {
        const auto* integer = node.as_integer();
        if (!integer) {
            Fail(node, "\"" + std::string(key) + "\" must be a whole number");
            return std::nullopt;
        }
        if (integer->get() < low || integer->get() > high) {
            Fail(node, "\"" + std::string(key) + "\" must lie between " + std::to_string(low) + " and " +
                           std::to_string(high));
            return std::nullopt;
        }
        return integer->get();
    }

    // One of names, or a number from low to high for a stored value outside the names.
    template <std::size_t N>
    std::optional<long long> Choice(const toml::table& table, std::string_view key,
                                    const std::array<std::string_view, N>& names, long long low, long long high) {
        const toml::node* node = table.get(key);
        if (!node) {
            Fail(static_cast<int>(table.source().begin.line), "missing \"" + std::string(key) + "\"");
            return std::nullopt;
        }
        if (const auto* string = node->as_string()) {
            for (std::size_t i = 0; i < N; ++i)
                if (string->get() == names[i])
                    return static_cast<long long>(i);
        } else if (low <= high) {
            return IntegerOf(*node, key, low, high);
        }
        std::string known;
        for (const std::string_view name : names)
            known += (known.empty() ? "" : ", ") + std::string(name);
        Fail(*node, "\"" + std::string(key) + "\" must be one of " + known);
        return std::nullopt;
    }

    std::optional<bool> Boolean(const toml::table& table, std::string_view key) {
        const toml::node* node = table.get(key);
        if (!node) {
            Fail(static_cast<int>(table.source().begin.line), "missing \"" + std::string(key) + "\"");
            return std::nullopt;
        }
        if (const auto* value = node->as_boolean())
            return value->get();
        Fail(*node, "\"" + std::string(key) + "\" must be true or false");
        return std::nullopt;
    }

    const std::string& File() const { return m_file; }

private:
    std::string m_file;
    std::vector<TextFinding>& m_findings;
    bool m_ok = true;
};

// The line of the first character of text that has no GBK form, 1-based; 0 when it converts.
int FirstLineOutsideGbk(std::string_view utf8) {
    int line = 1;
    std::size_t start = 0;
    while (start <= utf8.size()) {
        const std::size_t end = utf8.find('\n', start);
        const std::string_view piece =
            utf8.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!Utf8ToGbk(piece))
            return line;
        if (end == std::string_view::npos)
            break;
        start = end + 1;
        ++line;
    }
    return 0;
}

} // namespace

ModuleText ModuleToText(const ModuleRecord& record) {
    const ModuleHeader& header = record.header;
    TomlWriter out;
    ModuleText text;
    out.Text("title", FieldView(header.title));
    out.Text("group", FieldView(header.groupId));
    out.Choice("type", kTypeNames, header.type);
    const bool required = (header.flags & kFlagRequired) != 0;
    const int state = StateIndexOfFlags(header.flags);
    out.Boolean("required", required);
    out.Name("state", kStateNames[static_cast<std::size_t>(state)]);
    // Bits the sheet never writes (a file of another program) travel as the number itself.
    if (header.flags != FlagsOfState(state, required))
        out.Integer("flags", header.flags);
    out.Text("created", FieldView(header.createdAt));
    out.Text("creator", FieldView(header.creator));
    out.Text("modified", FieldView(header.modifiedAt));
    out.Text("modifier", FieldView(header.modifier));
    if (header.type == kDllModule) {
        if (record.body.find(',') != std::string::npos) {
            std::string library;
            std::string function;
            SplitDllBody(record.body, library, function);
            out.Text("library", library);
            out.Text("function", function);
        } else {
            out.Text("body", record.body);
        }
    } else if (std::optional<std::string> sql = ExactUtf8(record.body)) {
        text.sql = std::move(*sql);
    } else {
        out.Text("sql", record.body);
    }
    out.Text("description", record.description);

    const int32_t count = std::clamp<int32_t>(header.variableCount, 0, kMaxVariables);
    std::vector<std::string> remarks;
    std::vector<std::string> testValues;
    for (int32_t i = 0; i < count; ++i) {
        const std::string name = FieldText(record.variables[static_cast<std::size_t>(i)].name);
        remarks.push_back(LookupListValue(record.remarks, name));
        testValues.push_back(LookupListValue(record.testValues, name));
    }
    const bool remarksApart = RebuildList(record, remarks) != record.remarks;
    const bool testValuesApart = RebuildList(record, testValues) != record.testValues;
    if (remarksApart)
        out.Text("remarks", record.remarks);
    if (testValuesApart)
        out.Text("test_values", record.testValues);
    for (int32_t i = 0; i < count; ++i) {
        const VariableDefinition& variable = record.variables[static_cast<std::size_t>(i)];
        out.TableArray("variable");
        out.Text("name", FieldView(variable.name));
        out.Choice("attribute", kAttributeNames, variable.attribute);
        out.Choice("type", kVariableTypeNames, variable.type);
        out.Integer("length", variable.length);
        if (!testValuesApart)
            out.Text("test_value", testValues[static_cast<std::size_t>(i)]);
        if (!remarksApart)
            out.Text("remark", remarks[static_cast<std::size_t>(i)]);
    }
    text.fields = out.Take();
    return text;
}

std::string CatalogueToText(const GroupCatalogue& catalogue) {
    TomlWriter out;
    const std::optional<std::vector<FlowEntry>> entries = FlowEntries(catalogue.flowTable);
    if (!entries)
        out.Text("flow_table", catalogue.flowTable);
    const int count = std::clamp(catalogue.groupCount, 0, kMaxGroups);
    for (int i = 0; i < count; ++i) {
        const GroupRecord& group = catalogue.groups[static_cast<std::size_t>(i)];
        out.TableArray("group");
        out.Text("id", FieldView(group.identifier));
        out.Text("name", FieldView(group.name));
    }
    if (entries) {
        for (const FlowEntry& entry : *entries) {
            out.TableArray("flow");
            out.Text("id", entry.identifier);
            out.Text("text", entry.text);
        }
    }
    return out.Take();
}

bool ModuleFromText(std::string_view fields, const std::optional<std::string>& sql, const std::string& fieldsFile,
                    const std::string& sqlFile, ModuleRecord& record, std::vector<TextFinding>& findings) {
    TomlReader in(fieldsFile, findings);
    toml::table table;
    if (!in.Parse(fields, table))
        return false;
    in.OnlyKeys(table,
                {"title", "group", "type", "required", "state", "flags", "created", "creator", "modified", "modifier",
                 "library", "function", "body", "sql", "description", "remarks", "test_values", "variable"});
    ModuleRecord made;
    ModuleHeader& header = made.header;
    SetFieldText(header.keyword, kModuleKeyword);
    in.Field(table, "title", header.title);
    in.Field(table, "group", header.groupId);
    in.Field(table, "created", header.createdAt);
    in.Field(table, "creator", header.creator);
    in.Field(table, "modified", header.modifiedAt);
    in.Field(table, "modifier", header.modifier);
    const std::optional<long long> type = in.Choice(table, "type", kTypeNames, INT32_MIN, INT32_MAX);
    header.type = static_cast<int32_t>(type.value_or(kSqlModule));
    const std::optional<bool> required = in.Boolean(table, "required");
    const std::optional<long long> state = in.Choice(table, "state", kStateNames, 0, -1);
    if (table.get("flags")) {
        if (const std::optional<long long> flags = in.Integer(table, "flags", INT32_MIN, INT32_MAX)) {
            header.flags = static_cast<int32_t>(*flags);
            if (required && state &&
                (*required != ((header.flags & kFlagRequired) != 0) || *state != StateIndexOfFlags(header.flags)))
                in.Fail(*table.get("flags"), "\"flags\" disagrees with \"required\" and \"state\"");
        }
    } else if (required && state) {
        header.flags = FlagsOfState(static_cast<int>(*state), *required);
    }

    if (header.type == kDllModule) {
        if (table.get("body")) {
            if (table.get("library") || table.get("function"))
                in.Fail(*table.get("body"), "a DLL module has \"body\" or \"library\" and \"function\", not both");
            if (std::optional<std::string> body = in.Text(table, "body", -1))
                made.body = std::move(*body);
        } else {
            const std::optional<std::string> library = in.Text(table, "library", -1);
            const std::optional<std::string> function = in.Text(table, "function", -1);
            if (library && function)
                made.body = JoinDllBody(*library, *function);
        }
        if (sql)
            in.FailIn(sqlFile, 0, "a DLL module has no SQL file");
    } else {
        for (const char* key : {"library", "function", "body"})
            if (const toml::node* node = table.get(key))
                in.Fail(*node, "\"" + std::string(key) + "\" belongs to a DLL module");
        if (table.get("sql")) {
            if (sql)
                in.Fail(*table.get("sql"), "the SQL stands both here and in " + sqlFile);
            if (std::optional<std::string> body = in.Text(table, "sql", -1))
                made.body = std::move(*body);
        } else if (!sql) {
            in.Fail(0, "an SQL module needs its SQL file " + sqlFile);
        } else if (std::optional<std::string> body = Utf8ToGbk(*sql)) {
            if (body->find('\0') != std::string::npos)
                in.FailIn(sqlFile, 0, "the SQL holds a zero byte");
            made.body = std::move(*body);
        } else {
            in.FailIn(sqlFile, FirstLineOutsideGbk(*sql), "a character outside GBK (or not UTF-8)");
        }
    }
    if (std::optional<std::string> description = in.Text(table, "description", -1))
        made.description = std::move(*description);

    const toml::node* variablesNode = table.get("variable");
    const toml::array* variables = variablesNode ? variablesNode->as_array() : nullptr;
    if (variablesNode && (!variables || !variables->is_array_of_tables()))
        in.Fail(*variablesNode, "\"variable\" must be tables [[variable]]");
    std::vector<std::string> remarks;
    std::vector<std::string> testValues;
    const bool remarksApart = table.get("remarks") != nullptr;
    const bool testValuesApart = table.get("test_values") != nullptr;
    if (variables && variables->is_array_of_tables()) {
        if (variables->size() > static_cast<std::size_t>(kMaxVariables))
            in.Fail((*variables)[kMaxVariables], "more than " + std::to_string(kMaxVariables) + " variables");
        const std::size_t count = std::min<std::size_t>(variables->size(), kMaxVariables);
        header.variableCount = static_cast<int32_t>(count);
        for (std::size_t i = 0; i < count; ++i) {
            const toml::table& entry = *(*variables)[i].as_table();
            in.OnlyKeys(entry, {"name", "attribute", "type", "length", "test_value", "remark"});
            VariableDefinition& variable = made.variables[i];
            in.Field(entry, "name", variable.name);
            variable.attribute =
                static_cast<uint8_t>(in.Choice(entry, "attribute", kAttributeNames, 0, 255).value_or(0));
            variable.type = static_cast<uint8_t>(in.Choice(entry, "type", kVariableTypeNames, 0, 255).value_or(0));
            variable.length = static_cast<int32_t>(in.Integer(entry, "length", INT32_MIN, INT32_MAX).value_or(0));
            for (auto [key, apart, values] : {std::tuple{"test_value", testValuesApart, &testValues},
                                              std::tuple{"remark", remarksApart, &remarks}}) {
                if (apart) {
                    if (const toml::node* node = entry.get(key))
                        in.Fail(*node, "\"" + std::string(key) + "\" stands in the module's list already");
                    continue;
                }
                std::optional<std::string> value = in.Text(entry, key, -1);
                if (value && value->find('\n') != std::string::npos) {
                    in.Fail(*entry.get(key), "\"" + std::string(key) + "\" must be one line");
                    value.reset();
                }
                values->push_back(value.value_or(std::string()));
            }
        }
    }
    if (remarksApart) {
        if (std::optional<std::string> list = in.Text(table, "remarks", -1))
            made.remarks = std::move(*list);
    } else {
        made.remarks = RebuildList(made, remarks);
    }
    if (testValuesApart) {
        if (std::optional<std::string> list = in.Text(table, "test_values", -1))
            made.testValues = std::move(*list);
    } else {
        made.testValues = RebuildList(made, testValues);
    }
    header.bodyLength = static_cast<int32_t>(std::min<std::size_t>(made.body.size() + 1, INT32_MAX));
    header.descriptionLength = static_cast<int32_t>(std::min<std::size_t>(made.description.size() + 1, INT32_MAX));
    header.remarkLength = static_cast<int32_t>(std::min<std::size_t>(made.remarks.size() + 1, INT32_MAX));
    if (!in.Ok())
        return false;
    made.fileName = record.fileName;
    record = std::move(made);
    return true;
}

bool CatalogueFromText(std::string_view text, const std::string& file, GroupCatalogue& catalogue,
                       std::vector<TextFinding>& findings) {
    TomlReader in(file, findings);
    toml::table table;
    if (!in.Parse(text, table))
        return false;
    in.OnlyKeys(table, {"flow_table", "group", "flow"});
    GroupCatalogue made;
    made.Reset(catalogue.path);
    auto tables = [&](std::string_view key) -> const toml::array* {
        const toml::node* node = table.get(key);
        if (!node)
            return nullptr;
        const toml::array* array = node->as_array();
        if (!array || !array->is_array_of_tables()) {
            in.Fail(*node, "\"" + std::string(key) + "\" must be tables [[" + std::string(key) + "]]");
            return nullptr;
        }
        return array;
    };
    if (const toml::array* groups = tables("group")) {
        if (groups->size() > static_cast<std::size_t>(kMaxGroups))
            in.Fail((*groups)[kMaxGroups], "more than " + std::to_string(kMaxGroups) + " groups");
        const std::size_t count = std::min<std::size_t>(groups->size(), kMaxGroups);
        made.groupCount = static_cast<int32_t>(count);
        for (std::size_t i = 0; i < count; ++i) {
            const toml::table& entry = *(*groups)[i].as_table();
            in.OnlyKeys(entry, {"id", "name"});
            in.Field(entry, "id", made.groups[i].identifier);
            in.Field(entry, "name", made.groups[i].name);
        }
    }
    const toml::array* flows = tables("flow");
    if (table.get("flow_table")) {
        if (flows)
            in.Fail(*table.get("flow"), "the flow texts stand in \"flow_table\" already");
        if (std::optional<std::string> flowTable = in.Text(table, "flow_table", -1))
            made.flowTable = std::move(*flowTable);
    } else if (flows) {
        std::vector<FlowEntry> entries;
        for (const toml::node& node : *flows) {
            const toml::table& entry = *node.as_table();
            in.OnlyKeys(entry, {"id", "text"});
            std::optional<std::string> identifier = in.Text(entry, "id", -1);
            if (identifier &&
                (identifier->find('=') != std::string::npos || identifier->find('&') != std::string::npos)) {
                in.Fail(*entry.get("id"), "a flow entry's \"id\" holds no \"=\" or \"&\"");
                identifier.reset();
            }
            std::optional<std::string> flowText = in.Text(entry, "text", -1);
            if (identifier && flowText)
                entries.push_back({std::move(*identifier), std::move(*flowText)});
        }
        made.flowTable = FlowTableOf(entries);
    }
    if (!in.Ok())
        return false;
    catalogue = std::move(made);
    return true;
}

namespace {

std::filesystem::path ModuleTextPath(const std::filesystem::path& dir, const std::string& fileName,
                                     const char* extension) {
    return dir / kModuleTextFolder / std::filesystem::path(GbkToUtf8(fileName) + extension);
}

FileStatus WriteIfChanged(AtomicFileWriter& writer, const std::filesystem::path& path, const std::string& bytes) {
    std::string old;
    if (ReadWholeFile(path, old) && old == bytes)
        return Ok();
    FileStatus written = writer.Write(path, bytes);
    if (!written)
        written.error().message = path.string() + ": " + written.error().message;
    return written;
}

FileStatus WithPath(FileStatus status, const std::filesystem::path& path) {
    if (IsIoFailure(status))
        status.error().message = path.string() + ": " + status.error().message;
    return status;
}

// Editors on Windows start a UTF-8 file with a byte-order mark; it is no part of the text.
void DropByteOrderMark(std::string& text) {
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
}

bool EndsWith(const std::string& text, std::string_view end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

FileStatus ExportTextForm(const std::filesystem::path& cataloguePath, const std::filesystem::path& dir, int& modules) {
    modules = 0;
    GroupCatalogue catalogue;
    if (FileStatus loaded = LoadCatalogue(catalogue, cataloguePath); !loaded)
        return WithPath(loaded, cataloguePath);
    std::vector<std::string> groupIds;
    for (int g = 0; g < catalogue.groupCount; ++g)
        groupIds.push_back(FieldText(catalogue.groups[static_cast<std::size_t>(g)].identifier));
    // Modules of no group here, and files that are no modules, are the lint's to report.
    std::vector<std::string> names;
    if (FileStatus listed = ListMemberModules(catalogue.Folder(), groupIds, names); !listed) {
        const std::filesystem::path where =
            listed.error().file.empty() ? catalogue.Folder() : ModuleFilePath(catalogue.Folder(), listed.error().file);
        return WithPath(listed, where);
    }

    std::error_code error;
    std::filesystem::create_directories(dir / kModuleTextFolder, error);
    if (error)
        return WithPath(Fail(FileError::FromErrno(error.value())), dir / kModuleTextFolder);
    AtomicFileWriter writer;
    // Line endings must reach the repository and come back untouched.
    if (FileStatus written = WriteIfChanged(writer, dir / ".gitattributes", "* -text\n"); !written)
        return written;
    if (FileStatus written = WriteIfChanged(writer, dir / kCatalogueTextName, CatalogueToText(catalogue)); !written)
        return written;

    std::set<std::filesystem::path> wanted;
    ModuleRecord record;
    for (const std::string& name : names) {
        const FileStatus loaded = LoadModuleFile(record, catalogue.Folder(), name);
        if (IsIoFailure(loaded))
            return WithPath(loaded, ModuleFilePath(catalogue.Folder(), name));
        if (!loaded || catalogue.FindGroup(FieldText(record.header.groupId)) < 0)
            continue; // changed since the headers were read
        const ModuleText text = ModuleToText(record);
        const std::filesystem::path fieldsPath = ModuleTextPath(dir, name, kFieldsExtension);
        if (FileStatus written = WriteIfChanged(writer, fieldsPath, text.fields); !written)
            return written;
        wanted.insert(fieldsPath);
        if (text.sql) {
            const std::filesystem::path sqlPath = ModuleTextPath(dir, name, kSqlExtension);
            if (FileStatus written = WriteIfChanged(writer, sqlPath, *text.sql); !written)
                return written;
            wanted.insert(sqlPath);
        }
        ++modules;
    }
    // Text files of modules that are gone (or left their groups) go too; other files stay.
    for (const auto& entry : std::filesystem::directory_iterator(dir / kModuleTextFolder, error)) {
        const std::string file = entry.path().filename().string();
        if ((EndsWith(file, kFieldsExtension) || EndsWith(file, kSqlExtension)) && !wanted.count(entry.path()))
            std::filesystem::remove(entry.path(), error);
    }
    return Ok();
}

FileStatus ImportTextForm(const std::filesystem::path& dir, const std::filesystem::path& cataloguePath,
                          std::vector<TextFinding>& findings, int& modules) {
    modules = 0;
    const std::filesystem::path catalogueText = dir / kCatalogueTextName;
    std::string bytes;
    if (FileStatus read = ReadWholeFile(catalogueText, bytes); !read)
        return WithPath(read, catalogueText);
    DropByteOrderMark(bytes);
    GroupCatalogue catalogue;
    catalogue.path = cataloguePath;
    CatalogueFromText(bytes, kCatalogueTextName, catalogue, findings);

    std::vector<std::string> fieldFiles;
    std::set<std::string> sqlFiles;
    std::error_code error;
    const std::filesystem::path moduleDir = dir / kModuleTextFolder;
    if (std::filesystem::is_directory(moduleDir, error)) {
        for (const auto& entry : std::filesystem::directory_iterator(moduleDir, error)) {
            const std::string file = entry.path().filename().string();
            if (EndsWith(file, kFieldsExtension))
                fieldFiles.push_back(file);
            else if (EndsWith(file, kSqlExtension))
                sqlFiles.insert(file);
        }
        if (error)
            return WithPath(Fail(FileError::FromErrno(error.value())), moduleDir);
    }
    std::sort(fieldFiles.begin(), fieldFiles.end());

    std::vector<ModuleRecord> records;
    for (const std::string& file : fieldFiles) {
        const std::string label = std::string(kModuleTextFolder) + "/" + file;
        const std::string stem = file.substr(0, file.size() - std::string_view(kFieldsExtension).size());
        const std::string sqlFile = stem + kSqlExtension;
        const std::string sqlLabel = std::string(kModuleTextFolder) + "/" + sqlFile;
        ModuleRecord record;
        const std::optional<std::string> fileName = Utf8ToGbk(stem);
        if (!fileName || !IsAcceptableModuleFileName(*fileName)) {
            findings.push_back({label, 0, "\"" + stem + "\" is not a module file name the tool accepts"});
            continue;
        }
        record.fileName = *fileName;
        std::string fields;
        if (FileStatus read = ReadWholeFile(moduleDir / file, fields); !read)
            return WithPath(read, moduleDir / file);
        DropByteOrderMark(fields);
        std::optional<std::string> sql;
        if (sqlFiles.erase(sqlFile)) {
            sql.emplace();
            if (FileStatus read = ReadWholeFile(moduleDir / sqlFile, *sql); !read)
                return WithPath(read, moduleDir / sqlFile);
            DropByteOrderMark(*sql);
        }
        if (ModuleFromText(fields, sql, label, sqlLabel, record, findings))
            records.push_back(std::move(record));
    }
    for (const std::string& orphan : sqlFiles)
        findings.push_back({std::string(kModuleTextFolder) + "/" + orphan, 0, "SQL file without its module's .toml"});
    if (!findings.empty())
        return Fail(FileError::Invalid("the text form has errors"));

    const std::filesystem::path folder = catalogue.Folder().empty() ? std::filesystem::path(".") : catalogue.Folder();
    std::filesystem::create_directories(folder, error);
    if (error)
        return WithPath(Fail(FileError::FromErrno(error.value())), folder);
    // All or nothing: a reader of the folder sees the modules and the catalogue as they were or
    // as the text form has them, never a mix.
    std::vector<FolderFile> files;
    for (const ModuleRecord& record : records)
        files.push_back({ModuleFilePath(folder, record.fileName).filename().string(), SerializeModule(record)});
    files.push_back({cataloguePath.filename().string(), SerializeCatalogue(catalogue)});
    if (FileStatus committed = CommitFolderFiles(folder, files); !committed)
        return committed;
    modules = static_cast<int>(records.size());
    return Ok();
}

} // namespace kestrel
