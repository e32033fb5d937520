#pragma once
// Subcommands of kestrel-tool. Each takes the arguments after its name and returns the exit
// code: 0 done, 2 invalid input, 3 a file that cannot be read or written, 64 usage.
#include <QStringList>

namespace kestrel::tool {

constexpr int kExitUsage = 64;

int ShowCommand(const QStringList& args);   // kestrel-tool show FILE
int CheckCommand(const QStringList& args);  // kestrel-tool check CATALOGUE ...
int ReportCommand(const QStringList& args); // kestrel-tool report CATALOGUE --pdf FILE ...

} // namespace kestrel::tool
