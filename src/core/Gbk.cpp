#include "core/Gbk.h"

#include <cerrno>
#include <iconv.h>

namespace kestrel {

namespace {

// One iconv descriptor per direction and thread: opening one costs more than a short text.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (m_cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts input; on an unconvertible or invalid sequence returns false and leaves the
    // offset of the bad byte in badAt.
    bool Convert(std::string_view input, std::string& output, std::size_t& badAt) {
        output.clear();
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            return false;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* out = buffer;
            std::size_t outLeft = sizeof buffer;
            const std::size_t rc = iconv(m_cd, &in, &inLeft, &out, &outLeft);
            output.append(buffer, out - buffer);
            if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
                badAt = input.size() - inLeft;
                return false;
            }
        }
        return true;
    }

private:
    iconv_t m_cd;
};

Converter& FromGbk() {
    thread_local Converter converter("UTF-8", "GBK");
    return converter;
}

Converter& ToGbk() {
    thread_local Converter converter("GBK", "UTF-8");
    return converter;
}

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

} // namespace

std::string GbkToUtf8(std::string_view gbk) {
    if (IsAscii(gbk))
        return std::string(gbk);
    std::string result;
    std::string part;
    while (!gbk.empty()) {
        std::size_t badAt = 0;
        if (FromGbk().Convert(gbk, part, badAt)) {
            result += part;
            break;
        }
        result += part;
        result += "\xEF\xBF\xBD"; // U+FFFD for the byte that is not GBK
        gbk.remove_prefix(badAt + 1);
    }
    return result;
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
    if (IsAscii(utf8))
        return std::string(utf8);
    std::string result;
    std::size_t badAt = 0;
    if (!ToGbk().Convert(utf8, result, badAt))
        return std::nullopt;
    return result;
}

bool IsValidGbk(std::string_view gbk) {
    if (IsAscii(gbk))
        return true;
    std::string ignored;
    std::size_t badAt = 0;
    return FromGbk().Convert(gbk, ignored, badAt);
}

} // namespace kestrel

namespace kestrel {

std::string_view GbkPrefix(std::string_view gbk, std::size_t maxBytes) {
    if (gbk.size() <= maxBytes)
        return gbk;
    // Walk whole characters from the start: a trail byte can look like a lead byte, so the
    // boundary cannot be found by looking backwards from the cut.
    std::size_t at = 0;
    while (at < maxBytes) {
        const std::size_t width = GbkCharWidth(gbk, at);
        if (at + width > maxBytes)
            break;
        at += width;
    }
    return gbk.substr(0, at);
}

std::string Utf8ToGbkLossy(std::string_view utf8) {
    if (auto whole = Utf8ToGbk(utf8))
        return *whole;
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        std::size_t width = lead < 0x80    ? 1
                            : lead >= 0xF8 ? 1
                            : lead >= 0xF0 ? 4
                            : lead >= 0xE0 ? 3
                            : lead >= 0xC0 ? 2
                                           : 1;
        width = std::min(width, utf8.size() - i);
        // A malformed sequence costs its first byte only: what follows is read anew.
        for (std::size_t k = 1; k < width; ++k)
            if ((static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
                width = 1;
                break;
            }
        if (auto piece = Utf8ToGbk(utf8.substr(i, width)))
            out += *piece;
        else
            out += '?';
        i += width;
    }
    return out;
}

namespace {

// The character that begins at utf8[i]: its code and its width in bytes; code U+FFFD and width
// 1 for a byte that begins no well-formed character.
struct Utf8Char {
    char32_t code = 0xFFFD;
    std::size_t width = 1;
    bool valid = false;
};

Utf8Char Utf8CharAt(std::string_view utf8, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80)
        return {c, 1, true};
    std::size_t width = 0;
    if (c >= 0xC2 && c < 0xE0)
        width = 2;
    else if (c >= 0xE0 && c < 0xF0)
        width = 3;
    else if (c >= 0xF0 && c < 0xF5)
        width = 4;
    if (width == 0 || i + width > utf8.size())
        return {};
    char32_t code = c & (0x7F >> width);
    for (std::size_t k = 1; k < width; ++k) {
        const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
        if ((next & 0xC0) != 0x80)
            return {};
        code = (code << 6) | (next & 0x3F);
    }
    if (code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
        return {};
    return {code, width, true};
}

} // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const Utf8Char ch = Utf8CharAt(utf8, i);
        char32_t code = ch.code;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += ch.width;
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char ch = Utf8CharAt(text, i);
        if (!ch.valid)
            return false;
        i += ch.width;
    }
    return true;
}

std::string ForeignTextToUtf8(std::string_view text) {
    if (IsValidUtf8(text))
        return std::string(text);
    if (IsValidGbk(text))
        return GbkToUtf8(text);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char ch = Utf8CharAt(text, i);
        if (ch.valid) {
            out.append(text.substr(i, ch.width));
        } else {
            const auto byte = static_cast<unsigned char>(text[i]);
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
        i += ch.width;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size() * 3);
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t code = utf16[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

} // namespace kestrel
