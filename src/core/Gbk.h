#pragma once
// The one conversion point between stored GBK bytes and Unicode (UTF-8).
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// GBK bytes to UTF-8. Bytes that are not valid GBK come out as U+FFFD, so reading never fails.
std::string GbkToUtf8(std::string_view gbk);

// UTF-8 to GBK; std::nullopt when a character has no GBK form (or the UTF-8 is malformed).
// Never substitutes "?".
std::optional<std::string> Utf8ToGbk(std::string_view utf8);

// Whether every byte sequence of text is valid GBK (ASCII included).
bool IsValidGbk(std::string_view gbk);

// The longest head of gbk of at most maxBytes that does not end inside a double-byte
// character (for texts cut to a byte limit).
std::string_view GbkPrefix(std::string_view gbk, std::size_t maxBytes);

} // namespace kestrel
