// Entry point of the plug-in: the one export and the library's load hooks.
#include <QtGlobal>

extern "C" __attribute__((visibility("default"))) void ModuleDesign() {}
