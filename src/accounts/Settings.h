#pragma once
// "KESTREL.INI" in the user's config folder: section CONFIG, key LASTFILE.
#include "core/Status.h"

#include <filesystem>
#include <string>

namespace kestrel {

inline constexpr char kDefaultLastFile[] = "*.MGP";
constexpr std::size_t kLastFileMax = 99; // bytes of text in the editor's 100-byte buffer

// $XDG_CONFIG_HOME/KESTREL.INI, or ~/.config/KESTREL.INI.
std::filesystem::path SettingsFilePath();

// LASTFILE, cut to 99 bytes; "*.MGP" when the file, section or key is missing.
std::string ReadLastFile(const std::filesystem::path& ini = SettingsFilePath());

// Sets LASTFILE, creating the file, section and key as needed and keeping every other line.
FileStatus WriteLastFile(const std::string& value, const std::filesystem::path& ini = SettingsFilePath());

// The window's batch check, section CHECK: CONNECTIONS (1 to 64; default min(4, cores)) and
// TIMEOUT in seconds (1 to 604800; default 600). A missing or unreadable value is its default.
struct CheckSettings {
    int connections = 4;
    int timeoutSeconds = 600;
};
CheckSettings ReadCheckSettings(const std::filesystem::path& ini = SettingsFilePath());

} // namespace kestrel
