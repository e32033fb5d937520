#pragma once
// The one place the program reads the wall clock. Module stamps, the editor's status bar and
// the CURRENT_TIME placeholder all come from here, so a test that fixes the clock knows every
// time the program will write.
#include <ctime>
#include <optional>
#include <string>

namespace kestrel {

// Seconds since the epoch: the fixed time while a test has set one, else the system clock.
std::time_t Now();

// Now() as local time written with a strftime pattern (at most 63 bytes of result).
std::string LocalTimeText(const char* pattern);

// Now() as a stored time stamp, "%Y-%m-%d %H:%M:%S".
std::string CurrentTimeStamp();

// Tests fix the clock at a time (std::nullopt: the system clock again). Safe to read from any
// thread while it is set.
void SetClockForTesting(std::optional<std::time_t> fixed);

} // namespace kestrel
