// screenshots_editor OUT: renders the login, both views of the main window, the user dialogs
// and the three small dialogs to PNG files in OUT (offscreen; nothing is shown).
#include "support/Builders.h"
#include "support/Environment.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "accounts/windows/Login.h"
#include "accounts/windows/UserDlg.h"
#include "accounts/windows/UserListDlg.h"
#include "core/FixedText.h"
#include "core/ProgramArguments.h"
#include "editor/FileName.h"
#include "editor/FindDlg.h"
#include "editor/ModuleEditDlg.h"
#include "editor/SearchDlg.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
#include "ui/GbkEdit.h"
#include "ui/Seam.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

QString g_out;

void Shot(QWidget* widget, const char* name) {
    widget->show();
    QApplication::processEvents();
    const QString path = g_out + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png");
    if (!widget->grab().save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
    widget->hide();
}

} // namespace

int main(int argc, char** argv) {
    // Before Qt, which would take options of its own.
    ProgramArguments arguments = ParseProgramArguments(argc, argv);
    arguments.ExpectOperands(1, "OUTPUT_FOLDER");
    if (const std::optional<int> exit = AnswerUsage(arguments, "screenshots_editor",
                                                    "usage: screenshots_editor [--] OUTPUT_FOLDER\n"
                                                    "Renders the main window and the small dialogs to PNG files.\n"
                                                    "  -h, --help  this text\n"))
        return *exit;
    const TestEnvironment environment;
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("审计系统"));
    InitKestrelResources();
    g_out = QString::fromLocal8Bit(arguments.operands[0].c_str());
    QDir().mkpath(g_out);
    TestWorkspace workspace;

    auto users = std::make_unique<UserTable>();
    const int count = UserTableLoad(*users).value();
    {
        Login login(*users, count);
        login.NameEdit()->setText(QStringLiteral("SA"));
        login.PasswordEdit()->setText(QStringLiteral("tide oak plum"));
        Shot(&login, "login");
    }

    const auto folder = workspace.Modules();
    WriteCatalogue(folder / "demo.MGP",
                   {{"XS", Gbk("销售审计")}, {"CG", Gbk("采购审计")}, {"KC", Gbk("库存盘点")}, {"KONG", Gbk("空组")}});
    WriteModule(folder, "xs001.kst",
                {.groupId = "XS", .title = Gbk("销售收入核对"), .flags = kFlagRequired | kFlagTested | kFlagPassed});
    WriteModule(folder, "xs002.kst", {.groupId = "XS", .title = Gbk("发票连号检查"), .flags = kFlagTested});
    WriteModule(folder, "XS003.KST", {.groupId = "XS", .title = Gbk("退货异常")});
    WriteModule(folder, Gbk("销售毛利.kst"),
                {.groupId = "XS", .title = Gbk("毛利率波动（按月）"), .flags = kFlagRequired});
    WriteModule(folder, "xs_long_name_module.kst",
                {.groupId = "XS", .title = "Long file name, not cut", .flags = kFlagTested | kFlagPassed});
    {
        ModuleEditDlg editor;
        editor.SetUserName("SA");
        editor.setWindowState(Qt::WindowNoState);
        editor.resize(1024, 640);
        Shot(&editor, "main_start");
        {
            ScriptedResponder responder;
            responder.AnswerFile(QString::fromStdString((folder / "demo.MGP").string()));
            editor.show();
            editor.OpenCommand();
            editor.Panel()->SelectModule(1);
            for (const QString& text : responder.MessageTexts())
                std::fprintf(stderr, "message: %s\n", qPrintable(text));
        }
        Shot(&editor, "main_catalogue");
        SearchDlg search(editor.Catalogue());
        search.PatternEdit()->setText(QStringLiteral("销售"));
        search.IgnoreCaseBox()->setChecked(true);
        search.Search();
        Shot(&search, "search");
    }

    {
        auto table = std::make_unique<UserTable>();
        const char* names[] = {"SA", "li", "王五", "zhao"};
        for (const char* name : names) {
            SetFieldText(table->records[table->count].name, Gbk(name));
            SetFieldText(table->records[table->count].password, "x");
            ++table->count;
        }
        UserListDlg list(*table);
        Shot(&list, "user_list");
        UserDlg user;
        user.SetMode(UserDlg::kChangePassword);
        user.SetUserName(Gbk("王五"));
        user.PasswordEdit()->setText(QStringLiteral("secret"));
        Shot(&user, "user");
    }

    {
        FileName name(folder);
        name.NameEdit()->setText(QStringLiteral("销售毛利2.kst"));
        Shot(&name, "file_name");
        FindDlg find;
        find.SetText("KSTError");
        Shot(&find, "find");
        TopicDlg topic;
        topic.SetMode(TopicDlg::kEditGroup);
        topic.SetValues("XS", Gbk("销售审计"), Gbk("1. 核对销售收入与发票\r\n2. 检查发票连号\r\n\r\n3. 退货异常复核"));
        Shot(&topic, "topic");
    }

    {
        // The smallest message box, as the seam sizes it (grabbed from inside its own loop).
        QTimer::singleShot(0, [] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                Shot(box, "message_box");
                box->close();
            }
        });
        ui::ShowMessage(nullptr, QStringLiteral("密码错误！"));
    }
    return 0;
}
