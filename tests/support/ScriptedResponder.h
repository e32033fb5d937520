#pragma once
// The tests' answer to every modal window: installed through the seam, it takes the next
// scripted answer of each kind and records everything the program asked, so a test both
// answers and checks. Nothing modal ever blocks a test.
#include "ui/Seam.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <initializer_list>
#include <vector>

class QAbstractButton;
class QDialog;
class QWidget;

namespace kestrel::testsupport {

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

    ScriptedResponder();
    ~ScriptedResponder() override;
    ScriptedResponder(const ScriptedResponder&) = delete;
    ScriptedResponder& operator=(const ScriptedResponder&) = delete;

    // --- the script ----------------------------------------------------------------------
    // Yes/No questions take these answers in order; one without an answer waiting gets No.
    void AnswerYes() { m_answers.push_back(true); }
    void AnswerNo() { m_answers.push_back(false); }
    void Answer(std::initializer_list<bool> answers) { m_answers.insert(m_answers.end(), answers); }
    // File dialogs take these paths in order; one without a path waiting is cancelled.
    void AnswerFile(const QString& path) { m_files.push_back(path); }
    // The next dialog is shown and handed to script, which types and clicks into it as a user
    // would; a dialog still open afterwards counts as cancelled.
    void OnDialog(DialogScript script) { m_dialogs.push_back(std::move(script)); }
    // The next dialog is accepted, or cancelled, without being shown.
    void AcceptDialog();
    void CancelDialog();
    // Drives every dialog that finds no script waiting, without showing it, and returns its
    // result. Without it such a dialog is cancelled.
    std::function<int(QDialog*)> onDialog;
    // Acts on a busy window before its work starts (pressing "取消", say).
    std::function<void(QDialog*)> onBusy;

    // --- the record ----------------------------------------------------------------------
    std::vector<AskedBox> messages;
    std::vector<AskedBox> questions;
    std::vector<AskedFile> files;
    QStringList dialogTitles;
    int busyWindows = 0;
    int unscripted = 0; // modals that found no answer waiting (answered No / cancel / empty)

    QStringList MessageTexts() const;
    bool WasShown(const QString& text) const { return MessageTexts().contains(text); }
    bool ScriptDone() const { return m_answers.empty() && m_files.empty() && m_dialogs.empty(); }

    // --- ModalResponder ------------------------------------------------------------------
    void Message(QWidget*, const QString& text, const QString& caption, ui::Icon icon) override;
    bool Question(QWidget*, const QString& text, const QString& caption, ui::Icon icon, bool defaultNo) override;
    QString FileName(ui::FileDialogKind kind, const QString& initialPath, const QString& filter) override;
    int Dialog(QDialog* dialog) override;
    void Busy(QDialog* window) override;

private:
    ui::ModalResponder* m_previous;
    std::deque<bool> m_answers;
    std::deque<QString> m_files;
    std::deque<DialogScript> m_dialogs;
};

// --- driving windows as a user would ----------------------------------------------------

// The button whose text is exactly text (mnemonic included, e.g. "&O.确认"), or nullptr.
QAbstractButton* Button(QWidget* window, const QString& text);
// Clicks that button; a missing button ends the test program.
void Click(QWidget* window, const QString& text);
// Types text into an edit box key by key, so the box's own input checks apply. Characters
// beyond ASCII go in as key events that carry only their text, as an input method sends them.
void Type(QWidget* edit, const QString& text);
void PressEnter(QWidget* widget);

} // namespace kestrel::testsupport
