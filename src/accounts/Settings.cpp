#include "accounts/Settings.h"

#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/Gbk.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrel {

namespace {

constexpr char kSection[] = "CONFIG";
constexpr char kKey[] = "LASTFILE";

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Whether line is a "[name]" section line, and its name.
bool SectionOfLine(std::string_view line, std::string_view& name) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[')
        return false;
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos)
        return false;
    name = Trim(line.substr(1, close - 1));
    return true;
}

// Key and value of a "key=value" line; false for comments and other lines.
bool KeyOfLine(std::string_view line, std::string_view& key, std::string_view& value) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#')
        return false;
    const std::size_t eq = trimmed.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = Trim(trimmed.substr(0, eq));
    value = Trim(trimmed.substr(eq + 1));
    return true;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, nl + 1));
        text.remove_prefix(nl + 1);
    }
    return lines;
}

// The value of key in section; empty when the file, section or key is missing.
std::string ReadValue(const std::filesystem::path& ini, std::string_view section, std::string_view wanted) {
    std::string bytes;
    if (!ReadWholeFile(ini, bytes))
        return {};
    bool inSection = false;
    for (std::string_view line : SplitLines(bytes)) {
        std::string_view name, key, value;
        if (SectionOfLine(line, name)) {
            inSection = EqualIgnoringAsciiCase(name, section);
            continue;
        }
        if (inSection && KeyOfLine(line, key, value) && EqualIgnoringAsciiCase(key, wanted))
            return std::string(value);
    }
    return {};
}

// A whole number from low to high, or fallback for anything else.
int NumberOr(const std::string& text, int low, int high, int fallback) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    const int value = std::stoi(text);
    return value >= low && value <= high ? value : fallback;
}

} // namespace

CheckSettings ReadCheckSettings(const std::filesystem::path& ini) {
    CheckSettings settings;
    const unsigned cores = std::thread::hardware_concurrency();
    settings.connections = static_cast<int>(std::min(4u, std::max(1u, cores)));
    settings.connections = NumberOr(ReadValue(ini, "CHECK", "CONNECTIONS"), 1, 64, settings.connections);
    settings.timeoutSeconds = NumberOr(ReadValue(ini, "CHECK", "TIMEOUT"), 1, 604800, settings.timeoutSeconds);
    return settings;
}

std::filesystem::path SettingsFilePath() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "KESTREL.INI";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        if (const passwd* pw = ::getpwuid(::getuid()))
            home = pw->pw_dir;
    }
    return std::filesystem::path(home ? home : ".") / ".config" / "KESTREL.INI";
}

std::string ReadLastFile(const std::filesystem::path& ini) {
    std::string bytes;
    if (!ReadWholeFile(ini, bytes))
        return kDefaultLastFile;
    bool inSection = false;
    for (std::string_view line : SplitLines(bytes)) {
        std::string_view name, key, value;
        if (SectionOfLine(line, name)) {
            inSection = EqualIgnoringAsciiCase(name, kSection);
            continue;
        }
        if (inSection && KeyOfLine(line, key, value) && EqualIgnoringAsciiCase(key, kKey))
            return std::string(GbkPrefix(value, kLastFileMax));
    }
    return kDefaultLastFile;
}

FileStatus WriteLastFile(const std::string& value, const std::filesystem::path& ini) {
    // A line break would end the value and smuggle further lines into the file.
    if (value.find_first_of("\r\n") != std::string::npos)
        return Fail(FileError::Invalid("line break in LASTFILE"));

    std::string old;
    if (FileStatus read = ReadWholeFile(ini, old); !read && read.error().osError != ENOENT)
        return AboutFile(std::move(read), FileNameForMessage(ini));
    const std::vector<std::string_view> lines = SplitLines(old);
    const std::string eol =
        (!lines.empty() && lines[0].size() >= 2 && lines[0][lines[0].size() - 2] == '\r') ? "\r\n" : "\n";
    const std::string entry = std::string(kKey) + "=" + value + eol;

    std::string out;
    out.reserve(old.size() + entry.size() + 16);
    bool inSection = false, written = false;
    std::size_t insertAt = std::string::npos; // after the last key line of the section
    for (std::string_view line : lines) {
        std::string_view name, key, val;
        if (SectionOfLine(line, name)) {
            inSection = !written && EqualIgnoringAsciiCase(name, kSection);
            if (inSection)
                insertAt = std::string::npos;
        } else if (inSection && !written && KeyOfLine(line, key, val) && EqualIgnoringAsciiCase(key, kKey)) {
            out += entry;
            written = true;
            continue;
        }
        if (!out.empty() && out.back() != '\n' && !line.empty())
            out += eol;
        out.append(line);
        if (inSection && !written && !Trim(line).empty())
            insertAt = out.size();
    }
    if (!written && insertAt != std::string::npos) {
        std::string tail = out.substr(insertAt);
        out.resize(insertAt);
        if (!out.empty() && out.back() != '\n')
            out += eol;
        out += entry;
        out += tail;
        written = true;
    }
    if (!written) {
        if (!out.empty() && out.back() != '\n')
            out += eol;
        out += "[" + std::string(kSection) + "]" + eol + entry;
    }

    std::error_code ec;
    if (ini.has_parent_path())
        std::filesystem::create_directories(ini.parent_path(), ec);
    return AboutFile(WriteFileAtomic(ini, out), FileNameForMessage(ini));
}

} // namespace kestrel
