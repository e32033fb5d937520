#pragma once
// Placeholders "[?:" NAME "]": the one scanner behind the check, the substitution, the
// sheet's preview and the SQL page's highlighting. The delimiters are ASCII, so the same rule
// reads GBK bytes (byte for byte, as the substitution must) and the editor's UTF-16.
#include <cstddef>
#include <string_view>

namespace kestrel {

// The reserved name: the time of day, never a variable.
inline constexpr std::string_view kCurrentTimeName = "CURRENT_TIME";
inline constexpr std::size_t kPlaceholderOpenSize = 3; // "[?:"

template <class Char> struct Placeholder {
    static constexpr std::size_t npos = std::basic_string_view<Char>::npos;
    std::size_t open = npos;  // position of "[?:"; npos: no placeholder
    std::size_t close = npos; // position of the first "]" after it; npos: none in the text
    // Everything between "[?:" and "]", byte for byte; the rest of the text when unclosed.
    std::basic_string_view<Char> name;

    bool Found() const { return open != npos; }
    bool Closed() const { return close != npos; }
    // Where scanning goes on: just after the "]", or the end of the text.
    std::size_t End() const { return Closed() ? close + 1 : open + kPlaceholderOpenSize + name.size(); }
};

// The placeholder that begins at position at of text, if "[?:" stands there.
template <class Char> Placeholder<Char> PlaceholderAt(std::basic_string_view<Char> text, std::size_t at) {
    Placeholder<Char> found;
    if (at > text.size() || text.size() - at < kPlaceholderOpenSize || text[at] != Char('[') ||
        text[at + 1] != Char('?') || text[at + 2] != Char(':'))
        return found;
    found.open = at;
    const std::size_t nameStart = at + kPlaceholderOpenSize;
    found.close = text.find(Char(']'), nameStart);
    found.name = text.substr(nameStart, found.Closed() ? found.close - nameStart : text.size() - nameStart);
    return found;
}

// The first placeholder at or after position from; not Found() when there is none.
template <class Char> Placeholder<Char> NextPlaceholder(std::basic_string_view<Char> text, std::size_t from) {
    for (std::size_t at = text.find(Char('['), from); at != text.npos; at = text.find(Char('['), at + 1)) {
        const Placeholder<Char> found = PlaceholderAt(text, at);
        if (found.Found())
            return found;
    }
    return {};
}

// Whether a placeholder's name is the reserved time of day (exactly, letter case included).
template <class Char> bool IsCurrentTimeName(std::basic_string_view<Char> name) {
    if (name.size() != kCurrentTimeName.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (name[i] != static_cast<Char>(kCurrentTimeName[i]))
            return false;
    return true;
}

} // namespace kestrel
