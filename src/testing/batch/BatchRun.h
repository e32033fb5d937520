#pragma once
// The batch check: the modules of a plan run with their stored test values, as the property
// sheet's test runs them, on N connections at once, each with its own session-private error
// table, bounded by a time-out, cancellable. It changes no module file and asks nothing; it
// tells an observer of each module as it finishes and knows nothing of terminals or windows.
#include "core/Result.h"
#include "testing/TestOutcome.h"
#include "testing/batch/BatchPlan.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

enum class Verdict {
    kPassed,
    kFailed, // the module reported an error: its own ErrorCode, the function's result
    kError,  // the module could not be run: database error, crash, bad placeholder, unreadable
    kNotRun, // the run was stopped before this module
};

struct ModuleResult {
    Verdict verdict = Verdict::kNotRun;
    int32_t code = -1;
    std::string message; // UTF-8: the full message, as the property sheet would show it
    std::string output;  // what the module wrote to stdout / stderr (DLL modules)
    std::string errorOutput;
    double seconds = 0;
    // Every row the module wrote for its user (SQL modules), the deciding first one included;
    // rowsCut: it wrote more than were kept.
    std::vector<ErrorRow> rows;
    bool rowsCut = false;
};

// A module the run never reached.
ModuleResult NotRunResult();

struct BatchOptions {
    std::string connection; // UTF-8 ODBC connection string
    std::chrono::seconds timeout{600};
    int jobs = 1;
    bool isolate = true; // each connection its own session-private error table
};

// Told from the run's own threads, one call at a time.
class BatchObserver {
public:
    virtual ~BatchObserver() = default;
    // Something the whole run has to say once (UTF-8), such as that it cannot isolate.
    virtual void Note(const std::string& utf8);
    virtual void Started(std::size_t index);
    // index: into the plan's modules. Every module of the run is finished exactly once, those
    // a stop left out as not run.
    virtual void Finished(std::size_t index, const ModuleResult& result) = 0;
    // After the last Finished.
    virtual void Ended();
};

class BatchRun {
public:
    BatchRun(std::shared_ptr<const BatchPlan> plan, BatchOptions options, BatchObserver& observer);
    // Stops the run and waits for its end, unless it was abandoned.
    ~BatchRun();
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    // Connects every worker and starts the modules at selection (indexes into the plan, in the
    // order to run; empty: the whole plan), then returns. Fails (UTF-8, why) when the run cannot
    // start: no connection, no error table; the observer then hears nothing.
    Result<void, std::string> Start(std::vector<std::size_t> selection = {});
    // Cancels the modules under way; the rest are not run. From any thread, before Start too.
    void Stop();
    bool Stopping() const;
    // Until the run has ended (at once when it never started).
    void Wait();
    // Waits at most timeout; whether the run has ended.
    bool WaitFor(std::chrono::milliseconds timeout);
    // Leaves a stopped run that a driver still holds to end on its own: the observer hears
    // nothing more, and the run's threads keep what they use alive until they end.
    void Abandon();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace kestrel
