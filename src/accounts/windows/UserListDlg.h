#pragma once
// "用户清单": SA's list of users, and the user command of the editor's start view.
#include "accounts/UserTable.h"

#include <QDialog>

#include <string>

class QListWidget;

namespace kestrel {

class UserListDlg : public QDialog {
    Q_OBJECT
public:
    // Works on table in place; the caller saves it after the dialog has closed.
    explicit UserListDlg(UserTable& table, QWidget* parent = nullptr);

    int32_t Count() const { return m_table.count; }
    QListWidget* List() const { return m_list; }

public slots:
    void AddUser();
    void ChangePassword();
    void DeleteUser();

private:
    UserTable& m_table;
    QListWidget* m_list;
};

// The "用户" command: SA administers every user, anyone else changes their own password.
// Reads the user file afresh and writes it back.
void RunUserCommand(QWidget* parent, const std::string& currentUser);

} // namespace kestrel
