#include "tool/ToolCommands.h"

namespace kestrel::tool {
int ShowCommand(const QStringList&) { return kExitUsage; } // placeholder until the formats land
} // namespace kestrel::tool
