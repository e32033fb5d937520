#include "support/Clock.h"

#include "core/Clock.h"

#include <cstdio>
#include <cstdlib>

namespace kestrel::testsupport {

FixedClock::FixedClock(const std::string& localTime) {
    Set(localTime);
}

FixedClock::~FixedClock() {
    SetClockForTesting(std::nullopt);
}

void FixedClock::Set(const std::string& localTime) {
    std::tm local{};
    if (std::sscanf(localTime.c_str(), "%d-%d-%d %d:%d:%d", &local.tm_year, &local.tm_mon, &local.tm_mday,
                    &local.tm_hour, &local.tm_min, &local.tm_sec) != 6) {
        std::fprintf(stderr, "not a time stamp: %s\n", localTime.c_str());
        std::abort();
    }
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1; // whatever the zone's rule is on that day
    m_time = std::mktime(&local);
    SetClockForTesting(m_time);
}

} // namespace kestrel::testsupport
