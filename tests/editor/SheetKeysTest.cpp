// The property sheet as typed into from the keyboard: where typing starts, and what a cell
// editor that is still open means for the sheet's Alt shortcuts and its close box.
#include "SheetFixtures.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"

#include "editor/ModuleInfo1.h"
#include "testing/Variables.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTest>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

// Shortcuts only reach an active window.
void ShowActive(QWidget& window) {
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

ModuleRecord RecordWithOneVariable() {
    ModuleRecord record = SqlRecord("SELECT [?:A]");
    AddVariable(record, "A", kImport, kInt, 4, "", "1");
    return record;
}

// Opens the editor of the test-value cell of row 1 by typing first into it, as a user does.
QWidget* TypeIntoTestValue(ModuleSheet& sheet, const char* keys) {
    CSpreadSheet& grid = *sheet.Grid();
    grid.setFocus();
    grid.setCurrentCell(0, CSpreadSheet::kTestValueColumn - 1);
    QTest::keyClicks(&grid, QString::fromLatin1(keys).left(1));
    QWidget* editor = QApplication::focusWidget();
    if (!editor || !grid.viewport()->isAncestorOf(editor))
        return nullptr;
    QTest::keyClicks(editor, QString::fromLatin1(keys).mid(1));
    return editor;
}

} // namespace

class SheetKeysTest : public QObject {
    Q_OBJECT
private slots:
    void TypingStartsInTheTitle_data();
    void TypingStartsInTheTitle();
    void OpenCellEditIsAChangeTheCloseKeysAskAbout();
    void AltShortcutsReachTheSheetNeverTheCell();
};

void SheetKeysTest::TypingStartsInTheTitle_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("new module") << int(kNewModuleMode);
    QTest::newRow("edit") << int(kEditMode);
}

void SheetKeysTest::TypingStartsInTheTitle() {
    QFETCH(int, mode);
    ScriptedResponder responder;
    ModuleRecord record = SqlRecord();
    FakeHost host;
    ModuleSheet sheet(static_cast<SheetMode>(mode), record, &host);
    ShowActive(sheet);
    auto* title = sheet.Info1()->findChild<QLineEdit*>(QStringLiteral("title"));
    QCOMPARE(QApplication::focusWidget(), title);
    // Keys go to the window, as the keyboard sends them: text lands in the title (a title
    // that was there is selected, as a dialog's first edit box is, and typing replaces it),
    // and the arrow keys move in it rather than switching pages.
    QTest::keyClick(sheet.windowHandle(), 'X', Qt::ShiftModifier);
    QTest::keyClick(sheet.windowHandle(), 'y');
    QTest::keyClick(sheet.windowHandle(), Qt::Key_Right);
    QCOMPARE(title->text(), QStringLiteral("Xy"));
    QCOMPARE(sheet.Tabs()->currentIndex(), int(ModuleSheet::kInfoTab));
    QVERIFY(sheet.StoreButton()->isEnabled());
}

void SheetKeysTest::OpenCellEditIsAChangeTheCloseKeysAskAbout() {
    ScriptedResponder responder;
    ModuleRecord record = RecordWithOneVariable();
    const std::string stored = record.testValues;
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowActive(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);

    // One typed character, the editor still open: the sheet counts it.
    QWidget* editor = TypeIntoTestValue(sheet, "5");
    QVERIFY(editor);
    QVERIFY(sheet.Grid()->IsEditingCell());
    QVERIFY(sheet.StoreButton()->isEnabled());

    // Alt+X asks (a mnemonic clicks its button a moment later); No keeps the sheet open with
    // the typed value in its cell.
    QTest::keyClick(editor, Qt::Key_X, Qt::AltModifier);
    QTRY_COMPARE(responder.questions.size(), std::size_t(1));
    QCOMPARE(responder.questions[0].text, QStringLiteral("放弃所作修改？"));
    QVERIFY(sheet.isVisible());
    QCOMPARE(Cell(*sheet.Grid(), 1, CSpreadSheet::kTestValueColumn), QStringLiteral("5"));

    // The close box asks too, with the editor open again; Yes drops the edit unsaved.
    editor = TypeIntoTestValue(sheet, "7");
    QVERIFY(editor);
    responder.AnswerYes();
    sheet.close();
    QCOMPARE(responder.questions.size(), std::size_t(2));
    QVERIFY(!sheet.isVisible());
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QCOMPARE(host.saves, 0);
    QCOMPARE(record.testValues, stored);
}

void SheetKeysTest::AltShortcutsReachTheSheetNeverTheCell() {
    ScriptedResponder responder;
    ModuleRecord record = RecordWithOneVariable();
    FakeHost host;
    ModuleSheet sheet(kEditMode, record, &host);
    ShowActive(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
    CSpreadSheet& grid = *sheet.Grid();

    // An editor opened without typing: no change, "&S.保存" stays disabled, and its Alt+S
    // neither saves nor types an "s".
    grid.setFocus();
    grid.setCurrentCell(0, CSpreadSheet::kTestValueColumn - 1);
    QTest::keyClick(&grid, Qt::Key_F2);
    QWidget* editor = QApplication::focusWidget();
    QVERIFY(editor && grid.viewport()->isAncestorOf(editor));
    QTest::keyClick(editor, Qt::Key_S, Qt::AltModifier);
    QCOMPARE(host.saves, 0);
    QCOMPARE(qobject_cast<QLineEdit*>(editor)->text(), QStringLiteral("1"));
    QVERIFY(!sheet.StoreButton()->isEnabled());
    QTest::keyClick(editor, Qt::Key_Escape);

    // Typed "99", then Alt+S: the open cell is committed and stored as typed, and stays "99".
    editor = TypeIntoTestValue(sheet, "99");
    QVERIFY(editor);
    QTest::keyClick(editor, Qt::Key_Q, Qt::AltModifier); // no button of that letter
    QTest::keyClick(editor, Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE(host.saves, 1);
    QCOMPARE(record.testValues, std::string("A,99\n"));
    QVERIFY(!grid.IsEditingCell());
    QCOMPARE(Cell(grid, 1, CSpreadSheet::kTestValueColumn), QStringLiteral("99"));
    QVERIFY(!sheet.StoreButton()->isEnabled());
    // Saved: Alt+X closes without a question.
    QTest::keyClick(sheet.windowHandle(), Qt::Key_X, Qt::AltModifier);
    QTRY_VERIFY(!sheet.isVisible());
    QVERIFY(responder.questions.empty());
}

KESTREL_TEST_MAIN(SheetKeysTest)
#include "SheetKeysTest.moc"
