#include "ui/Seam.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include <thread>

namespace kestrel::ui {

namespace {
ModalResponder* g_responder = nullptr;

QMessageBox::Icon ToQt(Icon icon) {
    switch (icon) {
    case Icon::Question:
        return QMessageBox::Question;
    case Icon::Warning:
        return QMessageBox::Warning;
    case Icon::Information:
        return QMessageBox::Information;
    case Icon::Critical:
        return QMessageBox::Critical;
    case Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QString TitleOr(const QString& caption) {
    return caption.isEmpty() ? QCoreApplication::applicationName() : caption;
}
} // namespace

void SetModalResponder(ModalResponder* responder) {
    g_responder = responder;
}
ModalResponder* CurrentModalResponder() {
    return g_responder;
}

void ShowMessage(QWidget* parent, const QString& text, const QString& caption, Icon icon) {
    if (g_responder) {
        g_responder->Message(parent, text, caption, icon);
        return;
    }
    QMessageBox box(ToQt(icon), TitleOr(caption), text, QMessageBox::Ok, parent);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text, const QString& caption, Icon icon, bool defaultNo) {
    if (g_responder)
        return g_responder->Question(parent, text, caption, icon, defaultNo);
    QMessageBox box(ToQt(icon), TitleOr(caption), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是(&Y)"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否(&N)"));
    box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

QString GetFileName(QWidget* parent, FileDialogKind kind, const QString& initialPath, const QString& filter,
                    const QString& defaultSuffix) {
    if (g_responder)
        return g_responder->FileName(kind, initialPath, filter);
    QFileDialog dialog(parent, kind == FileDialogKind::Save ? QStringLiteral("另存为") : QStringLiteral("打开"),
                       initialPath, filter);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (kind == FileDialogKind::Save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // Opening a name that does not exist must reach the caller, which reports the OS error.
        dialog.setFileMode(QFileDialog::AnyFile);
    }
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

int ExecDialog(QDialog* dialog) {
    if (g_responder)
        return g_responder->Dialog(dialog);
    return dialog->exec();
}

void ModalResponder::Busy(QDialog*) {}

void RunBusy(QDialog* window, const std::function<void()>& work) {
    QEventLoop loop;
    window->show();
    if (g_responder)
        g_responder->Busy(window);
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    window->hide();
}

} // namespace kestrel::ui
