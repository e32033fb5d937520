#pragma once
// A ModalResponder driven by a script: each modal the program opens takes the next answer of
// its kind, and every modal is recorded, so a test both answers and checks what was asked.
// Dialogs are shown (not exec'd) and handed to the scripted function, which types and clicks
// into them as a user would; a dialog still open afterwards counts as cancelled.
#include "ui/Seam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTest>

#include <deque>
#include <functional>
#include <vector>

namespace kestrel::test {

struct AskedBox {
    QString text;
    QString caption;
    ui::Icon icon = ui::Icon::None;
    bool defaultNo = false;
};

struct AskedFile {
    ui::FileDialogKind kind;
    QString initialPath;
    QString filter;
};

class ScriptedResponder : public ui::ModalResponder {
public:
    using DialogScript = std::function<void(QDialog*)>;

    ScriptedResponder() : m_previous(ui::CurrentModalResponder()) { ui::SetModalResponder(this); }
    ~ScriptedResponder() override { ui::SetModalResponder(m_previous); }
    ScriptedResponder(const ScriptedResponder&) = delete;
    ScriptedResponder& operator=(const ScriptedResponder&) = delete;

    // --- the script ----------------------------------------------------------------------
    void AnswerYes() { m_answers.push_back(true); }
    void AnswerNo() { m_answers.push_back(false); }
    void AnswerFile(const QString& path) { m_files.push_back(path); }
    // The next dialog run through the seam is shown and handed to script.
    void OnDialog(DialogScript script) { m_dialogs.push_back(std::move(script)); }
    // The next dialog is accepted without being shown (a stand-in for a dialog a test does
    // not care about, such as the property sheet).
    void AcceptDialog() {
        m_dialogs.push_back([](QDialog* dialog) { dialog->done(QDialog::Accepted); });
    }
    void CancelDialog() {
        m_dialogs.push_back([](QDialog* dialog) { dialog->done(QDialog::Rejected); });
    }

    // --- the record ----------------------------------------------------------------------
    std::vector<AskedBox> messages;
    std::vector<AskedBox> questions;
    std::vector<AskedFile> files;
    QStringList dialogTitles;
    int unscripted = 0; // modals that found no answer waiting (answered No / cancel / empty)

    QStringList MessageTexts() const {
        QStringList texts;
        for (const AskedBox& box : messages)
            texts << box.text;
        return texts;
    }
    bool ScriptDone() const { return m_answers.empty() && m_files.empty() && m_dialogs.empty(); }

    // --- ModalResponder ------------------------------------------------------------------
    void Message(QWidget*, const QString& text, const QString& caption, ui::Icon icon) override {
        messages.push_back({text, caption, icon, false});
    }
    bool Question(QWidget*, const QString& text, const QString& caption, ui::Icon icon, bool defaultNo) override {
        questions.push_back({text, caption, icon, defaultNo});
        if (m_answers.empty()) {
            ++unscripted;
            return false;
        }
        const bool answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }
    QString FileName(ui::FileDialogKind kind, const QString& initialPath, const QString& filter) override {
        files.push_back({kind, initialPath, filter});
        if (m_files.empty()) {
            ++unscripted;
            return QString();
        }
        QString path = m_files.front();
        m_files.pop_front();
        return path;
    }
    int Dialog(QDialog* dialog) override {
        dialogTitles << dialog->windowTitle();
        if (m_dialogs.empty()) {
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

private:
    ui::ModalResponder* m_previous;
    std::deque<bool> m_answers;
    std::deque<QString> m_files;
    std::deque<DialogScript> m_dialogs;
};

// --- driving dialogs as a user would ----------------------------------------------------

// The push button whose text is exactly text (mnemonic included, e.g. "&O.确认").
inline QAbstractButton* Button(QWidget* dialog, const QString& text) {
    for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
        if (button->text() == text)
            return button;
    return nullptr;
}

inline void Click(QWidget* dialog, const QString& text) {
    QAbstractButton* button = Button(dialog, text);
    if (!button)
        qFatal("no button %s", qPrintable(text));
    QTest::mouseClick(button, Qt::LeftButton);
}

// Types text into an edit box key by key, so the box's own input checks apply. Characters
// beyond Latin-1 go in as key events that carry only their text, as an input method sends them.
inline void Type(QWidget* edit, const QString& text) {
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

inline void PressEnter(QWidget* widget) {
    QTest::keyClick(widget, Qt::Key_Return);
}

} // namespace kestrel::test
