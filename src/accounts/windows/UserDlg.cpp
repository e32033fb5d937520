#include "accounts/windows/UserDlg.h"

#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QLabel>
#include <QPushButton>

#include <utility>

namespace kestrel {

namespace {
QLabel* RightLabel(const QString& text, const QRect& rect, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(rect);
    return label;
}

// The first character of text whose GBK form holds the byte 0x80, or an empty string.
QString FirstCharWithByte80(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString character = text.mid(i, length);
        if (ui::ToGbkChecked(character).find('\x80') != std::string::npos)
            return character;
        i += length - 1;
    }
    return QString();
}
} // namespace

UserDlg::UserDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("用户"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(205, 64));

    QLabel* nameLabel = RightLabel(QStringLiteral("用户："), du.Rect(7, 9, 43, 8), this);
    m_nameEdit = new ui::GbkLineEdit(4, this);
    m_nameEdit->setGeometry(du.Rect(53, 7, 78, 12));
    QLabel* passwordLabel = RightLabel(QStringLiteral("密码："), du.Rect(7, 28, 43, 8), this);
    m_passwordEdit = new ui::GbkLineEdit(15, this);
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    m_passwordEdit->setGeometry(du.Rect(53, 26, 78, 12));
    QLabel* confirmLabel = RightLabel(QStringLiteral("确认密码："), du.Rect(7, 47, 43, 8), this);
    m_confirmEdit = new ui::GbkLineEdit(15, this);
    m_confirmEdit->setEchoMode(QLineEdit::Password);
    m_confirmEdit->setGeometry(du.Rect(53, 45, 78, 12));
    // The labels name their fields for a screen reader.
    nameLabel->setBuddy(m_nameEdit);
    passwordLabel->setBuddy(m_passwordEdit);
    confirmLabel->setBuddy(m_confirmEdit);
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
    // The user table stores its texts with bit 7 inverted and ends them at the first zero: a
    // byte 0x80 would come back as the end of the text, and the user could never log in again.
    const std::pair<QString, QString> fields[] = {{QStringLiteral("用户名"), m_nameEdit->text()},
                                                  {QStringLiteral("密码"), m_passwordEdit->text()}};
    for (const auto& [field, text] : fields) {
        const QString unstorable = FirstCharWithByte80(text);
        if (unstorable.isEmpty())
            continue;
        ui::ShowMessage(this, QStringLiteral("%1中的“%2”无法保存在用户文件中（保存后将无法登录），请换用其他字符。")
                                  .arg(field, unstorable));
        return;
    }
    m_userName = name;
    m_password = password;
    QDialog::accept();
}

} // namespace kestrel
