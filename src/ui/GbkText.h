#pragma once
// Where the windows meet stored GBK bytes: every QString made from GBK, and every GBK text
// made from a QString, goes through these (and they through core/Gbk.h). Header-only, so the
// command-line tool and the report library use the same ones.
#include "core/Gbk.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::ui {

inline QString FromGbk(std::string_view gbk) {
    return QString::fromStdString(GbkToUtf8(gbk));
}

// std::nullopt when text holds a character that GBK cannot encode.
inline std::optional<std::string> ToGbk(const QString& text) {
    return Utf8ToGbk(text.toStdString());
}

// For texts that were already checked (edits refuse non-GBK input); never "?".
inline std::string ToGbkChecked(const QString& text) {
    return ToGbk(text).value_or(std::string());
}

// Byte length of text in GBK, or -1 when it cannot be encoded.
inline int GbkLength(const QString& text) {
    const std::optional<std::string> gbk = ToGbk(text);
    return gbk ? static_cast<int>(gbk->size()) : -1;
}

} // namespace kestrel::ui
