#pragma once
// "用户": a new user's name and password, or a new password for an existing user.
#include <QDialog>

#include <string>

namespace kestrel {
namespace ui {
class GbkLineEdit;
}

class UserDlg : public QDialog {
    Q_OBJECT
public:
    enum Mode { kNewUser = 0, kChangePassword = 1 };

    explicit UserDlg(QWidget* parent = nullptr);

    // Set before running: the mode and, for kChangePassword, the user's name (GBK).
    void SetMode(Mode mode);
    void SetUserName(const std::string& name);
    std::string UserName() const { return m_userName; }
    std::string Password() const { return m_password; }

    ui::GbkLineEdit* NameEdit() const { return m_nameEdit; }
    ui::GbkLineEdit* PasswordEdit() const { return m_passwordEdit; }
    ui::GbkLineEdit* ConfirmEdit() const { return m_confirmEdit; }

public slots:
    void accept() override;

private:
    Mode m_mode = kNewUser;
    std::string m_userName;
    std::string m_password;
    ui::GbkLineEdit* m_nameEdit;
    ui::GbkLineEdit* m_passwordEdit;
    ui::GbkLineEdit* m_confirmEdit;
};

} // namespace kestrel
