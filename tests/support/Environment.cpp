#include "support/Environment.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace kestrel::testsupport {

TestEnvironment::TestEnvironment() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-home-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_home = pattern;
    std::filesystem::create_directory(m_home / ".config");
    ::setenv("HOME", m_home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (m_home / ".config").c_str(), 1);
}

TestEnvironment::~TestEnvironment() {
    std::error_code ec;
    std::filesystem::remove_all(m_home, ec);
}

} // namespace kestrel::testsupport
