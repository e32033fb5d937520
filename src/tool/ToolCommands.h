#pragma once
// Subcommands of kestrel-tool and the command line they share. Each command is one function
// that takes the arguments after its name and returns the exit code; main.cpp lists them in
// one table. Every command has -h/--help with its options and exit codes, and takes
// "--opt value" as well as "--opt=value".
#include <QCommandLineParser>
#include <QStringList>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::tool {

constexpr int kExitUsage = 64;
constexpr int kExitInvalidInput = 2;
constexpr int kExitFileError = 3;

// The exit codes of a check, which merge gives for the whole of a sharded run as well.
constexpr int kExitAllPassed = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitCannotWrite = 3;
constexpr int kExitCouldNotRun = 4;
constexpr int kExitNothingSelected = 5;
// A run's code by what its modules did: could not run wins over failed.
constexpr int CheckExitCode(int errors, int failed) {
    return errors > 0 ? kExitCouldNotRun : failed > 0 ? kExitSomeFailed : kExitAllPassed;
}

int ShowCommand(const QStringList& args);   // kestrel-tool show FILE
int CheckCommand(const QStringList& args);  // kestrel-tool check CATALOGUE ...
int ReportCommand(const QStringList& args); // kestrel-tool report CATALOGUE --pdf FILE ...
int ExportCommand(const QStringList& args); // kestrel-tool export CATALOGUE DIR
int ImportCommand(const QStringList& args); // kestrel-tool import DIR CATALOGUE
int LintCommand(const QStringList& args);   // kestrel-tool lint CATALOGUE
int GrepCommand(const QStringList& args);   // kestrel-tool grep PATTERN CATALOGUE ...
int MergeCommand(const QStringList& args);  // kestrel-tool merge FILE... --junit FILE ...

// The arguments as the system gave them. Bytes that are not UTF-8 (a file name copied from
// another system) are kept as lone surrogates U+DC80..U+DCFF, so ArgumentBytes gives back the
// very bytes: a path named on the command line always reaches the file system unchanged.
QStringList ArgumentsOf(int argc, char** argv);
std::string ArgumentBytes(const QString& argument);
inline std::filesystem::path PathArgument(const QString& argument) {
    return std::filesystem::path(ArgumentBytes(argument));
}
// UTF-8 for a message: the kept bytes show as U+FFFD.
std::string ArgumentText(const QString& argument);

// The parser of one command: its synopsis, description and exit codes for the help text.
class CommandLine {
public:
    using ExitCodes = std::vector<std::pair<int, const char*>>;
    CommandLine(const char* command, const char* synopsis, const char* description, ExitCodes exitCodes);

    QCommandLineParser& Parser() { return m_parser; }
    // Parses args (without the command name). Returns -1 to go on, or the code to exit with
    // at once: 0 after the help text on stdout, kExitUsage after a usage error on stderr.
    // positional: how many positional arguments the command takes, at least and at most.
    int Parse(const QStringList& args, int minPositional, int maxPositional);
    // A usage error found after parsing (a bad option value): message and synopsis on stderr.
    int UsageError(const QString& message) const;
    QString HelpText() const;
    const char* Name() const { return m_command; }

private:
    const char* m_command;
    const char* m_synopsis;
    const char* m_description;
    ExitCodes m_exitCodes;
    QCommandLineParser m_parser;
};

} // namespace kestrel::tool
