// Tests run from the property sheet: the DLL test against module libraries, the SQL test
// against an SQLite database through ODBC, the progress window's cancel, the clipboard option
// and the substituted-SQL preview.
#include "SheetFixtures.h"
#include "support/Builders.h"
#include "support/Databases.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/SilentServer.h"

#include "editor/ModuleInfo1.h"
#include "editor/ModuleInfo3.h"
#include "editor/TestProgress.h"
#include "testing/widgets/DataSourceDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTimer>

#include <vector>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

const QString kPassed = QStringLiteral("测试通过");

void ShowSheet(ModuleSheet& sheet) {
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
}

ModuleRecord SampleModule(int amount) {
    ModuleRecord record = DllRecord(KESTREL_SAMPLE_MODULE, "SampleAudit");
    AddVariable(record, "Amount", kImport, kInt, 4, "", std::to_string(amount));
    AddVariable(record, "Account", kConfig, kChar, 20, "", "A-100");
    return record;
}

QString StateText(const ModuleSheet& sheet) {
    return sheet.Info1()->StateList()->currentText();
}

// Presses "取消" on every progress window before its work starts.
void PressCancel(QDialog* window) {
    if (auto* progress = qobject_cast<TestProgress*>(window))
        QTest::mouseClick(progress->CancelButton(), Qt::LeftButton);
}

bool IsConnecting(QDialog* window) {
    for (const QLabel* label : window->findChildren<QLabel*>())
        if (label->text() == QStringLiteral("正在连接数据源……"))
            return true;
    return false;
}

// Presses "取消" on the windows of the runs only, never on the one of connecting.
void PressCancelOnRuns(QDialog* window) {
    if (!IsConnecting(window))
        PressCancel(window);
}

} // namespace

class SheetRunTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void DllConfirmedSetsPassed();
    void DllUnconfirmedStaysTested();
    void PassedModuleFailingDropsToTested();
    void DllCancelCountsAsFailure();
    void SheetTakesNoInputBeforeTheProgressWindowShows();
    void SqlCancelBeforeTheRunStarts();
    void ConnectingToASilentServerCanBeCancelled();
    void UnchosenRowsStayOutOfTheTest();
    void ReportVariableErrorStopsTest();
    void SqlTestAgainstSqlite();
    void SqlModuleErrorCode();
    void SqlDataSourceCancelledKeepsClipboard();
    void SqlBadPlaceholderCopiesNothing();
    void PreviewShowsSubstitutedSql();
    void PreviewPointsOutBadPlaceholder();

private:
    SqliteDatabase m_sqlite;
    QString m_database;
    bool AnswerDataSource(QDialog* dialog);
};

void SheetRunTest::initTestCase() {
    m_database = QString::fromStdString(m_sqlite.Path().string());
    // ErrorCode as text: the sheet reads the code back as the database hands it.
    QCOMPARE(ResetErrorTable(m_sqlite.ConnectionString(), "VARCHAR(20)"), std::string());
}

bool SheetRunTest::AnswerDataSource(QDialog* dialog) {
    auto* chooser = qobject_cast<DataSourceDlg*>(dialog);
    if (!chooser)
        return false;
    for (QLineEdit* edit : chooser->findChildren<QLineEdit*>())
        edit->setText(DataSourceDlg::SqliteConnectionString(m_database));
    chooser->accept();
    return chooser->result() == QDialog::Accepted;
}

void SheetRunTest::DllConfirmedSetsPassed() {
    ScriptedResponder responder;
    responder.Answer({true});
    ModuleRecord record = SampleModule(5);
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    // The run's progress window came up through the seam, where a test can press its cancel.
    QCOMPARE(responder.busyWindows, 1);
    QCOMPARE(responder.questions.size(), size_t(1));
    QCOMPARE(responder.questions[0].text, QStringLiteral("执行结果正确吗？"));
    QCOMPARE(responder.questions[0].caption, QStringLiteral("模块已成功执行"));
    QVERIFY(responder.messages.empty());
    QCOMPARE(StateText(sheet), kPassed);
    QVERIFY(sheet.StoreButton()->isEnabled());
    // The state reaches the record with the next store.
    QCOMPARE(record.header.flags, 0);
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(record.header.flags, kFlagTested | kFlagPassed);
}

void SheetRunTest::DllUnconfirmedStaysTested() {
    ScriptedResponder responder;
    responder.Answer({false});
    ModuleRecord record = SampleModule(5);
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.questions.size(), size_t(1));
    QCOMPARE(responder.messages.size(), size_t(1));
    QCOMPARE(responder.messages[0].text, QStringLiteral("测试未通过！"));
    QVERIFY(responder.messages[0].caption.isEmpty());
    QCOMPARE(StateText(sheet), QStringLiteral("测试"));
    QVERIFY(sheet.StoreButton()->isEnabled());
}

