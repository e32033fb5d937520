#pragma once
// "登录": checks a user name and password against the user table.
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
    // The dialog only reads the table; the caller keeps it alive while the dialog exists.
    Login(const UserTable& table, int32_t count, QWidget* parent = nullptr);

    // The user name exactly as typed (GBK), valid after the dialog was confirmed.
    std::string UserName() const { return m_userName; }

    ui::GbkLineEdit* NameEdit() const { return m_nameEdit; }
    ui::GbkLineEdit* PasswordEdit() const { return m_passwordEdit; }

public slots:
    void accept() override;

private:
    const UserTable& m_table;
    int32_t m_count;
    std::string m_userName;
    ui::GbkLineEdit* m_nameEdit;
    ui::GbkLineEdit* m_passwordEdit;
};

} // namespace kestrel
