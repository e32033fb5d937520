#pragma once
// A throwaway home for one test: config folder, program folder (user file) and module folder
// all inside a temporary directory, so no test touches the real settings or files.
#include "accounts/TextRoutines.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <string>

inline void InitKestrelResources() {
    Q_INIT_RESOURCE(kestrel);
}

namespace kestrel::test {

class TestWorkspace {
public:
    TestWorkspace() {
        QDir(m_dir.path()).mkpath(QStringLiteral("config"));
        QDir(m_dir.path()).mkpath(QStringLiteral("program"));
        QDir(m_dir.path()).mkpath(QStringLiteral("modules"));
        ::setenv("XDG_CONFIG_HOME", (m_dir.path() + QStringLiteral("/config")).toLocal8Bit().constData(), 1);
        ::setenv("HOME", m_dir.path().toLocal8Bit().constData(), 1);
        SetProgramFolderForTesting(Program());
    }
    ~TestWorkspace() { SetProgramFolderForTesting({}); }

    std::filesystem::path Root() const { return m_dir.path().toStdString(); }
    std::filesystem::path Config() const { return Root() / "config"; }
    std::filesystem::path Program() const { return Root() / "program"; }
    std::filesystem::path Modules() const { return Root() / "modules"; }
    std::filesystem::path Ini() const { return Config() / "KESTREL.INI"; }
    QString CataloguePath(const char* name = "audit.MGP") const {
        return QString::fromStdString((Modules() / name).string());
    }

private:
    QTemporaryDir m_dir;
};

inline std::string Gbk(const char* utf8) {
    return Utf8ToGbk(utf8).value_or(std::string());
}

// Writes a catalogue with the given groups (identifier, UTF-8 name) into folder.
inline GroupCatalogue WriteCatalogue(const std::filesystem::path& path,
                                     std::initializer_list<std::pair<const char*, const char*>> groups) {
    GroupCatalogue catalogue;
    catalogue.Reset(path);
    for (const auto& [identifier, name] : groups) {
        GroupRecord record{};
        SetFieldText(record.identifier, identifier);
        SetFieldText(record.name, Gbk(name));
        catalogue.AppendGroup(record);
    }
    if (!SaveCatalogue(catalogue))
        qFatal("cannot write the test catalogue");
    return catalogue;
}

// Writes a module file; flags as in ModuleFlags. The title is UTF-8.
inline void WriteModule(const std::filesystem::path& folder, const std::string& fileName, const char* groupId,
                        const char* title, int32_t flags = 0, const std::string& body = "SELECT 1") {
    ModuleRecord record;
    record.fileName = fileName;
    SetFieldText(record.header.keyword, kModuleKeyword);
    SetFieldText(record.header.groupId, groupId);
    SetFieldText(record.header.title, Gbk(title));
    SetFieldText(record.header.creator, "SA");
    record.header.flags = flags;
    record.body = body;
    if (!SaveModuleFile(record, "SA", folder))
        qFatal("cannot write the test module");
}

inline std::string ReadAll(const std::filesystem::path& path) {
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return {};
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, n);
    std::fclose(file);
    return bytes;
}

} // namespace kestrel::test