void SheetRunTest::PassedModuleFailingDropsToTested() {
    ScriptedResponder responder;
    ModuleRecord record = SampleModule(-1); // the module returns 2
    record.header.flags = kFlagTested | kFlagPassed;
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QCOMPARE(StateText(sheet), kPassed);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QVERIFY(responder.questions.empty());
    QVERIFY(responder.WasShown(QStringLiteral("测试未通过！")));
    QCOMPARE(StateText(sheet), QStringLiteral("测试"));
    QVERIFY(sheet.StoreButton()->isEnabled());

    // A module whose state does not move is no change.
    ModuleRecord tested = SampleModule(-1);
    tested.header.flags = kFlagTested;
    ModuleSheet again(kEditMode, tested, &host);
    ShowSheet(again);
    QTest::mouseClick(again.TestButton(), Qt::LeftButton);
    QVERIFY(!again.StoreButton()->isEnabled());
}

void SheetRunTest::DllCancelCountsAsFailure() {
    ScriptedResponder responder;
    responder.onBusy = PressCancel;
    // Were the cancel lost, the module would never return.
    ModuleRecord record = DllRecord(KESTREL_SHEET_MODULES, "WaitForever");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.busyWindows, 1);
    QVERIFY(responder.questions.empty());
    QCOMPARE(responder.messages.size(), size_t(1));
    QCOMPARE(responder.messages[0].text, QStringLiteral("测试未通过！"));
    QCOMPARE(StateText(sheet), QStringLiteral("测试"));
}

// A run's first moments, before its progress window is up to keep the sheet from the user:
// another test, the close button, its mnemonic and the close box do nothing; Esc cancels.
void SheetRunTest::SheetTakesNoInputBeforeTheProgressWindowShows() {
    ScriptedResponder responder;
    ModuleRecord record = DllRecord(KESTREL_SHEET_MODULES, "WaitForever");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    sheet.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&sheet));
    responder.onBusy = [&sheet](QDialog*) {
        QTimer::singleShot(0, &sheet, [&sheet] {
            QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
            QTest::mouseClick(sheet.CloseButton(), Qt::LeftButton);
            QTest::keyClick(&sheet, Qt::Key_X, Qt::AltModifier);
            QCloseEvent close;
            QSpontaneKeyEvent::setSpontaneous(&close);
            QApplication::sendEvent(&sheet, &close);
            QTest::keyClick(&sheet, Qt::Key_Escape);
        });
    };
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.busyWindows, 1);
    QVERIFY(sheet.isVisible());
    QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("测试未通过！")});
    QCOMPARE(StateText(sheet), QStringLiteral("测试"));
    QVERIFY(responder.questions.empty());
}

void SheetRunTest::SqlCancelBeforeTheRunStarts() {
    ScriptedResponder responder;
    responder.onDialog = [this](QDialog* dialog) {
        return AnswerDataSource(dialog) ? int(QDialog::Accepted) : int(QDialog::Rejected);
    };
    // The run's window is cancelled before the SQL starts; connecting is left alone.
    responder.onBusy = PressCancelOnRuns;
    ModuleRecord record = SqlRecord("INSERT INTO KSTError (UserID, ErrorCode, ErrorMsg) VALUES (0, 0, 'ran')");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QVERIFY(sheet.SqlSessionOpen());
    QVERIFY(responder.questions.empty());
    QCOMPARE(responder.messages.size(), size_t(1));
    QCOMPARE(responder.messages[0].text, QStringLiteral("测试未通过！"));
    QCOMPARE(StateText(sheet), QStringLiteral("测试"));
    // The connection outlives the cancel: the next, uncancelled test passes on it.
    responder.onBusy = nullptr;
    responder.Answer({true});
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.dialogTitles.size(), qsizetype(1));
    QCOMPARE(StateText(sheet), kPassed);
}

