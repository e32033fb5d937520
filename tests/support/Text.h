#pragma once
// Test texts are written as UTF-8 literals; the program stores and compares GBK bytes.
#include <string>
#include <string_view>

namespace kestrel::testsupport {

// The GBK bytes of a UTF-8 literal. A literal without a GBK form is a mistake in the test, and
// stops the program with its text rather than letting the test compare something else.
std::string Gbk(std::string_view utf8);

// UTF-8 of GBK bytes, for readable comparisons and failure messages.
std::string Utf8(std::string_view gbk);

} // namespace kestrel::testsupport
