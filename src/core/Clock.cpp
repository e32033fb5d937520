#include "core/Clock.h"

#include <atomic>

namespace kestrel {

namespace {
std::atomic<bool> g_fixed{false};
std::atomic<std::time_t> g_fixedTime{0};
} // namespace

std::time_t Now() {
    if (g_fixed.load(std::memory_order_acquire))
        return g_fixedTime.load(std::memory_order_relaxed);
    return std::time(nullptr);
}

std::string LocalTimeText(const char* pattern) {
    const std::time_t now = Now();
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, pattern, &local);
    return std::string(text, n);
}

std::string CurrentTimeStamp() {
    return LocalTimeText("%Y-%m-%d %H:%M:%S");
}

void SetClockForTesting(std::optional<std::time_t> fixed) {
    g_fixedTime.store(fixed.value_or(0), std::memory_order_relaxed);
    g_fixed.store(fixed.has_value(), std::memory_order_release);
}

} // namespace kestrel
