// Runs the built kestrel-tool on files written from the stored layouts.
#include "support/Builders.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel::testsupport;

namespace {

using ToolRun = CommandRun;

ToolRun Show(const TempDir& dir, const std::vector<std::string>& args) {
    std::string command = "'" KESTREL_TOOL_PATH "' show";
    for (const auto& a : args)
        command += " '" + a + "'";
    const auto errFile = dir / "stderr.txt";
    command += " 2>'" + errFile.string() + "'";
    ToolRun run = RunCommandLine(command);
    run.err = ReadBytes(errFile);
    return run;
}

QJsonObject Json(const ToolRun& run) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "one line";
    return doc.object();
}

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

} // namespace

TEST(ShowCommand, ModuleAsJson) {
    TempDir dir;
    ModuleDraft fields;
    fields.title = "\xC9\xF3\xBC\xC6"; // 审计
    fields.flags = 3;
    fields.type = 1;
    fields.body = "CHECK.DLL,RunAudit";
    fields.description = "line\r\n\"quoted\"";
    fields.variables = {{"A", 1, 3, 8}};
    fields.remarks = "A,r\n";
    fields.testValues = "A,1.5\n";
    const auto file = dir / "m.kst";
    WriteBytes(file, ModuleBytes(fields));
    const ToolRun run = Show(dir, {file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject o = Json(run);
    EXPECT_EQ(o["kind"].toString(), "module");
    EXPECT_EQ(o["file"].toString().toStdString(), file.string());
    EXPECT_EQ(o["groupId"].toString(), "G1");
    EXPECT_EQ(o["title"].toString(), U("审计"));
    EXPECT_EQ(o["createdAt"].toString(), "2024-01-02 03:04:05");
    EXPECT_EQ(o["modifier"].toString(), "SA");
    EXPECT_EQ(o["type"].toInt(), 1);
    EXPECT_EQ(o["flags"].toInt(), 3);
    EXPECT_EQ(o["state"].toString(), U("测试"));
    EXPECT_TRUE(o["required"].toBool());
    EXPECT_EQ(o["body"].toString(), "CHECK.DLL,RunAudit");
    EXPECT_EQ(o["description"].toString(), "line\r\n\"quoted\"");
    const QJsonObject variable = o["variables"].toArray().at(0).toObject();
    EXPECT_EQ(variable["name"].toString(), "A");
    EXPECT_EQ(variable["attribute"].toInt(), 1);
    EXPECT_EQ(variable["type"].toInt(), 3);
    EXPECT_EQ(variable["length"].toInt(), 8);
    EXPECT_EQ(o["remarks"].toString(), "A,r\n");
    EXPECT_EQ(o["testValues"].toString(), "A,1.5\n");
    EXPECT_EQ(run.out.rfind("{\"kind\":\"module\",\"file\":", 0), 0u) << "members in their documented order";
}

TEST(ShowCommand, CatalogueAsJson) {
    TempDir dir;
    const auto file = dir / "audit.dat"; // the keyword decides, not the name
    WriteBytes(file, CatalogueBytes({{"G1", "\xB2\xC6\xCE\xF1"}, {"g2", "two"}}, "&g1=a&&b&g2=x"));
    const ToolRun run = Show(dir, {file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject o = Json(run);
    EXPECT_EQ(o["kind"].toString(), "catalogue");
    const QJsonArray groups = o["groups"].toArray();
    ASSERT_EQ(groups.size(), 2);
    EXPECT_EQ(groups[0].toObject()["id"].toString(), "G1");
    EXPECT_EQ(groups[0].toObject()["name"].toString(), U("财务"));
    EXPECT_EQ(groups[0].toObject()["flow"].toString(), "a&b");
    EXPECT_EQ(groups[1].toObject()["flow"].toString(), "x");
    EXPECT_EQ(o["flowTable"].toString(), "&g1=a&&b&g2=x");
}

TEST(ShowCommand, UsersWithoutPasswords) {
    TempDir dir;
    Bytes users;
    users.I32(2);
    for (const std::string& name : {std::string("SA"), std::string("\xC1\xF5")}) {
        std::string scrambled = name;
        for (char& c : scrambled)
            c = static_cast<char>(c ^ 0x80);
        users.Text(scrambled, 11).Text("\xF3\xE5\xE3\xF2\xE5\xF4", 21); // "secret" scrambled
    }
    WriteBytes(dir / "kestrel.usr", users);
    const ToolRun run = Show(dir, {(dir / "kestrel.usr").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject o = Json(run);
    EXPECT_EQ(o["kind"].toString(), "users");
    EXPECT_EQ(o["count"].toInt(), 2);
    EXPECT_EQ(o["users"].toArray()[1].toObject()["name"].toString(), U("刘"));
    EXPECT_EQ(run.out.find("secret"), std::string::npos);
    EXPECT_EQ(run.out.find("password"), std::string::npos);
}

TEST(ShowCommand, ExitCodesForInvalidUnreadableAndUsage) {
    TempDir dir;
    std::string cut = ModuleBytes(ModuleDraft{});
    cut.pop_back();
    WriteBytes(dir / "cut.kst", cut);
    WriteBytes(dir / "bad.MGP", CatalogueBytes({}, "", "MODULE_GROUPX"));
    WriteBytes(dir / "kestrel.usr", Bytes().I32(101).Str());
    WriteBytes(dir / "notes.txt", "hello");
    for (const char* name : {"cut.kst", "bad.MGP", "kestrel.usr", "notes.txt"}) {
        const ToolRun run = Show(dir, {(dir / name).string()});
        EXPECT_EQ(run.exitCode, 2) << name;
        EXPECT_TRUE(run.out.empty()) << name;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << name << ": " << run.err;
    }
    const ToolRun missing = Show(dir, {(dir / "none.kst").string()});
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.err.find(std::strerror(ENOENT)), std::string::npos) << missing.err;
    EXPECT_EQ(Show(dir, {dir.Path().string()}).exitCode, 3); // a folder
    EXPECT_EQ(Show(dir, {}).exitCode, 64);
    EXPECT_EQ(Show(dir, {"a.kst", "b.kst"}).exitCode, 64);
    EXPECT_EQ(Show(dir, {"--bogus"}).exitCode, 64);
}

// A module named in GBK bytes (copied from another system) is shown with its name converted; a
// sparse one is refused by name without reading what its header claims.
TEST(ShowCommand, GbkNamedAndSparseModules) {
    TempDir dir;
    const std::string gbkPath = (dir / "\xD5\xCB.kst").string();
    WriteBytes(gbkPath, ModuleBytes({.title = "gbk"}));
    const ToolRun shown = Show(dir, {gbkPath});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    const QJsonObject module = Json(shown);
    EXPECT_TRUE(module["file"].toString().endsWith(U("账.kst"))) << module["file"].toString().toStdString();
    EXPECT_EQ(module["title"].toString(), U("gbk"));

    ASSERT_TRUE(WriteSparseModule(dir / "huge.kst", ModuleBytes({})));
    const ToolRun refused = Show(dir, {(dir / "huge.kst").string()});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.err.find("huge.kst: "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(std::strerror(EFBIG)), std::string::npos) << refused.err;
}
