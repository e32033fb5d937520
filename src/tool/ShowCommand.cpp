// kestrel-tool show FILE: one stored file as a JSON object, for people and scripts.
#include "accounts/UserTable.h"
#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "tool/ToolCommands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

namespace kestrel::tool {

namespace {

constexpr int kExitShown = 0;
constexpr int kExitInvalid = 2;
constexpr int kExitUnreadable = 3;

// A JSON object written in the order its members are added; texts are UTF-8.
class JsonWriter {
public:
    JsonWriter& Open(char bracket) {
        Separate();
        m_out += bracket;
        m_first = true;
        return *this;
    }
    JsonWriter& Close(char bracket) {
        m_out += bracket;
        m_first = false;
        return *this;
    }
    JsonWriter& Key(std::string_view key) {
        Separate();
        AppendString(key);
        m_out += ':';
        m_first = true; // the value follows without a comma
        return *this;
    }
    JsonWriter& String(std::string_view utf8) {
        Separate();
        AppendString(utf8);
        return *this;
    }
    JsonWriter& Gbk(std::string_view gbk) { return String(GbkToUtf8(gbk)); }
    JsonWriter& Number(long long value) {
        Separate();
        m_out += std::to_string(value);
        return *this;
    }
    JsonWriter& Bool(bool value) {
        Separate();
        m_out += value ? "true" : "false";
        return *this;
    }
    const std::string& Text() const { return m_out; }

private:
    void Separate() {
        if (!m_first)
            m_out += ',';
        m_first = false;
    }
    void AppendString(std::string_view utf8) {
        m_out += '"';
        for (const char c : utf8) {
            switch (c) {
            case '"':
                m_out += "\\\"";
                break;
            case '\\':
                m_out += "\\\\";
                break;
            case '\n':
                m_out += "\\n";
                break;
            case '\r':
                m_out += "\\r";
                break;
            case '\t':
                m_out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                    m_out += escaped;
                } else {
                    m_out += c;
                }
            }
        }
        m_out += '"';
    }

    std::string m_out;
    bool m_first = true;
};

const char* StateText(int32_t flags) {
    switch (StateIndexOfFlags(flags)) {
    case 0:
        return "\xE6\x9C\xAA\xE5\xAE\x8C\xE6\x88\x90"; // 未完成
    case 1:
        return "\xE6\xB5\x8B\xE8\xAF\x95"; // 测试
    default:
        return "\xE6\xB5\x8B\xE8\xAF\x95\xE9\x80\x9A\xE8\xBF\x87"; // 测试通过
    }
}

std::string ModuleJson(const ModuleRecord& m, const std::string& file) {
    const ModuleHeader& h = m.header;
    JsonWriter json;
    json.Open('{');
    json.Key("kind").String("module").Key("file").String(file);
    json.Key("groupId").Gbk(FieldText(h.groupId)).Key("title").Gbk(FieldText(h.title));
    json.Key("createdAt").Gbk(FieldText(h.createdAt)).Key("creator").Gbk(FieldText(h.creator));
    json.Key("modifiedAt").Gbk(FieldText(h.modifiedAt)).Key("modifier").Gbk(FieldText(h.modifier));
    json.Key("type").Number(h.type).Key("flags").Number(h.flags);
    json.Key("state").String(StateText(h.flags)).Key("required").Bool(h.flags & kFlagRequired);
    json.Key("body").Gbk(m.body).Key("description").Gbk(m.description);
    json.Key("variables").Open('[');
    for (int i = 0; i < h.variableCount; ++i) {
        const VariableDefinition& v = m.variables[static_cast<std::size_t>(i)];
        json.Open('{').Key("name").Gbk(FieldText(v.name)).Key("attribute").Number(v.attribute);
        json.Key("type").Number(v.type).Key("length").Number(v.length).Close('}');
    }
    json.Close(']');
    json.Key("remarks").Gbk(m.remarks).Key("testValues").Gbk(m.testValues);
    return json.Close('}').Text();
}

std::string CatalogueJson(const GroupCatalogue& c) {
    JsonWriter json;
    json.Open('{').Key("kind").String("catalogue").Key("groups").Open('[');
    for (int i = 0; i < c.groupCount; ++i) {
        const GroupRecord& g = c.groups[static_cast<std::size_t>(i)];
        const std::string id = FieldText(g.identifier);
        json.Open('{').Key("id").Gbk(id).Key("name").Gbk(FieldText(g.name));
        json.Key("flow").Gbk(GetFlowText(c.flowTable, id)).Close('}');
    }
    json.Close(']').Key("flowTable").Gbk(c.flowTable);
    return json.Close('}').Text();
}

// Names only: the passwords never leave the file.
std::string UsersJson(const UserTable& t) {
    JsonWriter json;
    json.Open('{').Key("kind").String("users").Key("count").Number(t.count).Key("users").Open('[');
    for (int i = 0; i < t.count; ++i)
        json.Open('{').Key("name").Gbk(FieldText(t.records[static_cast<std::size_t>(i)].name)).Close('}');
    json.Close(']');
    return json.Close('}').Text();
}

// The path as the output shows it (UTF-8): a path in GBK bytes (copied from another system)
// converted, anything else as the command line gave it.
std::string ShownPath(const std::string& bytes, const std::string& argumentText) {
    if (Utf16ToUtf8(Utf8ToUtf16(bytes)) != bytes && IsValidGbk(bytes))
        return GbkToUtf8(bytes);
    return argumentText;
}

int Refuse(int code, const std::string& file, const std::string& why) {
    std::fprintf(stderr, "kestrel-tool show: %s: %s\n", file.c_str(), why.c_str());
    return code;
}

} // namespace

