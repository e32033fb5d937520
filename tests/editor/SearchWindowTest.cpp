// The search window of the catalogue view: F6 or the last tool-bar button, hits listed, and a
// chosen hit opens its module in the sheet on the SQL line.
#include "support/Builders.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "editor/ModuleEditDlg.h"
#include "editor/ModuleInfo3.h"
#include "editor/SearchDlg.h"
#include "editor/SheetDlg.h"
#include "ui/GbkEdit.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QListWidget>
#include <QTabBar>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

class SearchWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InitKestrelResources(); }

    void hitOpensItsModuleOnTheSqlLine() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        const auto folder = workspace.Modules();
        WriteCatalogue(folder / "audit.MGP", {{"A", Gbk("采购")}, {"B", Gbk("销售")}});
        WriteModule(folder, "a.kst", {.groupId = "A", .title = "buy", .body = "SELECT 1"});
        WriteModule(folder, "s.kst",
                    {.groupId = "B",
                     .title = Gbk("销售单核对"),
                     .body = Gbk("-- check\r\nDELETE FROM KSTError;\r\n" + std::string(100, '\n') +
                                 "SELECT * FROM 销售单\r\n")});
        WriteModule(folder, "x.kst", {.groupId = "OLD", .title = Gbk("销售单 orphan")});
        ModuleEditDlg window;
        window.SetUserName("li");
        window.show();
        QTest::keyClick(&window, Qt::Key_F6); // start view: no catalogue, nothing opens
        QVERIFY(responder.dialogTitles.isEmpty());
        responder.AnswerFile(workspace.CataloguePath());
        QTest::keyClick(&window, Qt::Key_F3);
        QCOMPARE(window.Panel()->SelectedGroup(), 0);

        responder.OnDialog([](QDialog* dialog) {
            auto* search = qobject_cast<SearchDlg*>(dialog);
            QVERIFY(search);
            search->PatternEdit()->setFocus();
            search->PatternEdit()->setText(QStringLiteral("销售单"));
            QTest::keyClick(search->PatternEdit(), Qt::Key_Return);
            QCOMPARE(search->HitList()->count(), 2); // the orphan's group is not in the catalogue
            QCOMPARE(search->HitList()->item(0)->text(), QStringLiteral("s.kst:0: 标题: 销售单核对"));
            QCOMPARE(search->HitList()->item(1)->text(), QStringLiteral("s.kst:103: SELECT * FROM 销售单"));
            QTest::keyClick(search->HitList(), Qt::Key_Down);
            QTest::keyClick(search->HitList(), Qt::Key_Return);
        });
        int sqlLine = -1;
        int tab = -1;
        bool lineInView = false;
        responder.OnDialog([&](QDialog* dialog) {
            auto* sheet = qobject_cast<ModuleSheet*>(dialog);
            QVERIFY(sheet);
            tab = sheet->Tabs()->currentIndex();
            QPlainTextEdit* sql = sheet->Info3()->Editor();
            sqlLine = sql->textCursor().blockNumber() + 1;
            QCoreApplication::processEvents();
            lineInView = sql->viewport()->rect().contains(sql->cursorRect());
            sheet->done(QDialog::Accepted);
        });
        QTest::keyClick(window.Panel()->ModuleList(), Qt::Key_F6);
        QCOMPARE(responder.dialogTitles, (QStringList{QStringLiteral("搜索模块"), QStringLiteral("模块")}));
        QCOMPARE(tab, static_cast<int>(ModuleSheet::kSqlTab));
        QCOMPARE(sqlLine, 103);
        QVERIFY(lineInView);
        QCOMPARE(window.Panel()->SelectedGroup(), 1); // the hit's group, its module selected
        QCOMPARE(window.Panel()->ModuleFileName(window.Panel()->SelectedModule()), std::string("s.kst"));
        QVERIFY(responder.questions.empty());

        // The tool-bar button after the existing ones opens the same window; a bad expression
        // is reported, and closing the window opens nothing.
        QToolButton* button = window.CatalogueButton(5);
        QCOMPARE(button->toolTip(), QStringLiteral("F6 搜索"));
        responder.OnDialog([&](QDialog* dialog) {
            auto* search = qobject_cast<SearchDlg*>(dialog);
            search->RegexBox()->setChecked(true);
            search->PatternEdit()->setText(QStringLiteral("("));
            search->Search();
            QCOMPARE(responder.messages.size(), std::size_t(1));
            search->RegexBox()->setChecked(false);
            search->IgnoreCaseBox()->setChecked(true);
            search->PatternEdit()->setText(QStringLiteral("kSTerror"));
            search->Search();
            QCOMPARE(search->HitList()->count(), 1);
            Click(dialog, QStringLiteral("&X.退出"));
        });
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(responder.dialogTitles.size(), 3);
        QVERIFY(responder.ScriptDone());
    }
};

KESTREL_TEST_MAIN(SearchWindowTest)
#include "SearchWindowTest.moc"
