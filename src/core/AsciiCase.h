#pragma once
// Letter case of Latin letters, the one fold behind every comparison that ignores case. Only
// 'A'-'Z' and 'a'-'z' change, whatever the locale.
#include "core/Gbk.h"

#include <string>
#include <string_view>

namespace kestrel {

constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Byte for byte, for ASCII and UTF-8 texts (no byte of a UTF-8 sequence is a Latin letter).
inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

inline bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && EqualIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

inline std::string AsciiLowerText(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = AsciiLower(c);
    return lower;
}

// For GBK texts: the trail byte of a double-byte character may look like a letter and is
// never folded. The length is kept, so positions carry over to the original.
inline std::string GbkLowerLatin(std::string_view gbk) {
    std::string lower(gbk);
    for (std::size_t i = 0; i < lower.size(); i += GbkCharWidth(lower, i))
        lower[i] = AsciiLower(lower[i]);
    return lower;
}

inline std::string GbkUpperLatin(std::string_view gbk) {
    std::string upper(gbk);
    for (std::size_t i = 0; i < upper.size(); i += GbkCharWidth(upper, i))
        upper[i] = AsciiUpper(upper[i]);
    return upper;
}

// Equal but for the case of Latin letters; double-byte characters compare exactly.
inline bool EqualIgnoringGbkLatinCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && GbkUpperLatin(a) == GbkUpperLatin(b);
}

} // namespace kestrel
