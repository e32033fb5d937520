#include "ui/GbkText.h"

#include "core/Gbk.h"

namespace kestrel::ui {

QString FromGbk(const std::string& gbk) {
    return QString::fromStdString(GbkToUtf8(gbk));
}

std::optional<std::string> ToGbk(const QString& text) {
    return Utf8ToGbk(text.toStdString());
}

std::string ToGbkChecked(const QString& text) {
    auto gbk = ToGbk(text);
    return gbk ? *gbk : std::string();
}

int GbkLength(const QString& text) {
    auto gbk = ToGbk(text);
    return gbk ? static_cast<int>(gbk->size()) : -1;
}

} // namespace kestrel::ui
