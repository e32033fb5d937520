// kestrel-tool show FILE: one stored file as a JSON object, for people and scripts.
#include "accounts/UserTable.h"
#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "tool/ToolCommands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

namespace kestrel::tool {

namespace {

constexpr int kExitShown = 0;
constexpr int kExitInvalid = 2;
constexpr int kExitUnreadable = 3;

// A JSON object whose members keep the order they are added in, as the README documents
// them (QJsonObject sorts its keys); every key and value is written by QJsonDocument.
class OrderedObject {
public:
    OrderedObject& Add(const char* key, const QJsonValue& value) {
        m_out += m_out.empty() ? '{' : ',';
        m_out += Encoded(QString::fromLatin1(key)) + ':' + Encoded(value);
        return *this;
    }
    std::string Text() const { return m_out.empty() ? std::string("{}") : m_out + '}'; }

private:
    static std::string Encoded(const QJsonValue& value) {
        const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        return array.mid(1, array.size() - 2).toStdString(); // without the array's brackets
    }
    std::string m_out;
};

QString Utf8(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
QString FromGbk(std::string_view gbk) {
    return Utf8(GbkToUtf8(gbk));
}

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
    QJsonArray variables;
    for (int i = 0; i < h.variableCount; ++i) {
        const VariableDefinition& v = m.variables[static_cast<std::size_t>(i)];
        variables.append(QJsonObject{{QStringLiteral("name"), FromGbk(FieldText(v.name))},
                                     {QStringLiteral("attribute"), v.attribute},
                                     {QStringLiteral("type"), v.type},
                                     {QStringLiteral("length"), v.length}});
    }
    OrderedObject json;
    json.Add("kind", QStringLiteral("module")).Add("file", Utf8(file));
    json.Add("groupId", FromGbk(FieldText(h.groupId))).Add("title", FromGbk(FieldText(h.title)));
    json.Add("createdAt", FromGbk(FieldText(h.createdAt))).Add("creator", FromGbk(FieldText(h.creator)));
    json.Add("modifiedAt", FromGbk(FieldText(h.modifiedAt))).Add("modifier", FromGbk(FieldText(h.modifier)));
    json.Add("type", h.type).Add("flags", h.flags);
    json.Add("state", Utf8(StateText(h.flags))).Add("required", (h.flags & kFlagRequired) != 0);
    json.Add("body", FromGbk(m.body)).Add("description", FromGbk(m.description));
    json.Add("variables", variables);
    json.Add("remarks", FromGbk(m.remarks)).Add("testValues", FromGbk(m.testValues));
    return json.Text();
}

std::string CatalogueJson(const GroupCatalogue& c) {
    QJsonArray groups;
    for (int i = 0; i < c.groupCount; ++i) {
        const GroupRecord& g = c.groups[static_cast<std::size_t>(i)];
        const std::string id = FieldText(g.identifier);
        groups.append(QJsonObject{{QStringLiteral("id"), FromGbk(id)},
                                  {QStringLiteral("name"), FromGbk(FieldText(g.name))},
                                  {QStringLiteral("flow"), FromGbk(GetFlowText(c.flowTable, id))}});
    }
    OrderedObject json;
    json.Add("kind", QStringLiteral("catalogue")).Add("groups", groups).Add("flowTable", FromGbk(c.flowTable));
    return json.Text();
}

// Names only: the passwords never leave the file.
std::string UsersJson(const UserTable& t) {
    QJsonArray users;
    for (int i = 0; i < t.count; ++i)
        users.append(
            QJsonObject{{QStringLiteral("name"), FromGbk(FieldText(t.records[static_cast<std::size_t>(i)].name))}});
    OrderedObject json;
    json.Add("kind", QStringLiteral("users")).Add("count", t.count).Add("users", users);
    return json.Text();
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
