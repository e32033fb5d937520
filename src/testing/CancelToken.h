#pragma once
// A test run's cancel request: made before the run starts, never reset, so a cancel that
// comes before the run reaches its long step still stops it.
#include <condition_variable>
#include <functional>
#include <mutex>

namespace kestrel {

class CancelToken {
public:
    CancelToken() = default;
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // Asks the run to stop: sticky; the step armed now (if any) is stopped at once. Any thread.
    void Cancel();
    bool IsCancelled() const;

    // Registers how to stop the step that starts now. When the token is cancelled already the
    // step must not start: Arm then returns false and stop is not kept.
    bool Arm(std::function<void()> stop);
    // The step has ended: a later Cancel only marks the token.
    void Disarm();

    // Blocks until the step-th step (counted from 1 over the token's life) is armed or the
    // token is cancelled, for a caller that must stop a step that really runs (a watchdog, a
    // test).
    void WaitUntilArmed(int step = 1);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_stop;
    bool m_cancelled = false;
    int m_armed = 0; // steps armed so far
};

// Arms a token for one scope.
class ArmedStep {
public:
    ArmedStep(CancelToken& token, std::function<void()> stop) : m_token(token), m_armed(token.Arm(std::move(stop))) {}
    ~ArmedStep() {
        if (m_armed)
            m_token.Disarm();
    }
    ArmedStep(const ArmedStep&) = delete;
    ArmedStep& operator=(const ArmedStep&) = delete;
    // False: the token was cancelled before the step could start.
    bool Started() const { return m_armed; }

private:
    CancelToken& m_token;
    bool m_armed;
};

} // namespace kestrel
