#pragma once
// Reading results in tests without stopping the program: a test that expected a failure (or a
// message) and got none fails its expectation instead of reading what is not there.
#include "core/Status.h"
#include "testing/TestOutcome.h"

#include <optional>
#include <ostream>

namespace kestrel {

inline void PrintTo(FileErrorKind kind, std::ostream* out) {
    *out << (kind == FileErrorKind::Io ? "Io" : "Invalid");
}

namespace testsupport {

// The kind of a failed file step; none for one that went through.
inline std::optional<FileErrorKind> KindOf(const FileStatus& status) {
    if (status)
        return std::nullopt;
    return status.error().kind;
}

// The message of an outcome; an empty one when it has none.
inline TestMessage MessageOf(const TestOutcome& outcome) {
    return outcome.message.value_or(TestMessage{});
}

} // namespace testsupport
} // namespace kestrel
