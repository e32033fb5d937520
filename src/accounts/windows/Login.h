#pragma once
// "登录": checks a user name and password against the user table.
#include "accounts/UserAccess.h"
#include "accounts/UserTable.h"

#include <QDialog>

#include <string>

namespace kestrel {
namespace ui {
class GbkLineEdit;
}

class Login : public QDialog {
    Q_OBJECT
public:
    // Checks against a copy of the table.
    Login(const UserTable& table, int32_t count, QWidget* parent = nullptr);
    // Checks as users allows: against the table, through the helper, or not at all.
    explicit Login(UserAccess users, QWidget* parent = nullptr);

    // The user name exactly as typed (GBK), valid after the dialog was confirmed.
    std::string UserName() const { return m_userName; }

    ui::GbkLineEdit* NameEdit() const { return m_nameEdit; }
    ui::GbkLineEdit* PasswordEdit() const { return m_passwordEdit; }

public slots:
    void accept() override;

private:
    UserAccess m_users;
    std::string m_userName;
    ui::GbkLineEdit* m_nameEdit;
    ui::GbkLineEdit* m_passwordEdit;
};

} // namespace kestrel
