#pragma once
// What a test step tells the caller: a result code and at most one message to show.
#include "core/Gbk.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// A message for the user, as a message box shows it.
struct TestMessage {
    std::string text;    // GBK, or UTF-8 when unicode
    std::string caption; // GBK; empty: the host application's title
    // A text from the database (a driver's message, the module's ErrorMsg) is UTF-8: GBK has no
    // form for many characters it may hold, and it only goes to the screen and to reports.
    bool unicode = false;

    std::string Utf8() const { return unicode ? text : GbkToUtf8(text); }
};

// How much of a module's standard output and of its error output a test keeps: the last bytes.
constexpr std::size_t kCapturedOutputBytes = 64 * 1024;

// One row the module wrote into the error table for its user.
struct ErrorRow {
    int32_t code = -1;    // as the verdict reads it: -1 for a code that is no number
    std::string codeText; // UTF-8, as the database gave it
    std::string message;  // UTF-8
};

// How many rows of the error table a batch check keeps of one module.
constexpr std::size_t kErrorRowsKept = 1000;

struct TestOutcome {
    int32_t code = -1;                  // 0 success, -1 the tool's own failure, else the module's code
    std::optional<TestMessage> message; // to be shown by the caller (UI: a message box; batch: its line)
    bool cancelled = false;             // the user cancelled the run; counts as a failed test
    std::string moduleMessage;          // UTF-8; the module's own ErrorMsg when it wrote a non-zero code
    std::string output;                 // bytes as printed: the last kCapturedOutputBytes of the module's stdout
    std::string errorOutput;            // the same of its stderr
    // The code is the module's own verdict (its KSTError row, or the lack of one; the
    // function's result), not a failure to run it.
    bool reportedByModule = false;
    // Every row the module wrote for its user, the deciding first one included, when the session
    // reads more than the first (see SqlTestSession::SetRowsToRead); rowsCut: more were written.
    std::vector<ErrorRow> rows;
    bool rowsCut = false;
};

} // namespace kestrel
