// Entry point of the plug-in: the one export and the library's load hooks.
#include "accounts/entry/DesignSession.h"

#include <QApplication>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <string>

// Qt's resources live only in this library; the host's own are searched beside them. The
// resource macros must stand outside every namespace.
static void RegisterResources() {
    Q_INIT_RESOURCE(kestrel);
}
static void WithdrawResources() {
    Q_CLEANUP_RESOURCE(kestrel);
}

namespace {

__attribute__((constructor)) void KestrelLoaded() {
    qDebug("%s", "KESTREL.DLL Initializing!");
    RegisterResources();
}

__attribute__((destructor)) void KestrelUnloaded() {
    qDebug("%s", "KESTREL.DLL Terminating!");
    WithdrawResources();
}

} // namespace

// Runs one complete use of the tool on the caller's thread. A host without a QApplication gets
// one for the length of the call, named after its executable.
extern "C" __attribute__((visibility("default"))) void ModuleDesign() {
    if (QCoreApplication::instance()) {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
            qWarning("%s", "ModuleDesign needs a QApplication; the host made a non-widget application");
            return;
        }
        kestrel::RunDesignSession();
        return;
    }
    static char programName[256];
    std::strncpy(programName, program_invocation_short_name, sizeof programName - 1);
    int argc = 1;
    char* argv[] = {programName, nullptr};
    QApplication app(argc, argv);
    kestrel::RunDesignSession();
}
