#pragma once
// Helpers shared by the core, accounts and repository tests: temporary folders, byte-by-byte
// fixtures (built without our writers) and running a step in a child process.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <iterator>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        for (auto& entry : std::filesystem::recursive_directory_iterator(m_path, ec))
            if (entry.is_directory(ec))
                ::chmod(entry.path().c_str(), 0755);
        ::chmod(m_path.c_str(), 0755);
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(std::string_view name) const { return m_path / std::string(name); }

private:
    std::filesystem::path m_path;
};

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Little-endian layouts written field by field.
class Bytes {
public:
    Bytes& Text(std::string_view text, std::size_t width) {
        std::string field(text.substr(0, width));
        field.resize(width, '\0');
        m_data += field;
        return *this;
    }
    Bytes& Raw(std::string_view raw) {
        m_data += raw;
        return *this;
    }
    Bytes& Zeros(std::size_t n) {
        m_data.append(n, '\0');
        return *this;
    }
    Bytes& I32(int32_t value) {
        const auto v = static_cast<uint32_t>(value);
        for (int i = 0; i < 4; ++i)
            m_data += static_cast<char>((v >> (8 * i)) & 0xFF);
        return *this;
    }
    Bytes& U8(uint8_t value) {
        m_data += static_cast<char>(value);
        return *this;
    }
    const std::string& Str() const { return m_data; }
    operator const std::string&() const { return m_data; }
    operator std::string_view() const { return m_data; }

private:
    std::string m_data;
};

// Runs step in a child process and returns its exit code (or 128 + signal). When the tests run
// as root, the child gives up root first, so that permission bits hold for it.
inline int RunInChild(const std::function<int()>& step, bool unprivileged = false) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (unprivileged && ::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            const uid_t uid = nobody ? nobody->pw_uid : 65534;
            const gid_t gid = nobody ? nobody->pw_gid : 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(99);
        }
        ::_exit(step());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace kestrel::test
