// The login and the user list as an account that may not read the user table: through
// kestrel-account installed set-group-ID, or, without a usable helper, nobody gets in. The
// program sets the layout up as root, then runs the windows as nobody in a child.
#include "support/Environment.h"
#include "support/Files.h"
#include "support/HelperLayout.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "accounts/AccountHelper.h"
#include "accounts/UserTable.h"
#include "accounts/entry/DesignSession.h"
#include "accounts/windows/Login.h"
#include "accounts/windows/UserDlg.h"
#include "accounts/windows/UserListDlg.h"
#include "core/TextRoutines.h"
#include "editor/ModuleEditDlg.h"
#include "ui/GbkEdit.h"

#include <QApplication>
#include <QListWidget>
#include <QtTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

const HelperLayout* g_layout = nullptr;

void LogIn(QDialog* dialog, const QString& name, const QString& password) {
    auto* login = qobject_cast<Login*>(dialog);
    QVERIFY(login);
    login->NameEdit()->clear();
    login->PasswordEdit()->clear();
    Type(login->NameEdit(), name);
    Type(login->PasswordEdit(), password);
    PressEnter(login->PasswordEdit());
}

} // namespace

class AccountsHelperTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        InitKestrelResources();
        QVERIFY(g_layout);
    }

    void loginAndUserListGoThroughTheHelper() {
        TestWorkspace workspace;
        SetProgramFolderForTesting(g_layout->Programs());
        QVERIFY(ReadBytes(g_layout->Table()).empty()); // this account may not read it
        ScriptedResponder responder;
        responder.OnDialog([&](QDialog* dialog) {
            // The helper does not say whether the name or the password was wrong.
            LogIn(dialog, QStringLiteral("li"), QStringLiteral("wrong"));
            QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("密码错误！")});
            QVERIFY(dialog->isVisible());
            // The built-in SA is not let in beside an existing table.
            LogIn(dialog, QStringLiteral("SA"), QStringLiteral("tide oak plum"));
            QCOMPARE(responder.MessageTexts().size(), 2);
            LogIn(dialog, QStringLiteral("sa"), QStringLiteral("root pw"));
            QCOMPARE(dialog->result(), int(QDialog::Accepted));
        });
        responder.OnDialog([&](QDialog* editor) {
            responder.OnDialog([&](QDialog* list) {
                auto* users = qobject_cast<UserListDlg*>(list)->List();
                QCOMPARE(users->count(), 2);
                QCOMPARE(users->item(1)->text(), QStringLiteral("li"));
                responder.OnDialog([](QDialog* dialog) {
                    auto* userDlg = qobject_cast<UserDlg*>(dialog);
                    Type(userDlg->NameEdit(), QStringLiteral("wang"));
                    Type(userDlg->PasswordEdit(), QStringLiteral("w"));
                    Type(userDlg->ConfirmEdit(), QStringLiteral("w"));
                    Click(dialog, QStringLiteral("&O.确认"));
                });
                Click(list, QStringLiteral("&A.增加"));
                Click(list, QStringLiteral("&X.退出"));
            });
            QTest::keyClick(editor, Qt::Key_F4); // start view: users
            QTest::keyClick(editor, Qt::Key_Escape);
        });
        RunDesignSession();
        QVERIFY(responder.ScriptDone());
        QCOMPARE(responder.dialogTitles, (QStringList{QStringLiteral("登录"), QStringLiteral("模块定义工具"),
                                                      QStringLiteral("用户清单"), QStringLiteral("用户")}));
        QCOMPARE(responder.MessageTexts().size(), 2);
        QVERIFY(RememberedLoginPassword().empty()); // gone with the call
        const Result<bool, FileError> added = CheckLoginThroughHelper("wang", "w");
        QVERIFY(added && *added);

        // Anyone but SA changes their password only where they may save the table.
        RunUserCommand(nullptr, "li");
        QCOMPARE(responder.MessageTexts().back(), QStringLiteral("kestrel.usr: Permission denied"));
    }

    void withoutAUsableHelperNobodyGetsIn() {
        TestWorkspace workspace;
        std::filesystem::create_symlink(g_layout->Table(), workspace.Program() / kUserFileName);
        ScriptedResponder responder;
        auto tryLogin = [&](const QString& expected) {
            responder.OnDialog([&](QDialog* dialog) {
                LogIn(dialog, QStringLiteral("SA"), QStringLiteral("tide oak plum"));
                QCOMPARE(responder.MessageTexts().back(), expected);
                LogIn(dialog, QStringLiteral("SA"), QStringLiteral("root pw"));
                QCOMPARE(responder.MessageTexts().back(), expected);
                QVERIFY(dialog->isVisible());
                Click(dialog, QStringLiteral("&X.取消"));
            });
            RunDesignSession();
        };
        tryLogin(QStringLiteral("kestrel.usr: Permission denied"));
        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.MessageTexts().back(), QStringLiteral("kestrel.usr: Permission denied"));

        // A helper that cannot be run is named in one message.
        WriteBytes(workspace.Program() / kAccountHelperName, "not a program");
        ::chmod((workspace.Program() / kAccountHelperName).c_str(), 0755);
        tryLogin(QStringLiteral("kestrel-account: unavailable (Exec format error)"));
        QCOMPARE(responder.dialogTitles, (QStringList{QStringLiteral("登录"), QStringLiteral("登录")}));
    }
};

int main(int argc, char* argv[]) {
    if (::geteuid() != 0) {
        std::printf("SKIP: needs root to install the helper set-group-ID\n");
        return 0;
    }
    HelperLayout layout(KESTREL_ACCOUNT_HELPER);
    layout.WriteTable(UserFileBytes({{"SA", "root pw"}, {"li", "1"}}));
    g_layout = &layout;
    const pid_t child = ::fork();
    if (child == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
            ::_exit(99);
        int rc = 0;
        {
            const TestEnvironment environment;
            QApplication app(argc, argv);
            app.setAttribute(Qt::AA_Use96Dpi, true);
            AccountsHelperTest tc;
            rc = QTest::qExec(&tc, argc, argv);
        }
        std::fflush(stdout);
        ::_exit(rc);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // What the windows saved as nobody: the whole table, still private to the group. (Its owner
    // is now nobody, who cannot give a file away, but cannot enter the folder to use that.)
    UserTable table;
    const Result<int32_t, FileError> saved = LoadUserTableFile(layout.Table(), table);
    struct stat st {};
    ::stat(layout.Table().c_str(), &st);
    if (!saved || *saved != 3 || FindUser(table, "wang") != 2 || (st.st_mode & 07777) != 0660 ||
        st.st_gid != layout.Group()) {
        std::printf("FAIL: the table saved through the helper: %s, mode %o, owner %d:%d\n",
                    saved ? "read" : saved.error().Text().c_str(), st.st_mode & 07777, int(st.st_uid), int(st.st_gid));
        return 1;
    }
    return 0;
}

#include "AccountsHelperTest.moc"