int ShowCommand(const QStringList& args) {
    CommandLine line("show", "FILE",
                     "Prints a module (.kst), catalogue (.MGP) or user file (kestrel.usr) as one JSON "
                     "object (UTF-8). Passwords are never printed.",
                     {{kExitShown, "shown"},
                      {kExitInvalid, "not a valid file (reason on stderr)"},
                      {kExitUnreadable, "cannot be read (the system's error on stderr)"},
                      {kExitUsage, "usage"}});
    line.Parser().addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The file to show."));
    if (const int exit = line.Parse(args, 1, 1); exit >= 0)
        return exit;
    const QString argument = line.Parser().positionalArguments().front();
    if (argument.isEmpty())
        return line.UsageError(QStringLiteral("empty file name"));
    const std::filesystem::path path = PathArgument(argument);
    const std::string file = ShownPath(path.native(), ArgumentText(argument));

    // Only the head first: the keyword decides what is read, and each reader reads no more
    // than its file's own header declares.
    StoredFile stored;
    std::string head;
    FileStatus opened = stored.Open(path);
    if (opened)
        opened = stored.ReadAt(0, std::min<std::uint64_t>(16, stored.Size()), head);
    if (!opened)
        return Refuse(kExitUnreadable, file, GbkToUtf8(opened.error().message));

    // The keyword decides; the name only where the layout has no keyword (the user file) or
    // to say what a damaged file should have been.
    const std::string keyword = head.substr(0, head.find('\0'));
    const std::string name = path.filename().string();
    auto failed = [&](const FileStatus& status, const char* what) {
        if (status.error().IsIo())
            return Refuse(kExitUnreadable, file, GbkToUtf8(status.error().message));
        return Refuse(kExitInvalid, file, what + status.error().message);
    };
    std::string json;
    if (keyword == kModuleKeyword || (keyword != kCatalogueKeyword && IsModuleFileName(name))) {
        ModuleRecord record;
        if (FileStatus status = ReadModuleFile(record, path); !status)
            return failed(status, "not a module file: ");
        json = ModuleJson(record, file);
    } else if (keyword == kCatalogueKeyword || EndsWithIgnoringAsciiCase(name, ".mgp")) {
        GroupCatalogue catalogue;
        if (FileStatus status = LoadCatalogue(catalogue, path); !status)
            return failed(status, "not a catalogue file: ");
        json = CatalogueJson(catalogue);
    } else if (EndsWithIgnoringAsciiCase(name, ".usr") || EndsWithIgnoringAsciiCase(name, ".usr.bak")) {
        std::string bytes;
        UserTable table;
        if (FileStatus read = ReadWholeFile(path, bytes); !read)
            return Refuse(kExitUnreadable, file, GbkToUtf8(read.error().message));
        if (FileStatus status = ParseUserTableBytes(table, bytes); !status)
            return Refuse(kExitInvalid, file, "not a user file: " + status.error().message);
        json = UsersJson(table);
    } else {
        return Refuse(kExitInvalid, file, "neither a module, a catalogue nor a user file");
    }
    json += '\n';
    std::fwrite(json.data(), 1, json.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitShown : kExitUnreadable;
}

} // namespace kestrel::tool
