#include "accounts/UserDlg.h"

#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"

#include <QLabel>
#include <QPushButton>

namespace kestrel {

namespace {
QLabel* RightLabel(const QString& text, const QRect& rect, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(rect);
    return label;
}
} // namespace

UserDlg::UserDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("用户"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(205, 64));

    RightLabel(QStringLiteral("用户："), du.Rect(7, 9, 43, 8), this);
    m_nameEdit = new ui::GbkLineEdit(4, this);
    m_nameEdit->setGeometry(du.Rect(53, 7, 78, 12));
    RightLabel(QStringLiteral("密码："), du.Rect(7, 28, 43, 8), this);
    m_passwordEdit = new ui::GbkLineEdit(15, this);
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    m_passwordEdit->setGeometry(du.Rect(53, 26, 78, 12));
    RightLabel(QStringLiteral("确认密码："), du.Rect(7, 47, 43, 8), this);
    m_confirmEdit = new ui::GbkLineEdit(15, this);
    m_confirmEdit->setEchoMode(QLineEdit::Password);
    m_confirmEdit->setGeometry(du.Rect(53, 45, 78, 12));
    auto* ok = new QPushButton(QStringLiteral("&O.确认"), this);
    ok->setGeometry(du.Rect(148, 7, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&X.取消"), this);
    cancel->setGeometry(du.Rect(148, 24, 50, 14));
    connect(ok, &QPushButton::clicked, this, &UserDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &UserDlg::reject);

    setTabOrder(m_nameEdit, m_passwordEdit);
    setTabOrder(m_passwordEdit, m_confirmEdit);
    setTabOrder(m_confirmEdit, ok);
    setTabOrder(ok, cancel);
}

void UserDlg::SetMode(Mode mode) {
    m_mode = mode;
    // An existing user's name cannot be changed here.
    m_nameEdit->setEnabled(mode == kNewUser);
}

void UserDlg::SetUserName(const std::string& name) {
    m_userName = name;
    m_nameEdit->SetGbkText(name);
}

void UserDlg::accept() {
    const std::string name = m_nameEdit->GbkText();
    const std::string password = m_passwordEdit->GbkText();
    const std::string confirmation = m_confirmEdit->GbkText();
    if (name.empty() || password.empty() || confirmation.empty() || password != confirmation)
        return;
    m_userName = name;
    m_password = password;
    QDialog::accept();
}

} // namespace kestrel
