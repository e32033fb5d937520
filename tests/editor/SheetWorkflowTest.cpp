// A whole module made and changed from the main window through the property sheet, then read
// back from its file by kestrel-tool show.
#include "support/Builders.h"
#include "support/Clock.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "editor/FileName.h"
#include "editor/ModuleEditDlg.h"
#include "editor/ModuleInfo1.h"
#include "editor/ModuleInfo3.h"
#include "editor/SheetDlg.h"
#include "testing/widgets/CSpreadSheet.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTabBar>
#include <QTest>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

void TypeText(QWidget* widget, const QString& text) {
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// Types into grid cell (row0, col0) as the user does and commits with Enter.
void TypeIntoCell(CSpreadSheet* grid, int row0, int col0, const QString& text) {
    grid->setCurrentCell(row0, col0);
    QTest::keyClicks(grid, text.left(1));
    QWidget* editor = grid->indexWidget(grid->currentIndex());
    QVERIFY(editor);
    QTest::keyClicks(editor, text.mid(1));
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
}

void PickListItem(CSpreadSheet* grid, int row0, int col0, int downs) {
    grid->setCurrentCell(row0, col0);
    QTest::keyClick(grid, Qt::Key_F2);
    auto* combo = qobject_cast<QComboBox*>(grid->indexWidget(grid->currentIndex()));
    QVERIFY(combo);
    for (int i = 0; i < downs; ++i)
        QTest::keyClick(combo, Qt::Key_Down);
    QCoreApplication::processEvents();
}

QJsonObject Show(const std::filesystem::path& file) {
    QProcess tool;
    tool.start(QStringLiteral(KESTREL_TOOL_PATH), {QStringLiteral("show"), QString::fromStdString(file.string())});
    if (!tool.waitForFinished(20000) || tool.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(tool.readAllStandardOutput()).object();
}

} // namespace

class SheetWorkflowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { InitKestrelResources(); }
    void NewModuleThenEditFromMainWindow();
};

void SheetWorkflowTest::NewModuleThenEditFromMainWindow() {
    FixedClock clock("2024-03-04 05:06:07");
    TestWorkspace workspace;
    ScriptedResponder responder;
    WriteCatalogue(workspace.Modules() / "audit.MGP", {{"A", Gbk("销售审计")}});
    ModuleEditDlg window;
    window.SetUserName("li");
    window.show();
    responder.AnswerFile(workspace.CataloguePath());
    QTest::keyClick(&window, Qt::Key_F3);
    QVERIFY(window.IsCatalogueView());
    window.Panel()->SelectGroup(0);

    // New module: the sheet in new-module mode, filled with keys, then the file name.
    int sheets = 0;
    responder.onDialog = [&](QDialog* dialog) {
        if (auto* sheet = qobject_cast<ModuleSheet*>(dialog)) {
            ++sheets;
            sheet->show();
            sheet->activateWindow();
            if (!QTest::qWaitForWindowActive(sheet))
                return int(QDialog::Rejected);
            if (sheet->Mode() == kNewModuleMode) {
                TypeText(sheet->findChild<QLineEdit*>(QStringLiteral("title")), QStringLiteral("收入确认"));
                sheet->Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
                CSpreadSheet* grid = sheet->Grid();
                grid->setFocus();
                QTest::keyClick(grid, Qt::Key_Insert);
                TypeIntoCell(grid, 0, 0, QStringLiteral("UserID"));
                PickListItem(grid, 0, 1, 1); // Import
                PickListItem(grid, 0, 2, 3); // int
                TypeIntoCell(grid, 0, 3, QStringLiteral("4"));
                TypeIntoCell(grid, 0, 5, QStringLiteral("7"));
                sheet->Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
                QTest::keyClicks(sheet->Info3()->Editor(), "DELETE FROM T WHERE ID=[?:UserID]");
                QTest::mouseClick(sheet->StoreButton(), Qt::LeftButton);
            } else {
                auto* title = sheet->findChild<QLineEdit*>(QStringLiteral("title"));
                QTest::keyClick(title, Qt::Key_End);
                TypeText(title, QStringLiteral("二"));
                QTest::mouseClick(sheet->StoreButton(), Qt::LeftButton);
                QTest::mouseClick(sheet->CloseButton(), Qt::LeftButton);
            }
            return sheet->result();
        }
        if (auto* name = qobject_cast<FileName*>(dialog)) {
            name->NameEdit()->setText(QStringLiteral("income.kst"));
            name->accept();
            return name->result();
        }
        return int(QDialog::Rejected);
    };
    QTest::keyClick(window.Panel()->ModuleList(), Qt::Key_F2);
    QCOMPARE(sheets, 1);
    QVERIFY(responder.messages.empty());
    QCOMPARE(window.Panel()->SelectedModule(), 0);

    const std::filesystem::path file = workspace.Modules() / "income.kst";
    QJsonObject shown = Show(file);
    QVERIFY(!shown.isEmpty());
    const QString text = QString::fromUtf8(QJsonDocument(shown).toJson());
    QVERIFY2(text.contains(QStringLiteral("收入确认")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("\"creator\": \"li\"")));
    QVERIFY(text.contains(QStringLiteral("\"modifier\": \"li\"")));
    QVERIFY(text.contains(QStringLiteral("DELETE FROM T WHERE ID=[?:UserID]")));

    ModuleRecord stored;
    QVERIFY(LoadModuleFile(stored, workspace.Modules(), "income.kst"));
    QCOMPARE(stored.header.variableCount, 1);
    QCOMPARE(int(stored.variables[0].attribute), int(kImport));
    QCOMPARE(int(stored.variables[0].type), int(kInt));
    QCOMPARE(stored.variables[0].length, 4);
    QCOMPARE(stored.testValues, std::string("UserID,7\n"));
    QCOMPARE(FieldText(stored.header.groupId), std::string("A"));
    QCOMPARE(FieldText(stored.header.createdAt), std::string("2024-03-04 05:06:07"));
    QCOMPARE(FieldText(stored.header.modifiedAt), std::string("2024-03-04 05:06:07"));

    // Edit mode: stored and saved through the window, the line replaced and selected.
    clock.Set("2024-03-05 06:07:08");
    QTest::keyClick(window.Panel()->ModuleList(), Qt::Key_F3);
    QCOMPARE(sheets, 2);
    QVERIFY(responder.questions.empty());
    QCOMPARE(window.Panel()->SelectedModule(), 0);
    QVERIFY(QString::fromStdString(GbkToUtf8(window.Panel()->ModuleLine(0))).contains(QStringLiteral("收入确认二")));
    ModuleRecord edited;
    QVERIFY(LoadModuleFile(edited, workspace.Modules(), "income.kst"));
    QCOMPARE(GbkToUtf8(FieldText(edited.header.title)), std::string("收入确认二"));
    QCOMPARE(edited.testValues, std::string("UserID,7\n"));
    // A change moves the modification stamp only.
    QCOMPARE(FieldText(edited.header.createdAt), std::string("2024-03-04 05:06:07"));
    QCOMPARE(FieldText(edited.header.modifiedAt), std::string("2024-03-05 06:07:08"));
}

KESTREL_TEST_MAIN(SheetWorkflowTest)
#include "SheetWorkflowTest.moc"
