#pragma once
// The UI's one place where stored GBK bytes meet QString.
#include <QString>

#include <optional>
#include <string>

namespace kestrel::ui {

QString FromGbk(const std::string& gbk);
// std::nullopt when text holds a character that GBK cannot encode.
std::optional<std::string> ToGbk(const QString& text);
// For texts that were already checked (edits refuse non-GBK input); never "?".
std::string ToGbkChecked(const QString& text);
// Byte length of text in GBK, or -1 when it cannot be encoded.
int GbkLength(const QString& text);

} // namespace kestrel::ui
