#include "accounts/windows/UserListDlg.h"

#include "accounts/UserAccess.h"
#include "accounts/UserTable.h"
#include "accounts/windows/UserDlg.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Overwrite.h"
#include "ui/Seam.h"

#include <QListWidget>
#include <QPushButton>

#include <memory>

namespace kestrel {

UserListDlg::UserListDlg(UserTable& table, QWidget* parent) : QDialog(parent), m_table(table) {
    setWindowTitle(QStringLiteral("用户清单"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(206, 135));

    m_list = new QListWidget(this);
    m_list->setGeometry(du.Rect(7, 7, 128, 121));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_list->setAccessibleName(QStringLiteral("用户清单")); // it has no label of its own
    auto* add = new QPushButton(QStringLiteral("&A.增加"), this);
    add->setGeometry(du.Rect(149, 7, 50, 14));
    auto* change = new QPushButton(QStringLiteral("&M.修改"), this);
    change->setGeometry(du.Rect(149, 25, 50, 14));
    auto* remove = new QPushButton(QStringLiteral("&D.删除"), this);
    remove->setGeometry(du.Rect(149, 43, 50, 14));
    auto* exit = new QPushButton(QStringLiteral("&X.退出"), this);
    exit->setGeometry(du.Rect(149, 61, 50, 14));
    change->setDefault(true);
    connect(add, &QPushButton::clicked, this, &UserListDlg::AddUser);
    connect(change, &QPushButton::clicked, this, &UserListDlg::ChangePassword);
    connect(remove, &QPushButton::clicked, this, &UserListDlg::DeleteUser);
    connect(exit, &QPushButton::clicked, this, &UserListDlg::reject);
    connect(m_list, &QListWidget::itemDoubleClicked, this, &UserListDlg::ChangePassword);

    setTabOrder(m_list, add);
    setTabOrder(add, change);
    setTabOrder(change, remove);
    setTabOrder(remove, exit);

    for (int i = 0; i < m_table.count; ++i)
        m_list->addItem(ui::FromGbk(FieldText(m_table.records[i].name)));
    if (m_list->count() > 0)
        m_list->setCurrentRow(0);
}

void UserListDlg::AddUser() {
    // The table has room for 100 records and the file is read no further.
    if (m_table.count >= kMaxUsers) {
        ui::ShowMessage(this, QStringLiteral("用户已满100个，不能再增加！"));
        return;
    }
    UserDlg dialog(this);
    dialog.SetMode(UserDlg::kNewUser);
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    if (FindUser(m_table, dialog.UserName()) >= 0) {
        ui::ShowMessage(this, QStringLiteral("用户名重复！"));
        return;
    }
    UserRecord& record = m_table.records[m_table.count];
    record = UserRecord{};
    SetFieldText(record.name, dialog.UserName());
    SetFieldText(record.password, dialog.Password());
    ++m_table.count;
    m_list->addItem(ui::FromGbk(dialog.UserName()));
    m_list->setCurrentRow(m_list->count() - 1);
}

void UserListDlg::ChangePassword() {
    const int row = m_list->currentRow();
    if (row < 0 || row >= m_table.count || !m_list->currentItem()->isSelected())
        return;
    UserRecord& record = m_table.records[row];
    UserDlg dialog(this);
    dialog.SetMode(UserDlg::kChangePassword);
    dialog.SetUserName(FieldText(record.name));
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    SetFieldText(record.password, dialog.Password());
    delete m_list->takeItem(row);
    m_list->insertItem(row, ui::FromGbk(FieldText(record.name)));
    m_list->setCurrentRow(row);
}

void UserListDlg::DeleteUser() {
    const int row = m_list->currentRow();
    if (row < 0 || row >= m_table.count || !m_list->currentItem()->isSelected())
        return;
    if (SameUserName(FieldText(m_table.records[row].name), kBuiltInUser))
        return;
    for (int i = row; i + 1 < m_table.count; ++i)
        m_table.records[i] = m_table.records[i + 1];
    --m_table.count;
    m_table.records[m_table.count] = UserRecord{};
    delete m_list->takeItem(row);
    // The list would hand the selection to the next user; a second delete must not take them.
    m_list->clearSelection();
}

void RunUserCommand(QWidget* parent, const std::string& currentUser) {
    auto table = std::make_unique<UserTable>();
    const std::filesystem::path file = ProgramFilePath(kUserFileName);
    // Taken before the read: a save by another copy in between is asked about, never lost.
    const FileStamp stamp = StampOf(file);
    Result<int32_t, FileError> loaded = UserTableLoad(*table);
    // SA's list reaches a table only the helper's group may read through the helper.
    const bool throughHelper = !loaded && HelperMayReadFor(loaded.error()) && SameUserName(currentUser, kBuiltInUser);
    if (throughHelper)
        loaded = LoadUsersThroughHelper(*table);
    if (!loaded) {
        // Neither the built-in table nor a save over a file that could not be read.
        ui::ShowMessage(parent, ui::FromGbk(loaded.error().Text()));
        return;
    }
    auto mayOverwrite = [&] { return ui::MayOverwrite(parent, file, stamp, QString::fromLatin1(kUserFileName)); };
    FileStatus saved;
    if (SameUserName(currentUser, kBuiltInUser)) {
        UserListDlg dialog(*table, parent);
        // Saved on every close: the dialog has no cancel. No to overwriting must not lose the
        // list: it opens again as it was left, unless the user lets the changes go.
        for (;;) {
            ui::ExecDialog(&dialog);
            if (mayOverwrite())
                break;
            if (!ui::AskYesNo(parent,
                              QStringLiteral("“用户清单”没有保存。回到清单继续吗？\n选“否”则放弃清单中的修改。"),
                              QStringLiteral("提示"), ui::Icon::Question))
                return;
        }
        saved = throughHelper ? SaveUsersThroughHelper(*table, dialog.Count()) : UserTableSave(*table, dialog.Count());
    } else {
        const int index = FindUser(*table, currentUser);
        if (index < 0)
            return;
        UserDlg dialog(parent);
        dialog.SetMode(UserDlg::kChangePassword);
        dialog.SetUserName(FieldText(table->records[index].name));
        // No to overwriting opens the dialog again as it was filled in; its cancel writes nothing.
        do {
            if (ui::ExecDialog(&dialog) != QDialog::Accepted)
                return;
        } while (!mayOverwrite());
        SetFieldText(table->records[index].password, dialog.Password());
        saved = UserTableSave(*table, table->count);
    }
    if (!saved)
        ui::ShowMessage(parent, ui::FromGbk(saved.error().Text()));
}

} // namespace kestrel
