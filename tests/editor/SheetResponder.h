#pragma once
// Answers the property sheet's modals in tests and records what was asked.
#include "ui/Seam.h"

#include <QDialog>
#include <QString>

#include <deque>
#include <functional>
#include <vector>

namespace kestrel::test {

struct AskedModal {
    QString text;
    QString caption;
    ui::Icon icon = ui::Icon::None;
    bool defaultNo = false;
};

class SheetResponder : public ui::ModalResponder {
public:
    SheetResponder() { ui::SetModalResponder(this); }
    ~SheetResponder() override { ui::SetModalResponder(nullptr); }

    std::vector<AskedModal> messages;
    std::vector<AskedModal> questions;
    std::deque<bool> answers;     // next Yes/No answers; No when empty
    std::vector<QString> dialogs; // window titles of the dialogs that were run
    // Drives a dialog; by default every dialog is cancelled.
    std::function<int(QDialog*)> onDialog;
    std::deque<QString> fileNames;
    // Acts on a busy window before its work starts (pressing "取消", say).
    std::function<void(QDialog*)> onBusy;

    void Message(QWidget*, const QString& text, const QString& caption, ui::Icon icon) override {
        messages.push_back({text, caption, icon, false});
    }
    bool Question(QWidget*, const QString& text, const QString& caption, ui::Icon icon, bool defaultNo) override {
        questions.push_back({text, caption, icon, defaultNo});
        if (answers.empty())
            return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QString FileName(ui::FileDialogKind, const QString&, const QString&) override {
        if (fileNames.empty())
            return QString();
        QString name = fileNames.front();
        fileNames.pop_front();
        return name;
    }
    int Dialog(QDialog* dialog) override {
        dialogs.push_back(dialog->windowTitle());
        return onDialog ? onDialog(dialog) : QDialog::Rejected;
    }

    void Busy(QDialog* window) override {
        if (onBusy)
            onBusy(window);
    }

    bool WasShown(const QString& text) const {
        for (const AskedModal& message : messages)
            if (message.text == text)
                return true;
        return false;
    }
};

} // namespace kestrel::test
