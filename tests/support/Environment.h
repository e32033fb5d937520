#pragma once
// What every test program sets up before anything else runs: windows on the offscreen
// platform (unless the developer asks for another one), and a home and configuration folder
// of its own, so that nothing a test does reaches the user's real settings or data sources.
// Programs the tests start inherit both.
#include <filesystem>

namespace kestrel::testsupport {

class TestEnvironment {
public:
    TestEnvironment();
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment&) = delete;
    TestEnvironment& operator=(const TestEnvironment&) = delete;
    const std::filesystem::path& Home() const { return m_home; }

private:
    std::filesystem::path m_home;
};

} // namespace kestrel::testsupport
