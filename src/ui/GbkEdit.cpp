#include "ui/GbkEdit.h"

#include "ui/GbkText.h"

#include <QKeyEvent>
#include <QMimeData>

namespace kestrel::ui {

GbkValidator::GbkValidator(int byteLimit, QObject* parent) : QValidator(parent), m_byteLimit(byteLimit) {}

QValidator::State GbkValidator::validate(QString& input, int&) const {
    const int length = GbkLength(input);
    if (length < 0 || (m_byteLimit >= 0 && length > m_byteLimit))
        return Invalid;
    return Acceptable;
}

GbkLineEdit::GbkLineEdit(int byteLimit, QWidget* parent)
    : QLineEdit(parent), m_validator(new GbkValidator(byteLimit, this)) {
    setValidator(m_validator);
}

void GbkLineEdit::SetByteLimit(int byteLimit) {
    m_validator->SetByteLimit(byteLimit);
}

std::string GbkLineEdit::GbkText() const {
    return ToGbkChecked(text());
}

void GbkLineEdit::SetGbkText(const std::string& gbk) {
    setText(FromGbk(gbk));
}

GbkPlainTextEdit::GbkPlainTextEdit(QWidget* parent) : QPlainTextEdit(parent) {}

std::string GbkPlainTextEdit::GbkText() const {
    QString text = toPlainText();
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return ToGbkChecked(text);
}

void GbkPlainTextEdit::SetGbkText(const std::string& gbk) {
    QString text = FromGbk(gbk);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    setPlainText(text);
}

void GbkPlainTextEdit::keyPressEvent(QKeyEvent* event) {
    // A character beyond the BMP comes as a surrogate pair, whose halves are no printable
    // characters by themselves.
    const QString text = event->text();
    if (!text.isEmpty() && (text.at(0).isPrint() || text.at(0).isSurrogate()) && GbkLength(text) < 0) {
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void GbkPlainTextEdit::inputMethodEvent(QInputMethodEvent* event) {
    if (!event->commitString().isEmpty() && GbkLength(event->commitString()) < 0) {
        event->accept();
        return;
    }
    QPlainTextEdit::inputMethodEvent(event);
}

bool GbkPlainTextEdit::canInsertFromMimeData(const QMimeData* source) const {
    return source->hasText() && GbkLength(source->text()) >= 0;
}

void GbkPlainTextEdit::insertFromMimeData(const QMimeData* source) {
    if (source->hasText() && GbkLength(source->text()) >= 0)
        QPlainTextEdit::insertFromMimeData(source);
}

} // namespace kestrel::ui
