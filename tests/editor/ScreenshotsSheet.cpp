// Renders the property sheet's tabs, the find dialog, the data source dialog and the test
// progress window to PNG files in the folder given as the first argument.
#include "SheetFixtures.h"

#include "support/Environment.h"
#include "support/Text.h"

#include "core/FixedText.h"
#include "core/ProgramArguments.h"
#include "editor/FindDlg.h"
#include "editor/ModuleInfo1.h"
#include "editor/ModuleInfo3.h"
#include "editor/TestProgress.h"
#include "testing/widgets/DataSourceDlg.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabBar>
#include <QTextCursor>
#include <QThread>

#include <cstdio>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

QString g_folder;

bool Save(QWidget* window, const QString& name) {
    window->show();
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
    const QString path = QDir(g_folder).filePath(name);
    const bool saved = window->grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

} // namespace

int main(int argc, char** argv) {
    // Before Qt, which would take options of its own.
    ProgramArguments arguments = ParseProgramArguments(argc, argv);
    arguments.ExpectOperands(1, "OUTPUT_FOLDER");
    if (const std::optional<int> exit = AnswerUsage(arguments, "screenshots_sheet",
                                                    "usage: screenshots_sheet [--] OUTPUT_FOLDER\n"
                                                    "Renders the module sheet and its windows to PNG files.\n"
                                                    "  -h, --help  this text\n"))
        return *exit;
    const TestEnvironment environment;
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("模块定义工具"));
    g_folder = QString::fromLocal8Bit(arguments.operands[0].c_str());
    QDir().mkpath(g_folder);
    bool ok = true;
    FakeHost host;

    ModuleRecord sql = SqlRecord(Gbk("-- 检查本期凭证的借贷平衡\r\n"
                                     "INSERT INTO KSTError (UserID, ErrorCode, ErrorMsg)\r\n"
                                     "SELECT [?:UserID], 1, '凭证不平衡：' || VoucherNo\r\n"
                                     "  FROM Voucher\r\n"
                                     " WHERE Period = '[?:Period]' AND Debit <> Credit\r\n"
                                     "   AND Unit = [?:Unit];\r\n"));
    SetFieldText(sql.header.title, Gbk("凭证借贷平衡检查"));
    sql.header.flags = kFlagRequired | kFlagTested;
    sql.description = Gbk("逐张检查本期凭证，借方合计与贷方合计不等的记入错误表。\r\n审计期间由 Period 给出。");
    AddVariable(sql, "UserID", kImport, kInt, 4, "", "7");
    AddVariable(sql, "Period", kConfig, kChar, 8, Gbk("会计期间"), "2024-03");
    AddVariable(sql, "Title", kReport, kChar, 60, Gbk("[?:Period] 期凭证检查"), "");
    {
        ModuleSheet sheet(kEditMode, sql, &host);
        ok &= Save(&sheet, "sheet_sql_info.png");
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
        sheet.Grid()->setCurrentCell(1, 0);
        ok &= Save(&sheet, "sheet_sql_variables.png");
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
        QTextCursor cursor = sheet.Info3()->Editor()->textCursor();
        cursor.setPosition(60);
        sheet.Info3()->Editor()->setTextCursor(cursor);
        ok &= Save(&sheet, "sheet_sql_text.png");
    }

    ModuleRecord dll = DllRecord("libsample_module.so", "SampleAudit");
    SetFieldText(dll.header.title, Gbk("科目余额核对"));
    dll.header.flags = kFlagTested | kFlagPassed;
    dll.description = Gbk("调用外部模块核对科目余额。");
    AddVariable(dll, "Amount", kImport, kInt, 4, "", "100");
    AddVariable(dll, "Account", kConfig, kChar, 20, Gbk("科目代码"), "1001");
    {
        ModuleSheet sheet(kEditMode, dll, &host);
        ok &= Save(&sheet, "sheet_dll_info.png");
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
        ok &= Save(&sheet, "sheet_dll_variables.png");
    }
    {
        ModuleRecord fresh;
        ModuleSheet sheet(kNewModuleMode, fresh, &host);
        ok &= Save(&sheet, "sheet_new_module.png");
    }
    {
        FindDlg find;
        find.SetText("WHERE");
        ok &= Save(&find, "sheet_find.png");
    }
    {
        DataSourceDlg chooser;
        ok &= Save(&chooser, "sheet_data_source.png");
    }
    {
        TestProgress progress(nullptr, QStringLiteral("正在执行模块的 SQL……"), true);
        ok &= Save(&progress, "sheet_test_progress.png");
        TestProgress connecting(nullptr, QStringLiteral("正在连接数据源……"), true);
        ok &= Save(&connecting, "sheet_connecting.png");
    }
    return ok ? 0 : 1;
}
