#include "accounts/windows/Login.h"

#include "accounts/AccountHelper.h"
#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QLabel>
#include <QPushButton>

namespace kestrel {

Login::Login(const UserTable& table, int32_t count, QWidget* parent) : Login(UserAccess::Of(table, count), parent) {}

Login::Login(UserAccess users, QWidget* parent) : QDialog(parent), m_users(std::move(users)) {
    setWindowTitle(QStringLiteral("登录"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(187, 70));

    auto* nameLabel = new QLabel(QStringLiteral("用户名："), this);
    nameLabel->setGeometry(du.Rect(7, 16, 32, 8));
    m_nameEdit = new ui::GbkLineEdit(4, this);
    m_nameEdit->setGeometry(du.Rect(42, 14, 67, 12));
    auto* passwordLabel = new QLabel(QStringLiteral("保密字："), this);
    passwordLabel->setGeometry(du.Rect(7, 38, 32, 8));
    m_passwordEdit = new ui::GbkLineEdit(15, this);
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    m_passwordEdit->setGeometry(du.Rect(42, 36, 67, 12));
    // The labels name their fields for a screen reader.
    nameLabel->setBuddy(m_nameEdit);
    passwordLabel->setBuddy(m_passwordEdit);
    auto* ok = new QPushButton(QStringLiteral("&O.确定"), this);
    ok->setGeometry(du.Rect(130, 7, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&X.取消"), this);
    cancel->setGeometry(du.Rect(130, 24, 50, 14));
    connect(ok, &QPushButton::clicked, this, &Login::accept);
    connect(cancel, &QPushButton::clicked, this, &Login::reject);

    setTabOrder(m_nameEdit, m_passwordEdit);
    setTabOrder(m_passwordEdit, ok);
    setTabOrder(ok, cancel);
}

void Login::accept() {
    const std::string name = m_nameEdit->GbkText();
    const std::string password = m_passwordEdit->GbkText();
    const Result<LoginVerdict, FileError> verdict = m_users.Check(name, password);
    if (!verdict) {
        // A table that exists but cannot be read lets nobody in, the built-in SA neither.
        ui::ShowMessage(this, ui::FromGbk(verdict.error().Text()));
        return;
    }
    if (*verdict == LoginVerdict::kUnknownUser) {
        ui::ShowMessage(this, QStringLiteral("无效用户！"));
        return;
    }
    if (*verdict == LoginVerdict::kWrongPassword) {
        ui::ShowMessage(this, QStringLiteral("密码错误！"));
        return;
    }
    RememberLoginPassword(password);
    m_userName = name;
    QDialog::accept();
}

} // namespace kestrel
