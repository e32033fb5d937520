#include "support/Workspace.h"

#include "core/TextRoutines.h"

#include <QtGlobal>

#include <cstdlib>

// Q_INIT_RESOURCE declares the resource's function in the namespace it stands in: the global one.
static void InitResources() {
    Q_INIT_RESOURCE(kestrel);
}

namespace kestrel::testsupport {

TestWorkspace::TestWorkspace() {
    std::filesystem::create_directories(Config());
    std::filesystem::create_directories(Program());
    std::filesystem::create_directories(Modules());
    ::setenv("XDG_CONFIG_HOME", Config().c_str(), 1);
    ::setenv("HOME", Root().c_str(), 1);
    SetProgramFolderForTesting(Program());
}

TestWorkspace::~TestWorkspace() {
    SetProgramFolderForTesting({});
}

QString TestWorkspace::CataloguePath(const char* name) const {
    return QString::fromStdString((Modules() / name).string());
}

void InitKestrelResources() {
    InitResources();
}

} // namespace kestrel::testsupport