void SheetRunTest::ConnectingToASilentServerCanBeCancelled() {
    SilentServer server;
    QVERIFY(server.Port() > 0);
    const QString silent =
        QStringLiteral("Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=%1;Database=audit;Uid=audit;Pwd=x")
            .arg(server.Port());
    ScriptedResponder responder;
    QString connection = silent;
    responder.onDialog = [&connection](QDialog* dialog) {
        auto* chooser = qobject_cast<DataSourceDlg*>(dialog);
        if (!chooser)
            return int(QDialog::Rejected);
        for (QLineEdit* edit : chooser->findChildren<QLineEdit*>())
            edit->setText(connection);
        chooser->accept();
        return chooser->result();
    };
    // Once the driver is inside its connection attempt (the server has its connection), the
    // user gives up on it in one of the three ways.
    std::function<void(QDialog*)> giveUp;
    std::size_t attempts = 0;
    responder.onBusy = [&](QDialog* window) {
        if (!IsConnecting(window))
            return;
        ++attempts;
        QTimer::singleShot(0, window, [&, window, attempts] {
            server.WaitForConnections(attempts);
            giveUp(window);
        });
    };
    ModuleRecord record = SqlRecord("INSERT INTO KSTError (UserID, ErrorCode, ErrorMsg) VALUES (0, 0, 'ran')");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    const std::vector<std::function<void(QDialog*)>> ways = {
        [](QDialog* window) { QTest::mouseClick(qobject_cast<TestProgress*>(window)->CancelButton(), Qt::LeftButton); },
        [](QDialog* window) { QTest::keyClick(window, Qt::Key_Escape); },
        [](QDialog* window) { window->close(); },
    };
    for (const auto& way : ways) {
        giveUp = way;
        responder.messages.clear();
        QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
        QVERIFY(!sheet.SqlSessionOpen());
        QVERIFY(responder.questions.empty());
        // A cancel, not a database error: the sheet only reports the failed test.
        QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("测试未通过！")});
        QCOMPARE(StateText(sheet), QStringLiteral("测试"));
    }
    QCOMPARE(attempts, std::size_t(3));
    // The server hangs up: the drivers return and the abandoned attempts free themselves.
    server.Close();
    ui::WaitForAbandonedWork();

    // The sheet is as usable as before: the next test asks for a data source again and passes.
    connection = DataSourceDlg::SqliteConnectionString(m_database);
    responder.onBusy = nullptr;
    responder.Answer({true});
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QVERIFY(sheet.SqlSessionOpen());
    QCOMPARE(StateText(sheet), kPassed);
}

void SheetRunTest::UnchosenRowsStayOutOfTheTest() {
    ScriptedResponder responder;
    responder.Answer({true});
    ModuleRecord record = DllRecord(KESTREL_SHEET_MODULES, "EntryCount");
    AddVariable(record, "A", kImport, kInt, 4, "", "1");
    AddVariable(record, "Loose", 0xFF, kInt, 4, "", "1");
    AddVariable(record, "B", kImport, 0xFF, 4, "", "1");
    AddVariable(record, "C", kConfig, kByte, 1, "", "1");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QVERIFY2(responder.messages.empty(),
             qPrintable(responder.messages.empty() ? QString() : responder.messages[0].text));
    QCOMPARE(StateText(sheet), kPassed);
}

void SheetRunTest::ReportVariableErrorStopsTest() {
    ScriptedResponder responder;
    ModuleRecord record = SampleModule(5);
    AddVariable(record, "Rep", kReport, kChar, 40, "for [?:Other]", "");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.messages.size(), size_t(2));
    QCOMPARE(responder.messages[0].text, QStringLiteral("报表变量错：Rep"));
    QCOMPARE(responder.messages[0].caption, QStringLiteral("错误"));
    QCOMPARE(responder.messages[1].text, QStringLiteral("测试未通过！"));
    QVERIFY(responder.questions.empty());
}

void SheetRunTest::SqlTestAgainstSqlite() {
    ScriptedResponder responder;
    responder.Answer({true, true});
    responder.onDialog = [this](QDialog* dialog) {
        return AnswerDataSource(dialog) ? int(QDialog::Accepted) : int(QDialog::Rejected);
    };
    ModuleRecord record = SqlRecord("INSERT INTO KSTError (UserID, ErrorCode, ErrorMsg) VALUES ([?:UserID], 0, 'ok')");
    AddVariable(record, "UserID", kImport, kInt, 4, "", "7");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QTest::mouseClick(sheet.Info3()->findChild<QCheckBox*>(QStringLiteral("clipboardOption")), Qt::LeftButton);
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));

    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.dialogTitles, QStringList{QStringLiteral("选择数据源")});
    QVERIFY2(responder.messages.empty(),
             qPrintable(responder.messages.empty() ? QString() : responder.messages[0].text));
    QCOMPARE(responder.questions.size(), size_t(1));
    QCOMPARE(StateText(sheet), kPassed);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QStringLiteral("INSERT INTO KSTError (UserID, ErrorCode, ErrorMsg) VALUES (7, 0, 'ok')"));
    QVERIFY(sheet.SqlSessionOpen());

    // The connection stays for the next test of the same sheet.
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.dialogTitles.size(), qsizetype(1));
    QCOMPARE(responder.questions.size(), size_t(2));
    QCOMPARE(StateText(sheet), kPassed);
    responder.Answer({true}); // "放弃所作修改？"
    sheet.CloseButton()->click();
    QVERIFY(!sheet.isVisible());
    QVERIFY(!sheet.SqlSessionOpen());
}

