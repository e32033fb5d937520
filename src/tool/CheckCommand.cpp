#include "tool/ToolCommands.h"

namespace kestrel::tool {
int CheckCommand(const QStringList&) { return kExitUsage; } // placeholder until the test engine lands
} // namespace kestrel::tool
