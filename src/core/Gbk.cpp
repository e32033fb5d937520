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
        const auto lead = static_cast<unsigned char>(gbk[at]);
        const std::size_t width = (lead >= 0x81 && lead <= 0xFE && at + 1 < gbk.size()) ? 2 : 1;
        if (at + width > maxBytes)
            break;
        at += width;
    }
    return gbk.substr(0, at);
}

} // namespace kestrel
