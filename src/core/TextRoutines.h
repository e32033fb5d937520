#pragma once
// Shared list-line and text routines, and the place of files beside the host executable.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel {

// Path of fileName in the folder of the running process's executable.
std::filesystem::path ProgramFilePath(std::string_view fileName);

// Tests point ProgramFilePath at a temporary folder; an empty path restores the default.
void SetProgramFolderForTesting(const std::filesystem::path& folder);

// "%-13s " file name, "√ "/"□ ", state mark "[  ] "/"[OK] "/"[测] ", then the title (all GBK).
std::string FormatModuleLine(std::string_view fileName, int32_t flags, std::string_view title);

// "[%s] %s": identifier, then name.
std::string FormatGroupLine(std::string_view identifier, std::string_view name);

// Replaces every non-overlapping occurrence of pattern, scanning left to right; replaced text
// is never scanned again. pattern must not be empty.
std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);

// The file name at the head of a module line: the text up to its first blank.
std::string FileNameOfLine(std::string_view line);

} // namespace kestrel