void SheetRunTest::SqlModuleErrorCode() {
    ScriptedResponder responder;
    responder.onDialog = [this](QDialog* dialog) {
        return AnswerDataSource(dialog) ? int(QDialog::Accepted) : int(QDialog::Rejected);
    };
    ModuleRecord record =
        SqlRecord("INSERT INTO KSTError (UserID, ErrorCode, ErrorMsg) VALUES ([?:UserID], 3, 'bad input')");
    AddVariable(record, "UserID", kConfig, kInt, 4, "", "9");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.messages.size(), size_t(2));
    QCOMPARE(responder.messages[0].text, QStringLiteral("Error code:3\nbad input"));
    QCOMPARE(responder.messages[1].text, QStringLiteral("测试未通过！"));
    QCOMPARE(StateText(sheet), QStringLiteral("测试"));
}

void SheetRunTest::SqlDataSourceCancelledKeepsClipboard() {
    ScriptedResponder responder;
    ModuleRecord record = SqlRecord("SELECT [?:N]");
    AddVariable(record, "N", kImport, kDouble, 8, "", "2");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QTest::mouseClick(sheet.Info3()->findChild<QCheckBox*>(QStringLiteral("clipboardOption")), Qt::LeftButton);
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.dialogTitles.size(), qsizetype(1));
    QCOMPARE(responder.messages.size(), size_t(1)); // only "测试未通过！"
    QCOMPARE(responder.messages[0].text, QStringLiteral("测试未通过！"));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("SELECT 2.00"));
    QVERIFY(!sheet.SqlSessionOpen());
    // Cancelled: the next test asks again.
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QCOMPARE(responder.dialogTitles.size(), qsizetype(2));
}

void SheetRunTest::SqlBadPlaceholderCopiesNothing() {
    ScriptedResponder responder;
    ModuleRecord record = SqlRecord("SELECT [?:Missing]");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QTest::mouseClick(sheet.Info3()->findChild<QCheckBox*>(QStringLiteral("clipboardOption")), Qt::LeftButton);
    QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
    QTest::mouseClick(sheet.TestButton(), Qt::LeftButton);
    QVERIFY(responder.dialogTitles.empty());
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
    QCOMPARE(responder.messages.size(), size_t(1));
    QCOMPARE(responder.messages[0].text, QStringLiteral("测试未通过！"));
}

void SheetRunTest::PreviewShowsSubstitutedSql() {
    ScriptedResponder responder;
    QString shown;
    bool readOnly = false;
    responder.onDialog = [&](QDialog* dialog) {
        auto* view = dialog->findChild<QPlainTextEdit*>(QStringLiteral("previewText"));
        if (view) {
            shown = view->toPlainText();
            readOnly = view->isReadOnly();
        }
        return int(QDialog::Accepted);
    };
    ModuleRecord record = SqlRecord("DELETE FROM T\r\nWHERE ID=[?:UserID] AND C='[?:Code]'");
    AddVariable(record, "UserID", kImport, kInt, 4, "", "42");
    AddVariable(record, "Code", kConfig, kChar, 10, "", "x");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowSheet(sheet);
    // The grid's current values count, not the stored ones.
    sheet.Grid()->SetRow(2);
    sheet.Grid()->SetCol(6);
    sheet.Grid()->SetCellText(QStringLiteral("AB"));
    emit sheet.Info3()->PreviewRequested();
    QCOMPARE(responder.dialogTitles, QStringList{QStringLiteral("预览替换后的 SQL")});
    QCOMPARE(shown, QStringLiteral("DELETE FROM T\nWHERE ID=42 AND C='AB'"));
    QVERIFY(readOnly);
    QVERIFY(responder.messages.empty());
    QVERIFY(!sheet.StoreButton()->isEnabled());
}

void SheetRunTest::PreviewPointsOutBadPlaceholder() {
    ScriptedResponder responder;
    ModuleRecord record = SqlRecord("SELECT [?:UserID], [?:Rep]");
    AddVariable(record, "UserID", kImport, kInt, 4, "", "1");
    AddVariable(record, "Rep", kReport, kChar, 20, "r", "");
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    emit sheet.Info3()->PreviewRequested();
    QVERIFY(responder.dialogTitles.empty());
    QCOMPARE(responder.messages.size(), size_t(1));
    QVERIFY(responder.messages[0].text.contains(QStringLiteral("[?:Rep]")));
}

KESTREL_TEST_MAIN(SheetRunTest)
#include "SheetRunTest.moc"
