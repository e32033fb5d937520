// kestrel-host: loads the plug-in, enters it through ModuleDesign and exits when it returns.
#include <QApplication>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

void Usage(FILE* out, const char* program) {
    std::fprintf(out,
                 "usage: %s [--library PATH]\n"
                 "Opens the module definition tool: the login, then the editor.\n"
                 "  --library PATH  the plug-in to load (default: libkestrel.so beside this program)\n"
                 "  --help          this text\n"
                 "  --version       the version\n",
                 program);
}

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            Usage(stdout, argv[0]);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kestrel-host %s\n", KESTREL_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    // The name titles every message box without a caption of its own. A display name would
    // be appended to every window title, so none is set.
    QApplication::setApplicationName(QStringLiteral("审计系统"));

    std::string library = (QCoreApplication::applicationDirPath() + QStringLiteral("/libkestrel.so")).toStdString();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
            library = argv[++i];
        } else {
            Usage(stderr, argv[0]);
            return 2;
        }
    }

    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "kestrel-host: %s\n", dlerror());
        return 1;
    }
    using Entry = void (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, "ModuleDesign"));
    if (!entry) {
        std::fprintf(stderr, "kestrel-host: %s\n", dlerror());
        dlclose(handle);
        return 1;
    }
    entry();
    dlclose(handle);
    return 0;
}
