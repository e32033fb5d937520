#include "tool/ToolCommands.h"

namespace kestrel::tool {
int ReportCommand(const QStringList&) { return kExitUsage; } // placeholder until the report lands
} // namespace kestrel::tool
