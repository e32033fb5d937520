#pragma once
// Subcommands of kestrel-tool. Each takes the arguments after its name and returns the exit
// code: 0 done, 2 invalid input, 3 a file that cannot be read or written, 64 usage.
#include <QFile>
#include <QStringList>

#include <filesystem>

namespace kestrel::tool {

constexpr int kExitUsage = 64;
constexpr int kExitInvalidInput = 2;
constexpr int kExitFileError = 3;

// A path given on the command line, in the file system's own encoding.
inline std::filesystem::path PathArgument(const QString& arg) {
    const QByteArray encoded = QFile::encodeName(arg);
    return std::filesystem::path(std::string(encoded.constData(), static_cast<std::size_t>(encoded.size())));
}

int ShowCommand(const QStringList& args);   // kestrel-tool show FILE
int CheckCommand(const QStringList& args);  // kestrel-tool check CATALOGUE ...
int ReportCommand(const QStringList& args); // kestrel-tool report CATALOGUE --pdf FILE ...
int ExportCommand(const QStringList& args); // kestrel-tool export CATALOGUE DIR
int ImportCommand(const QStringList& args); // kestrel-tool import DIR CATALOGUE
int LintCommand(const QStringList& args);   // kestrel-tool lint CATALOGUE
int GrepCommand(const QStringList& args);   // kestrel-tool grep PATTERN CATALOGUE ...

} // namespace kestrel::tool
