#include "testing/CancelToken.h"

namespace kestrel {

void CancelToken::Cancel() {
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    // Under the lock, so the step cannot end (and free what stop touches) meanwhile.
    if (m_stop)
        m_stop();
    m_changed.notify_all();
}

bool CancelToken::IsCancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool CancelToken::Arm(std::function<void()> stop) {
    std::lock_guard lock(m_mutex);
    if (m_cancelled)
        return false;
    m_stop = std::move(stop);
    ++m_armed;
    m_changed.notify_all();
    return true;
}

void CancelToken::Disarm() {
    std::lock_guard lock(m_mutex);
    m_stop = nullptr;
}

void CancelToken::WaitUntilArmed(int step) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this, step] { return m_cancelled || m_armed >= step; });
}

} // namespace kestrel
