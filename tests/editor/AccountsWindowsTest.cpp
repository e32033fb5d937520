// Login, the call flow of one session, and user administration, driven through their windows.
#include "support/Files.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "accounts/Settings.h"
#include "accounts/UserTable.h"
#include "accounts/entry/DesignSession.h"
#include "accounts/windows/Login.h"
#include "accounts/windows/UserDlg.h"
#include "accounts/windows/UserListDlg.h"
#include "core/FixedText.h"
#include "editor/ModuleEditDlg.h"
#include "ui/GbkEdit.h"

#include <QAbstractButton>
#include <QLabel>
#include <QListWidget>
#include <QtTest>

#include <fstream>
#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

void SaveUsers(std::initializer_list<std::pair<const char*, const char*>> users) {
    auto table = std::make_unique<UserTable>();
    for (const auto& [name, password] : users) {
        SetFieldText(table->records[table->count].name, name);
        SetFieldText(table->records[table->count].password, password);
        ++table->count;
    }
    QVERIFY(UserTableSave(*table, table->count));
}

std::vector<std::pair<std::string, std::string>> LoadUsers() {
    auto table = std::make_unique<UserTable>();
    const int count = UserTableLoad(*table).value();
    std::vector<std::pair<std::string, std::string>> users;
    for (int i = 0; i < count; ++i)
        users.emplace_back(FieldText(table->records[i].name), FieldText(table->records[i].password));
    return users;
}

void FillUserDlg(QDialog* dialog, const QString& name, const QString& password, const QString& confirmation) {
    auto* userDlg = qobject_cast<UserDlg*>(dialog);
    QVERIFY(userDlg);
    if (!name.isEmpty())
        Type(userDlg->NameEdit(), name);
    Type(userDlg->PasswordEdit(), password);
    Type(userDlg->ConfirmEdit(), confirmation);
    Click(dialog, QStringLiteral("&O.确认"));
}

QListWidget* UserList(QDialog* dialog) {
    return qobject_cast<UserListDlg*>(dialog)->List();
}

} // namespace

class AccountsWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InitKestrelResources(); }

    void loginRefusesUnknownNameAndWrongPassword() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        auto table = std::make_unique<UserTable>();
        const int count = UserTableLoad(*table).value(); // no file: the built-in table
        Login login(*table, count);
        QCOMPARE(login.windowTitle(), QStringLiteral("登录"));
        login.show();

        Type(login.NameEdit(), QStringLiteral("li"));
        Type(login.PasswordEdit(), QStringLiteral("tide oak plum"));
        Click(&login, QStringLiteral("&O.确定"));
        QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("无效用户！")});
        QCOMPARE(responder.messages.back().caption, QString()); // the host's title stands in
        QVERIFY(login.isVisible());

        login.NameEdit()->clear();
        Type(login.NameEdit(), QStringLiteral("sa"));
        login.PasswordEdit()->clear();
        Type(login.PasswordEdit(), QStringLiteral("Tide oak plum"));
        PressEnter(login.PasswordEdit());
        QCOMPARE(responder.messages.back().text, QStringLiteral("密码错误！"));
        QVERIFY(login.isVisible());
        QCOMPARE(login.NameEdit()->text(), QStringLiteral("sa")); // fields keep what was typed

        login.PasswordEdit()->clear();
        Type(login.PasswordEdit(), QStringLiteral("tide oak plum"));
        PressEnter(login.PasswordEdit());
        QCOMPARE(login.result(), int(QDialog::Accepted));
        QCOMPARE(login.UserName(), std::string("sa"));
        QCOMPARE(responder.messages.size(), std::size_t(2));
    }

    void loginFirstNameMatchDecides() {
        TestWorkspace workspace;
        SaveUsers({{"ab", "one"}, {"AB", "two"}});
        ScriptedResponder responder;
        auto table = std::make_unique<UserTable>();
        const int count = UserTableLoad(*table).value();
        Login login(*table, count);
        login.show();
        Type(login.NameEdit(), QStringLiteral("AB"));
        Type(login.PasswordEdit(), QStringLiteral("two"));
        Click(&login, QStringLiteral("&O.确定"));
        QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("密码错误！")});
    }

    // A table that exists and cannot be used is no first start: nobody gets in, the built-in
    // SA neither, and the user list writes nothing over it.
    void damagedTableLetsNobodyInAndIsNotOverwritten() {
        TestWorkspace workspace;
        const std::string damaged("\x02\0\0\0short", 9);
        WriteBytes(workspace.Program() / "kestrel.usr", damaged);
        const QString why = QStringLiteral("kestrel.usr: damaged (user file shorter than its count claims)");
        ScriptedResponder responder;
        responder.OnDialog([&](QDialog* dialog) {
            auto* login = qobject_cast<Login*>(dialog);
            Type(login->NameEdit(), QStringLiteral("SA"));
            Type(login->PasswordEdit(), QStringLiteral("tide oak plum"));
            PressEnter(login->PasswordEdit());
            QCOMPARE(responder.MessageTexts(), QStringList{why});
            QVERIFY(login->isVisible());
            Click(dialog, QStringLiteral("&X.取消"));
        });
        RunDesignSession();
        QCOMPARE(responder.dialogTitles, QStringList{QStringLiteral("登录")}); // no editor

        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.dialogTitles.size(), 1); // no user list
        QCOMPARE(responder.MessageTexts().back(), why);
        QCOMPARE(ReadBytes(workspace.Program() / "kestrel.usr"), damaged);
        QVERIFY(!std::filesystem::exists(workspace.Program() / "kestrel.usr.bak"));
    }

    void loginFieldsLimitGbkBytes() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        UserTable table;
        Login login(table, 0);
        login.show();
        Type(login.NameEdit(), QStringLiteral("张三丰"));
        QCOMPARE(login.NameEdit()->text(), QStringLiteral("张三")); // 4 bytes
        login.NameEdit()->clear();
        Type(login.NameEdit(), QStringLiteral("a😀b")); // no GBK form
        QCOMPARE(login.NameEdit()->text(), QStringLiteral("ab"));
        Type(login.PasswordEdit(), QStringLiteral("0123456789abcdefgh"));
        QCOMPARE(login.PasswordEdit()->text().size(), 15);
        QCOMPARE(login.PasswordEdit()->echoMode(), QLineEdit::Password);
        QCOMPARE(login.focusWidget(), static_cast<QWidget*>(login.PasswordEdit()));
    }

    // A button reached with Tab takes Enter for itself, as in any dialog.
    void enterOnFocusedButtonPressesIt() {
        TestWorkspace workspace;
        SaveUsers({{"SA", "s"}, {"li", "1"}, {"wang", "2"}});
        ScriptedResponder responder;
        auto table = std::make_unique<UserTable>();
        const int count = UserTableLoad(*table).value();
        Login login(*table, count);
        login.show();
        Type(login.NameEdit(), QStringLiteral("li"));
        QAbstractButton* cancel = Button(&login, QStringLiteral("&X.取消"));
        cancel->setFocus(Qt::TabFocusReason);
        QTest::keyClick(cancel, Qt::Key_Return);
        QCOMPARE(login.result(), int(QDialog::Rejected));
        QVERIFY(responder.messages.empty()); // no login check was made

        responder.OnDialog([](QDialog* list) {
            UserList(list)->setCurrentRow(1);
            QAbstractButton* remove = Button(list, QStringLiteral("&D.删除"));
            remove->setFocus(Qt::TabFocusReason);
            QTest::keyClick(remove, Qt::Key_Return); // delete, not the default change
            QCOMPARE(UserList(list)->count(), 2);
            Click(list, QStringLiteral("&X.退出"));
        });
        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.dialogTitles, QStringList{QStringLiteral("用户清单")});
        QCOMPARE(LoadUsers().size(), std::size_t(2));
    }

    void cancelledLoginLeavesSettingsUntouched() {
        TestWorkspace workspace;
        {
            ScriptedResponder responder;
            responder.OnDialog([](QDialog* dialog) { Click(dialog, QStringLiteral("&X.取消")); });
            RunDesignSession();
            QCOMPARE(responder.dialogTitles, QStringList{QStringLiteral("登录")});
            QVERIFY(!std::filesystem::exists(workspace.Ini()));
        }
        const std::string before = "; mine\n[CONFIG]\nLASTFILE=/x/y.MGP\n";
        std::ofstream(workspace.Ini()) << before;
        ScriptedResponder responder;
        responder.OnDialog([](QDialog* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        RunDesignSession();
        QCOMPARE(ReadBytes(workspace.Ini()), before);
    }

    void sessionHandsTypedNameAndStoresCatalogue() {
        TestWorkspace workspace;
        // A stored path of 120 bytes reaches the editor cut to 99.
        const std::string longPath = "/" + std::string(119, 'p');
        QVERIFY(WriteLastFile(longPath, workspace.Ini()));
        ScriptedResponder responder;
        responder.OnDialog([](QDialog* dialog) {
            auto* login = qobject_cast<Login*>(dialog);
            Type(login->NameEdit(), QStringLiteral("sa"));
            Type(login->PasswordEdit(), QStringLiteral("tide oak plum"));
            PressEnter(login->PasswordEdit());
        });
        std::string seenName;
        std::string seenLastFile;
        QString seenPane;
        responder.OnDialog([&](QDialog* dialog) {
            auto* editor = qobject_cast<ModuleEditDlg*>(dialog);
            QVERIFY(editor);
            seenName = editor->UserName();
            seenLastFile = editor->LastFile();
            seenPane = editor->StatusPane(1)->text();
            QCOMPARE(editor->windowTitle(), QStringLiteral("模块定义工具"));
            QTest::keyClick(dialog, Qt::Key_Escape); // start view: Esc leaves the window
        });
        RunDesignSession();
        QCOMPARE(seenName, std::string("sa"));
        QCOMPARE(seenPane, QStringLiteral("sa"));
        QCOMPARE(seenLastFile, longPath.substr(0, 99));
        QCOMPARE(ReadLastFile(workspace.Ini()), longPath.substr(0, 99));
        QVERIFY(responder.ScriptDone());
    }

    void sessionWithoutSettingsStartsFromPattern() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        responder.OnDialog([](QDialog* dialog) {
            auto* login = qobject_cast<Login*>(dialog);
            Type(login->NameEdit(), QStringLiteral("SA"));
            Type(login->PasswordEdit(), QStringLiteral("tide oak plum"));
            Click(dialog, QStringLiteral("&O.确定"));
        });
        std::string seenLastFile;
        responder.OnDialog([&](QDialog* dialog) {
            seenLastFile = qobject_cast<ModuleEditDlg*>(dialog)->LastFile();
            qobject_cast<ModuleEditDlg*>(dialog)->ExitCommand();
        });
        RunDesignSession();
        QCOMPARE(seenLastFile, std::string("*.MGP"));
        const std::string ini = ReadBytes(workspace.Ini());
        QVERIFY(ini.find("[CONFIG]") != std::string::npos);
        QVERIFY(ini.find("LASTFILE=*.MGP") != std::string::npos);
    }

    void administratorAddsRefusesDuplicateKeepsSaAndAlwaysSaves() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        responder.OnDialog([&](QDialog* list) {
            QCOMPARE(list->windowTitle(), QStringLiteral("用户清单"));
            QCOMPARE(UserList(list)->count(), 1);
            QCOMPARE(UserList(list)->currentRow(), 0);
            // A new user, whatever its name, becomes the last line.
            responder.OnDialog([](QDialog* dialog) {
                FillUserDlg(dialog, QStringLiteral("ab"), QStringLiteral("pw"), QStringLiteral("pw"));
            });
            Click(list, QStringLiteral("&A.增加"));
            QCOMPARE(UserList(list)->count(), 2);
            QCOMPARE(UserList(list)->item(1)->text(), QStringLiteral("ab"));
            QCOMPARE(UserList(list)->currentRow(), 1);
            // "sa" exists as "SA".
            responder.OnDialog([](QDialog* dialog) {
                FillUserDlg(dialog, QStringLiteral("sa"), QStringLiteral("x"), QStringLiteral("x"));
            });
            Click(list, QStringLiteral("&A.增加"));
            QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("用户名重复！")});
            QCOMPARE(UserList(list)->count(), 2);
            // SA cannot be deleted; no message.
            UserList(list)->setCurrentRow(0);
            Click(list, QStringLiteral("&D.删除"));
            QCOMPARE(UserList(list)->count(), 2);
            QCOMPARE(responder.messages.size(), std::size_t(1));
            // A cancelled password change changes nothing.
            responder.CancelDialog();
            QTest::keyClick(UserList(list), Qt::Key_Return); // the default button: change
            Click(list, QStringLiteral("&X.退出"));
        });
        RunUserCommand(nullptr, "sa");
        QVERIFY(responder.ScriptDone());
        const auto users = LoadUsers();
        QCOMPARE(users.size(), std::size_t(2));
        QCOMPARE(users[0], std::make_pair(std::string("SA"), std::string("tide oak plum")));
        QCOMPARE(users[1], std::make_pair(std::string("ab"), std::string("pw")));
        QCOMPARE(std::filesystem::file_size(workspace.Program() / "kestrel.usr"), std::uintmax_t(4 + 32 * 2));
    }

    void administratorDeletesAndChangesPassword() {
        TestWorkspace workspace;
        SaveUsers({{"SA", "s"}, {"li", "1"}, {"wang", "2"}});
        ScriptedResponder responder;
        responder.OnDialog([&](QDialog* list) {
            UserList(list)->setCurrentRow(1);
            Click(list, QStringLiteral("&D.删除"));
            QCOMPARE(UserList(list)->count(), 2);
            // The removed line takes the selection with it: a second press, or a change,
            // must not fall on the user who moved up into its place.
            QVERIFY(UserList(list)->selectedItems().isEmpty());
            Click(list, QStringLiteral("&D.删除"));
            QCOMPARE(UserList(list)->count(), 2);
            QTest::keyClick(UserList(list), Qt::Key_Return);
            QVERIFY(responder.dialogTitles.size() == 1); // no user dialog opened
            UserList(list)->setCurrentRow(1);
            responder.OnDialog([](QDialog* dialog) {
                auto* userDlg = qobject_cast<UserDlg*>(dialog);
                QVERIFY(!userDlg->NameEdit()->isEnabled());
                QCOMPARE(userDlg->NameEdit()->text(), QStringLiteral("wang"));
                // A confirmation that differs in letter case keeps the dialog open.
                FillUserDlg(dialog, QString(), QStringLiteral("New"), QStringLiteral("new"));
                QVERIFY(dialog->isVisible());
                userDlg->ConfirmEdit()->clear();
                Type(userDlg->ConfirmEdit(), QStringLiteral("New"));
                Click(dialog, QStringLiteral("&O.确认"));
            });
            const QPoint line = UserList(list)->visualItemRect(UserList(list)->item(1)).center();
            QTest::mouseClick(UserList(list)->viewport(), Qt::LeftButton, {}, line);
            QTest::mouseDClick(UserList(list)->viewport(), Qt::LeftButton, {}, line);
            QCOMPARE(UserList(list)->currentRow(), 1);
            QTest::keyClick(list, Qt::Key_Escape);
        });
        RunUserCommand(nullptr, "SA");
        QVERIFY(responder.ScriptDone());
        const auto users = LoadUsers();
        QCOMPARE(users.size(), std::size_t(2));
        QCOMPARE(users[0].first, std::string("SA"));
        QCOMPARE(users[1], std::make_pair(std::string("wang"), std::string("New")));
    }

    void administratorCannotAddHundredAndFirstUser() {
        TestWorkspace workspace;
        auto table = std::make_unique<UserTable>();
        for (int i = 0; i < kMaxUsers; ++i) {
            SetFieldText(table->records[i].name, i == 0 ? std::string("SA") : "u" + std::to_string(i));
            SetFieldText(table->records[i].password, "p");
        }
        QVERIFY(UserTableSave(*table, kMaxUsers));
        ScriptedResponder responder;
        responder.OnDialog([&](QDialog* list) {
            Click(list, QStringLiteral("&A.增加"));
            QCOMPARE(responder.dialogTitles.size(), 1); // no user dialog was opened
            QCOMPARE(responder.messages.size(), std::size_t(1));
            QCOMPARE(UserList(list)->count(), kMaxUsers);
            Click(list, QStringLiteral("&X.退出"));
        });
        RunUserCommand(nullptr, "sa");
        QCOMPARE(LoadUsers().size(), std::size_t(kMaxUsers));
    }

    void otherUserChangesOnlyOwnPassword() {
        TestWorkspace workspace;
        SaveUsers({{"SA", "s"}, {"Li", "old"}});
        const std::string before = ReadBytes(workspace.Program() / "kestrel.usr");
        {
            ScriptedResponder responder;
            responder.OnDialog([](QDialog* dialog) {
                QCOMPARE(dialog->windowTitle(), QStringLiteral("用户"));
                auto* userDlg = qobject_cast<UserDlg*>(dialog);
                QCOMPARE(userDlg->NameEdit()->text(), QStringLiteral("Li")); // as stored
                QVERIFY(!userDlg->NameEdit()->isEnabled());
                Click(dialog, QStringLiteral("&X.取消"));
            });
            RunUserCommand(nullptr, "li");
            QCOMPARE(ReadBytes(workspace.Program() / "kestrel.usr"), before);
        }
        ScriptedResponder responder;
        responder.OnDialog(
            [](QDialog* dialog) { FillUserDlg(dialog, QString(), QStringLiteral("neu"), QStringLiteral("neu")); });
        RunUserCommand(nullptr, "li");
        QCOMPARE(LoadUsers()[1], std::make_pair(std::string("Li"), std::string("neu")));

        // A user deleted since the login: nothing is asked, nothing saved.
        ScriptedResponder nobody;
        RunUserCommand(nullptr, "zhao");
        QVERIFY(nobody.dialogTitles.isEmpty());
    }

    // 個 is GBK 82 80: stored, its 0x80 would end the text and lock the user out.
    void textsWithByte80AreRefusedBeforeSaving() {
        TestWorkspace workspace;
        SaveUsers({{"SA", "s"}, {"Li", "old"}});
        ScriptedResponder responder;
        responder.OnDialog([&](QDialog* dialog) {
            FillUserDlg(dialog, QString(), QStringLiteral("a個b"), QStringLiteral("a個b"));
            QVERIFY(dialog->isVisible());
            QCOMPARE(responder.messages.size(), std::size_t(1));
            QVERIFY(responder.messages[0].text.contains(QStringLiteral("密码中的“個”")));
            auto* userDlg = qobject_cast<UserDlg*>(dialog);
            userDlg->PasswordEdit()->clear();
            userDlg->ConfirmEdit()->clear();
            FillUserDlg(dialog, QString(), QStringLiteral("a个b"), QStringLiteral("a个b"));
        });
        RunUserCommand(nullptr, "li");
        QCOMPARE(LoadUsers()[1], std::make_pair(std::string("Li"), Gbk("a个b")));

        responder.messages.clear();
        responder.OnDialog([&](QDialog* list) {
            responder.OnDialog([](QDialog* dialog) {
                FillUserDlg(dialog, QStringLiteral("個"), QStringLiteral("pw"), QStringLiteral("pw"));
            });
            Click(list, QStringLiteral("&A.增加"));
            QCOMPARE(UserList(list)->count(), 2);
            Click(list, QStringLiteral("&X.退出"));
        });
        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.messages.size(), std::size_t(1));
        QVERIFY(responder.messages[0].text.startsWith(QStringLiteral("用户名中的“個”")));
        QCOMPARE(LoadUsers().size(), std::size_t(2));
    }
};

KESTREL_TEST_MAIN(AccountsWindowsTest)
#include "AccountsWindowsTest.moc"
