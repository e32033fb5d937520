#include "support/ScriptedResponder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QTest>

namespace kestrel::testsupport {

ScriptedResponder::ScriptedResponder() : m_previous(ui::CurrentModalResponder()) {
    ui::SetModalResponder(this);
}

ScriptedResponder::~ScriptedResponder() {
    ui::SetModalResponder(m_previous);
}

void ScriptedResponder::AcceptDialog() {
    m_dialogs.push_back([](QDialog* dialog) { dialog->done(QDialog::Accepted); });
}

void ScriptedResponder::CancelDialog() {
    m_dialogs.push_back([](QDialog* dialog) { dialog->done(QDialog::Rejected); });
}

QStringList ScriptedResponder::MessageTexts() const {
    QStringList texts;
    for (const AskedBox& box : messages)
        texts << box.text;
    return texts;
}

void ScriptedResponder::Message(QWidget*, const QString& text, const QString& caption, ui::Icon icon) {
    messages.push_back({text, caption, icon, false});
}

bool ScriptedResponder::Question(QWidget*, const QString& text, const QString& caption, ui::Icon icon, bool defaultNo) {
    questions.push_back({text, caption, icon, defaultNo});
    if (m_answers.empty()) {
        ++unscripted;
        return false;
    }
    const bool answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

QString ScriptedResponder::FileName(ui::FileDialogKind kind, const QString& initialPath, const QString& filter) {
    files.push_back({kind, initialPath, filter});
    if (m_files.empty()) {
        ++unscripted;
        return QString();
    }
    QString path = m_files.front();
    m_files.pop_front();
    return path;
}

int ScriptedResponder::Dialog(QDialog* dialog) {
    dialogTitles << dialog->windowTitle();
    if (m_dialogs.empty()) {
        if (onDialog)
            return onDialog(dialog);
        ++unscripted;
        return QDialog::Rejected;
    }
    DialogScript script = std::move(m_dialogs.front());
    m_dialogs.pop_front();
    dialog->setResult(QDialog::Rejected);
    dialog->show();
    script(dialog);
    if (dialog->isVisible()) {
        dialog->hide();
        return QDialog::Rejected;
    }
    return dialog->result();
}

void ScriptedResponder::Busy(QDialog* window) {
    ++busyWindows;
    if (onBusy)
        onBusy(window);
}

QAbstractButton* Button(QWidget* window, const QString& text) {
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>())
        if (button->text() == text)
            return button;
    return nullptr;
}

void Click(QWidget* window, const QString& text) {
    QAbstractButton* button = Button(window, text);
    if (!button)
        qFatal("no button %s", qPrintable(text));
    QTest::mouseClick(button, Qt::LeftButton);
}

void Type(QWidget* edit, const QString& text) {
    edit->setFocus();
    for (qsizetype i = 0; i < text.size(); ++i) {
        QString key(text[i]);
        if (text[i].isHighSurrogate() && i + 1 < text.size())
            key += text[++i];
        if (key.size() == 1 && key[0].unicode() < 0x80) {
            QTest::keyClick(edit, key[0].toLatin1());
            continue;
        }
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, key);
        QApplication::sendEvent(edit, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, key);
        QApplication::sendEvent(edit, &release);
    }
}

void PressEnter(QWidget* widget) {
    QTest::keyClick(widget, Qt::Key_Return);
}

} // namespace kestrel::testsupport
