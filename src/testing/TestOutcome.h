#pragma once
// What a test step tells the caller: a result code and at most one message to show.
#include <cstdint>
#include <string>

namespace kestrel {

struct TestMessage {
    bool present = false;
    std::string text;    // GBK
    std::string caption; // GBK; empty: the host application's title
};

struct TestOutcome {
    int32_t code = -1;         // 0 success, -1 the tool's own failure, else the module's code
    TestMessage message;       // to be shown by the caller (UI: a message box; batch: its line)
    bool cancelled = false;    // the user cancelled the run; counts as a failed test
    std::string moduleMessage; // GBK; the module's own ErrorMsg when it wrote a non-zero code
};

} // namespace kestrel
