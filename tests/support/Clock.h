#pragma once
// Fixes the program's clock for one test, so every time stamp it writes is known exactly.
#include <ctime>
#include <string>

namespace kestrel::testsupport {

class FixedClock {
public:
    // localTime as the program writes it, "%Y-%m-%d %H:%M:%S", in this process's time zone.
    explicit FixedClock(const std::string& localTime);
    ~FixedClock();
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;

    // Moves the fixed clock to another local time.
    void Set(const std::string& localTime);
    std::time_t Time() const { return m_time; }

private:
    std::time_t m_time = 0;
};

} // namespace kestrel::testsupport
