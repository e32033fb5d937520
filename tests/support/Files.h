#pragma once
// Temporary folders, whole-file reads and writes, and running a step in a child process.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace kestrel::testsupport {

// A fresh folder under the system's temporary folder, removed with everything in it (folders
// a test made unwritable included).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(std::string_view name) const { return m_path / std::string(name); }

private:
    std::filesystem::path m_path;
};

// The whole file ("" when it cannot be read).
std::string ReadBytes(const std::filesystem::path& path);
// Replaces the file with exactly these bytes, without the program's own writers.
void WriteBytes(const std::filesystem::path& path, std::string_view bytes);

// A command line run through the shell: its exit code (-1 when it did not exit) and what it
// wrote to standard output.
struct CommandRun {
    int exitCode = -1;
    std::string out;
    std::string err; // left to the caller, who knows where its standard error went
};
CommandRun RunCommandLine(const std::string& commandLine);

// Runs step in a child process and returns its exit code (or 128 + signal). unprivileged: when
// the tests run as root, the child gives up root first, so that permission bits hold for it.
int RunInChild(const std::function<int()>& step, bool unprivileged = false);

// Whether the process pid has ended, waiting up to six seconds for it. A zombie counts as
// ended: it runs no code any more, and one left to init is reaped at init's pace.
bool ProcessEnded(int pid);

} // namespace kestrel::testsupport
