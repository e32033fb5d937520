// The baseline of the start-up benchmark: a bare Qt Widgets program that shows one dialog of
// the login's size and controls, and ends when the dialog is closed.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("登录"));
    dialog.setFixedSize(280, 114);
    auto* nameLabel = new QLabel(QStringLiteral("用户名："), &dialog);
    nameLabel->setGeometry(10, 26, 48, 13);
    auto* name = new QLineEdit(&dialog);
    name->setGeometry(63, 23, 100, 20);
    auto* passwordLabel = new QLabel(QStringLiteral("保密字："), &dialog);
    passwordLabel->setGeometry(10, 62, 48, 13);
    auto* password = new QLineEdit(&dialog);
    password->setEchoMode(QLineEdit::Password);
    password->setGeometry(63, 59, 100, 20);
    auto* ok = new QPushButton(QStringLiteral("&O.确定"), &dialog);
    ok->setGeometry(195, 11, 75, 23);
    auto* cancel = new QPushButton(QStringLiteral("&X.取消"), &dialog);
    cancel->setGeometry(195, 39, 75, 23);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    dialog.exec();
    return 0;
}
