#include "testing/ErrorTable.h"

#include "core/AsciiCase.h"

namespace kestrel {

namespace {

bool IsNameByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           c == '$';
}

char ClosingQuote(char open) {
    switch (open) {
    case '"':
        return '"';
    case '`':
        return '`';
    case '[':
        return ']';
    default:
        return 0;
    }
}

// Length of the error table's name at sql[at] (quoted or bare), or 0.
std::size_t ErrorTableNameAt(std::string_view sql, std::size_t at) {
    const char close = ClosingQuote(sql[at]);
    const std::size_t nameAt = close ? at + 1 : at;
    if (sql.size() - nameAt < kErrorTableName.size() ||
        !EqualIgnoringAsciiCase(sql.substr(nameAt, kErrorTableName.size()), kErrorTableName))
        return 0;
    std::size_t end = nameAt + kErrorTableName.size();
    if (close) {
        if (end >= sql.size() || sql[end] != close)
            return 0;
        return end + 1 - at;
    }
    return end < sql.size() && IsNameByte(sql[end]) ? 0 : end - at;
}

bool QualifiedBefore(std::string_view sql, std::size_t at) {
    std::size_t i = at;
    while (i > 0 && (sql[i - 1] == ' ' || sql[i - 1] == '\t' || sql[i - 1] == '\r' || sql[i - 1] == '\n'))
        --i;
    return i > 0 && sql[i - 1] == '.';
}

} // namespace

std::size_t FindQualifiedErrorTable(std::string_view sql) {
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            const std::size_t end = sql.find('\n', i);
            i = end == std::string_view::npos ? sql.size() : end + 1;
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            const std::size_t end = sql.find("*/", i + 2);
            i = end == std::string_view::npos ? sql.size() : end + 2;
        } else if (c == '\'') {
            // '' inside a literal is a quote of its own and keeps the literal open.
            const std::size_t end = sql.find('\'', i + 1);
            i = end == std::string_view::npos ? sql.size() : end + 1;
        } else if (IsNameByte(c) || ClosingQuote(c)) {
            const bool startsName = i == 0 || !IsNameByte(sql[i - 1]);
            if (startsName) {
                if (const std::size_t length = ErrorTableNameAt(sql, i)) {
                    if (QualifiedBefore(sql, i))
                        return i;
                    i += length;
                    continue;
                }
            }
            // A GBK character is stepped over whole: its trail byte may look like a letter.
            i += static_cast<unsigned char>(c) >= 0x81 && i + 1 < sql.size() ? 2 : 1;
        } else {
            ++i;
        }
    }
    return std::string_view::npos;
}

} // namespace kestrel
