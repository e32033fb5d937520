#pragma once
// The one conversion point between stored GBK bytes and Unicode (UTF-8, and the UTF-16 of
// wide ODBC calls), and the rule of where a GBK character begins and ends.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// A lead byte of a double-byte character. 0x80 (the euro sign) and 0xFF stand alone.
constexpr bool IsGbkLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

// Bytes of the character that begins at gbk[at]: 2 for a lead byte with a byte behind it, else
// 1 (a lead byte at the very end stands alone). Walks must start at a character boundary: a
// trail byte can look like a lead byte.
constexpr std::size_t GbkCharWidth(std::string_view gbk, std::size_t at) {
    return IsGbkLeadByte(static_cast<unsigned char>(gbk[at])) && at + 1 < gbk.size() ? 2 : 1;
}

// GBK bytes to UTF-8. Bytes that are not valid GBK come out as U+FFFD, so reading never fails.
std::string GbkToUtf8(std::string_view gbk);

// UTF-8 to GBK; std::nullopt when a character has no GBK form (or the UTF-8 is malformed).
// Never substitutes "?".
std::optional<std::string> Utf8ToGbk(std::string_view utf8);

// UTF-8 to GBK for texts that must come out whole (messages, system texts, driver texts): a
// character without a GBK form, or a malformed byte, becomes "?".
std::string Utf8ToGbkLossy(std::string_view utf8);

// UTF-8 to UTF-16 and back. Malformed UTF-8 and lone surrogates come out as U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Whether text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);
// Text from outside the tool (a database's text, a module's output) as UTF-8 that is always
// well-formed: kept when it is UTF-8, decoded when it is GBK (a legacy database's bytes), else
// each byte that begins no UTF-8 character written as \xNN, visibly and nothing lost.
std::string ForeignTextToUtf8(std::string_view text);
// Whether every byte sequence of text is valid GBK (ASCII included).
bool IsValidGbk(std::string_view gbk);

// The longest head of gbk of at most maxBytes that does not end inside a double-byte
// character (for texts cut to a byte limit).
std::string_view GbkPrefix(std::string_view gbk, std::size_t maxBytes);

} // namespace kestrel
