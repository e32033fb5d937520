#include "core/TextRoutines.h"

#include "kestrel/ModuleFunction.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace kestrel {

namespace {

std::mutex g_programFolderMutex;
std::filesystem::path g_programFolderOverride;

std::filesystem::path ExecutableFolder() {
    // The full path, however long: a path cut at a fixed buffer would name another folder.
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return std::filesystem::current_path();
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::filesystem::path(buffer).parent_path();
}

} // namespace

std::filesystem::path ProgramFilePath(std::string_view fileName) {
    std::filesystem::path folder;
    {
        std::lock_guard lock(g_programFolderMutex);
        folder = g_programFolderOverride;
    }
    if (folder.empty())
        folder = ExecutableFolder();
    return folder / std::filesystem::path(std::string(fileName));
}

void SetProgramFolderForTesting(const std::filesystem::path& folder) {
    std::lock_guard lock(g_programFolderMutex);
    g_programFolderOverride = folder;
}

std::string FormatModuleLine(std::string_view fileName, int32_t flags, std::string_view title) {
    std::string line(fileName);
    if (line.size() < 13)
        line.append(13 - line.size(), ' ');
    line += ' ';
    line += (flags & KESTREL_FLAG_REQUIRED) ? "\xA1\xCC " : "\xA1\xF5 "; // "√ " / "□ "
    if (!(flags & KESTREL_FLAG_TESTED))
        line += "[  ] ";
    else if (flags & KESTREL_FLAG_PASSED)
        line += "[OK] ";
    else
        line += "[\xB2\xE2] "; // "[测] "
    line += title;
    return line;
}

std::string FormatGroupLine(std::string_view identifier, std::string_view name) {
    std::string line;
    line.reserve(identifier.size() + name.size() + 3);
    line += '[';
    line += identifier;
    line += "] ";
    line += name;
    return line;
}

std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement) {
    if (pattern.empty())
        return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(pattern, from);
        if (at == std::string_view::npos)
            break;
        result.append(text.substr(from, at - from));
        result.append(replacement);
        from = at + pattern.size();
    }
    result.append(text.substr(from));
    return result;
}

std::string FileNameOfLine(std::string_view line) {
    const std::size_t blank = line.find(' ');
    return std::string(line.substr(0, blank));
}

} // namespace kestrel
