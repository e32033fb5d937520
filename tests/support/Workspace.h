#pragma once
// A throwaway home for one window test: configuration folder, program folder (where the user
// file lies) and module folder, all inside a temporary folder.
#include "support/Files.h"

#include <QString>

#include <filesystem>

namespace kestrel::testsupport {

class TestWorkspace {
public:
    TestWorkspace();
    ~TestWorkspace();
    TestWorkspace(const TestWorkspace&) = delete;
    TestWorkspace& operator=(const TestWorkspace&) = delete;

    std::filesystem::path Root() const { return m_dir.Path(); }
    std::filesystem::path Config() const { return Root() / "config"; }
    std::filesystem::path Program() const { return Root() / "program"; }
    std::filesystem::path Modules() const { return Root() / "modules"; }
    std::filesystem::path Ini() const { return Config() / "KESTREL.INI"; }
    QString CataloguePath(const char* name = "audit.MGP") const;

private:
    TempDir m_dir;
};

// The pictures and texts the windows take from the resources.
void InitKestrelResources();

} // namespace kestrel::testsupport
