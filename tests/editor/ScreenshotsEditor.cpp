// screenshots_editor OUT: renders the login, both views of the main window, the user dialogs
// and the three small dialogs to PNG files in OUT (offscreen; nothing is shown).
#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Environment.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "accounts/windows/Login.h"
#include "accounts/windows/UserDlg.h"
#include "accounts/windows/UserListDlg.h"
#include "core/FixedText.h"
#include "core/ProgramArguments.h"
#include "editor/CheckDlg.h"
#include "editor/FileName.h"
#include "editor/FindDlg.h"
#include "editor/ModuleEditDlg.h"
#include "editor/SearchDlg.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
#include "repository/ModuleFile.h"
#include "ui/GbkEdit.h"
#include "ui/Seam.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

QString g_out;

// Lets the window take its results for up to ms, or until done says so.
template <class Done> void Wait(int ms, Done done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

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
        // The check window while a slow module runs, then with its mixed result, and filtered to
        // what did not pass.
        const auto checkFolder = workspace.Root() / "check";
        std::filesystem::create_directories(checkFolder);
        std::string connection = "Driver=SQLite3;Database=" + (checkFolder / "audit.db").string();
        if (const std::string failed = ResetErrorTable(connection); !failed.empty())
            std::fprintf(stderr, "error table: %s\n", failed.c_str());
        const GroupCatalogue catalogue =
            WriteCatalogue(checkFolder / "check.MGP", {{"XS", Gbk("销售审计")}, {"CG", Gbk("采购审计")}});
        const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
        const struct {
            const char* file;
            const char* group;
            std::string sql;
        } modules[] = {
            {"xs001.kst", "XS", "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')"},
            {"xs002.kst", "XS",
             Gbk("INSERT INTO KSTError VALUES ([?:UserID], 3, '凭证不平衡：V007'), ([?:UserID], 3, "
                 "'凭证不平衡：V013')")},
            {"xs003.kst", "XS", "SELECT [?:Nobody]"},
            {"cg001.kst", "CG", "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')"},
            {"cg002.kst", "CG", "INSERT INTO NoSuchTable VALUES (1)"},
            {"cg003.kst", "CG",
             "INSERT INTO KSTError SELECT [?:UserID], 0, 'x' FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT "
             "i + 1 FROM n WHERE i < 2000000000) SELECT max(i) FROM n)"},
        };
        for (const auto& module : modules) {
            ModuleRecord record = SqlRecord(module.sql);
            SetFieldText(record.header.groupId, module.group);
            SetFieldText(record.header.title, module.file);
            StoreRowsInModule(record, user);
            record.fileName = module.file;
            SaveModuleFile(record, "SA", checkFolder);
        }
        CheckDlg::Host host;
        host.connection = &connection;
        host.connections = 2;
        CheckDlg check(catalogue, {0, 1}, host);
        check.resize(900, 600);
        check.show();
        check.CheckAll();
        Wait(20000, [&check] { return check.List()->topLevelItem(4)->text(CheckDlg::kResultColumn) != QString(); });
        Wait(300, [] { return false; });
        Shot(&check, "check_running");
        check.show();
        check.StopCheck();
        Wait(5000, [&check] { return !check.Running(); });
        check.List()->setCurrentItem(check.List()->topLevelItem(1));
        Shot(&check, "check");
        check.show();
        check.FailuresOnly()->setChecked(true);
        Shot(&check, "check_failures");
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
