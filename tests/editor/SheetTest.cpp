// The property sheet and its two pages, driven with real keys and clicks.
#include "SheetFixtures.h"
#include "support/Builders.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"

#include "core/FixedText.h"
#include "editor/FindDlg.h"
#include "editor/ModuleInfo1.h"
#include "editor/ModuleInfo3.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

#include <functional>
#include <map>
#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

QStringList TabTexts(const ModuleSheet& sheet) {
    QStringList texts;
    for (int i = 0; i < sheet.Tabs()->count(); ++i)
        texts << sheet.Tabs()->tabText(i);
    return texts;
}

void ShowSheet(ModuleSheet& sheet) {
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
}

// Types text key by key; QTest's own keyClicks only knows Latin keys.
void TypeText(QWidget* widget, const QString& text) {
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

template <typename T> T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    Q_ASSERT(child);
    return child;
}

// The format at a position of a block, as the highlighting left it.
QTextCharFormat FormatAt(const QTextBlock& block, int position) {
    for (const QTextLayout::FormatRange& range : block.layout()->formats())
        if (position >= range.start && position < range.start + range.length)
            return range.format;
    return QTextCharFormat();
}

bool IsKeywordAt(const QTextBlock& block, int position) {
    return FormatAt(block, position).fontWeight() == QFont::Bold &&
           FormatAt(block, position).underlineStyle() == QTextCharFormat::NoUnderline &&
           FormatAt(block, position).background().style() == Qt::NoBrush;
}

bool IsBadPlaceholderAt(const QTextBlock& block, int position) {
    return FormatAt(block, position).underlineStyle() == QTextCharFormat::WaveUnderline;
}

// "SELECT X FROM T" lines, with what lines holds at the line numbers it names.
std::string NumberedLines(int count, const std::map<int, std::string>& lines) {
    std::string sql;
    for (int i = 0; i < count; ++i) {
        const auto special = lines.find(i);
        sql += special != lines.end() ? special->second : "SELECT X FROM T";
        sql += "\r\n";
    }
    return sql;
}

void ScrollToLine(QPlainTextEdit* editor, int line) {
    editor->verticalScrollBar()->setValue(line);
}

// What a sheet test starts from: the record it opens (changed before Open as the test needs),
// a host that counts saves, every modal answered by the script, and the sheet over them.
struct SheetFixture {
    explicit SheetFixture(ModuleRecord opened = {}) : record(std::move(opened)) {}

    ModuleSheet& Open(SheetMode mode) {
        sheet = std::make_unique<ModuleSheet>(mode, record, &host);
        return *sheet;
    }

    ScriptedResponder responder;
    ModuleRecord record;
    FakeHost host;
    std::unique_ptr<ModuleSheet> sheet;
};

} // namespace

class SheetTest : public QObject {
    Q_OBJECT
private slots:
    void NewModuleTabsAndButtons();
    void NewModuleCancelLeavesRecord();
    void EditModeButtonsAndStamps();
    void StoreDisabledAfterOpeningEnabledByEachChange_data();
    void StoreDisabledAfterOpeningEnabledByEachChange();
    void ClipboardOptionIsNoChange();
    void DllSqlTabSwitch();
    void VariablesTabLeavesFocusOutOfGrid();
    void CancelAsksOnlyAfterChange();
    void StoreSavesThenCloseAsksNothing();
    void FailedSaveKeepsStoreEnabled();
    void StateRuleKeepsTestedModuleFromUnfinished();
    void DllBodySplitAndTypeToggleKeepsFields();
    void TitleLimitInGbkBytes();
    void EnterAndEscOnInfoPageKeepSheetOpen();
    void EscOnSqlPageIsCancel();
    void RemarksAndTestValuesRoundTrip();
    void ThreeRowsWithEmptyLastRow();
    void StoreFromKeyboardTakesOpenCellEdit();
    void RefusesTooManyRowsAndLongNames();
    void UnchosenDropDownStoresLowByte();
    void IndicatorCountsGbkBytes();
    void FindAndFindNext();
    void FindIsCaseSensitiveAndEmptyFindCollapses();
    void HighlightMarksUnknownPlaceholders();
    void HighlightFollowsTheViewDownABigText();
    void HighlightAfterAnEditAboveTheView();
    void IndicatorAndFindFarDownABigText();
};

void SheetTest::NewModuleTabsAndButtons() {
    SheetFixture s;
    ModuleSheet& sheet = s.Open(kNewModuleMode);
    QCOMPARE(sheet.windowTitle(), QStringLiteral("模块"));
    QCOMPARE(TabTexts(sheet), (QStringList{"基本信息", "变量", "SQL"}));
    QCOMPARE(sheet.TestButton()->text(), QStringLiteral("&T.测试"));
    QCOMPARE(sheet.StoreButton()->text(), QStringLiteral("&O.确定"));
    QCOMPARE(sheet.CloseButton()->text(), QStringLiteral("&X.取消"));
    QVERIFY(sheet.StoreButton()->isEnabled());
    QVERIFY(sheet.StoreButton()->isDefault());
    // Left to right: test, store, close.
    QVERIFY(sheet.TestButton()->x() < sheet.StoreButton()->x());
    QVERIFY(sheet.StoreButton()->x() < sheet.CloseButton()->x());
    QCOMPARE(sheet.Info1()->TypeList()->currentText(), QStringLiteral("SQL模块"));
    QCOMPARE(sheet.Info1()->StateList()->currentText(), QStringLiteral("未完成"));
    QVERIFY(!sheet.Info1()->StateList()->isEnabled());
    QVERIFY(!sheet.Info1()->DllFieldsShown());
    QVERIFY(Child<QLabel>(sheet.Info1(), "stamp1038")->text().isEmpty());
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral("  1,1"));
}

void SheetTest::NewModuleCancelLeavesRecord() {
    SheetFixture s(SqlRecord("KEEP"));
    ModuleSheet& sheet = s.Open(kNewModuleMode);
    ShowSheet(sheet);
    QTest::keyClicks(Child<QLineEdit>(sheet.Info1(), "title"), "changed");
    QTest::mouseClick(sheet.CloseButton(), Qt::LeftButton);
    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QVERIFY(!sheet.isVisible());
    QCOMPARE(s.record.body, std::string("KEEP"));
    QCOMPARE(FieldText(s.record.header.title), std::string("SQL test module"));
    QVERIFY(s.responder.questions.empty());
}

void SheetTest::EditModeButtonsAndStamps() {
    SheetFixture s(SqlRecord());
    s.record.header.flags = kFlagRequired | kFlagTested | kFlagPassed;
    ModuleSheet& sheet = s.Open(kEditMode);
    QCOMPARE(TabTexts(sheet), (QStringList{"基本信息", "变量", "SQL"}));
    QCOMPARE(sheet.StoreButton()->text(), QStringLiteral("&S.保存"));
    QCOMPARE(sheet.CloseButton()->text(), QStringLiteral("&X.退出"));
    QVERIFY(!sheet.StoreButton()->isEnabled());
    QCOMPARE(Child<QLabel>(sheet.Info1(), "stamp1038")->text(), QStringLiteral(" SA 2024-01-02 03:04:05"));
    QCOMPARE(Child<QLabel>(sheet.Info1(), "stamp1039")->text(), QStringLiteral(" li 2024-02-03 04:05:06"));
    QCOMPARE(sheet.Info1()->StateList()->currentIndex(), 2);
    QVERIFY(Child<QCheckBox>(sheet.Info1(), "required")->isChecked());
    QCOMPARE(sheet.Info3()->Editor()->toPlainText(), QStringLiteral("SELECT 1"));

    // The passed bit without the tested bit is no state of its own.
    ModuleRecord passedOnly = SqlRecord();
    passedOnly.header.flags = kFlagPassed;
    ModuleSheet second(kEditMode, passedOnly, &s.host);
    QCOMPARE(second.Info1()->StateList()->currentIndex(), 0);
}

void SheetTest::StoreDisabledAfterOpeningEnabledByEachChange_data() {
    QTest::addColumn<QString>("kind");
    for (const char* kind : {"title", "description", "dllName", "required", "type", "sql", "grid"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void SheetTest::StoreDisabledAfterOpeningEnabledByEachChange() {
    QFETCH(QString, kind);
    const bool dll = kind == QLatin1String("dllName");
    SheetFixture s(dll ? DllRecord("libx.so", "Run") : SqlRecord("SELECT 1"));
    AddVariable(s.record, "UserID", kImport, kInt, 4, "", "7");
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    QVERIFY(!sheet.StoreButton()->isEnabled());

    if (kind == QLatin1String("title")) {
        QTest::keyClick(Child<QLineEdit>(sheet.Info1(), "title"), Qt::Key_A);
    } else if (kind == QLatin1String("description")) {
        QTest::keyClick(Child<QPlainTextEdit>(sheet.Info1(), "description"), Qt::Key_A);
    } else if (kind == QLatin1String("dllName")) {
        QTest::keyClick(Child<QLineEdit>(sheet.Info1(), "dllName"), Qt::Key_A);
    } else if (kind == QLatin1String("required")) {
        QTest::mouseClick(Child<QCheckBox>(sheet.Info1(), "required"), Qt::LeftButton);
    } else if (kind == QLatin1String("type")) {
        QTest::keyClick(sheet.Info1()->TypeList(), Qt::Key_Down);
        QCOMPARE(sheet.Info1()->TypeList()->currentIndex(), 1);
    } else if (kind == QLatin1String("sql")) {
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
        QTest::keyClick(sheet.Info3()->Editor(), Qt::Key_A);
    } else if (kind == QLatin1String("grid")) {
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
        CSpreadSheet* grid = sheet.Grid();
        QVERIFY(grid->isVisible());
        grid->setFocus();
        grid->setCurrentCell(0, 5);
        QTest::keyClick(grid, Qt::Key_9);
        QWidget* editor = grid->indexWidget(grid->currentIndex());
        QVERIFY(editor);
        QTest::keyClick(editor, Qt::Key_Return);
        QCoreApplication::processEvents();                // the delegate commits on the next turn of the loop
        QCOMPARE(Cell(*grid, 1, 6), QStringLiteral("9")); // typing replaces the cell
    }
    QVERIFY(sheet.StoreButton()->isEnabled());
}

void SheetTest::ClipboardOptionIsNoChange() {
    SheetFixture s(SqlRecord());
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    auto* option = Child<QCheckBox>(sheet.Info3(), "clipboardOption");
    QTest::mouseClick(option, Qt::LeftButton);
    QVERIFY(option->isChecked());
    // Switching tabs and re-highlighting do not count either.
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QVERIFY(!sheet.StoreButton()->isEnabled());
}

void SheetTest::DllSqlTabSwitch() {
    SheetFixture s(DllRecord("libx.so", "Run"));
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    QCOMPARE(TabTexts(sheet), (QStringList{"基本信息", "变量"}));
    QVERIFY(sheet.Info1()->DllFieldsShown());

    QTest::keyClick(sheet.Info1()->TypeList(), Qt::Key_Up); // "SQL模块"
    QCOMPARE(TabTexts(sheet), (QStringList{"基本信息", "变量", "SQL"}));
    QVERIFY(!sheet.Info1()->DllFieldsShown());
    QVERIFY(sheet.StoreButton()->isEnabled());
    QCOMPARE(sheet.Tabs()->currentIndex(), 0);

    QTest::keyClick(sheet.Info1()->TypeList(), Qt::Key_Down); // "DLL模块" again
    QCOMPARE(TabTexts(sheet), (QStringList{"基本信息", "变量"}));
    QVERIFY(sheet.Info1()->DllFieldsShown());
    QVERIFY(sheet.Info1()->isVisible());
}

// Picking "变量" with the mouse while typing in a page must not put the focus into the grid,
// where Delete and Insert would then remove or add rows.
void SheetTest::VariablesTabLeavesFocusOutOfGrid() {
    SheetFixture s(SqlRecord());
    AddVariable(s.record, "A", kImport, kInt, 4, "", "1");
    AddVariable(s.record, "B", kImport, kInt, 4, "", "2");
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&sheet));
    QLineEdit* title = Child<QLineEdit>(sheet.Info1(), "title");
    title->setFocus();
    QVERIFY(title->hasFocus());

    QTabBar* tabs = sheet.Tabs();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(ModuleSheet::kVariablesTab).center());
    QCOMPARE(tabs->currentIndex(), int(ModuleSheet::kVariablesTab));
    QVERIFY(sheet.Grid()->isVisible());
    QVERIFY(!sheet.Grid()->hasFocus());
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &sheet, Qt::Key_Delete);
    QCOMPARE(sheet.Grid()->GetRowCount(), 2);

    // Back on "基本信息" the page has the focus again.
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(ModuleSheet::kInfoTab).center());
    QVERIFY(title->hasFocus());
}

void SheetTest::CancelAsksOnlyAfterChange() {
    SheetFixture s(SqlRecord());
    {
        ModuleSheet sheet(kEditMode, s.record, &s.host);
        ShowSheet(sheet);
        QTest::mouseClick(sheet.CloseButton(), Qt::LeftButton);
        QVERIFY(s.responder.questions.empty());
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
    }
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    QTest::keyClicks(Child<QLineEdit>(sheet.Info1(), "title"), "XY");
    s.responder.Answer({false});
    QTest::mouseClick(sheet.CloseButton(), Qt::LeftButton);
    QCOMPARE(s.responder.questions.size(), size_t(1));
    QCOMPARE(s.responder.questions[0].text, QStringLiteral("放弃所作修改？"));
    QCOMPARE(s.responder.questions[0].caption, QStringLiteral("提示"));
    QVERIFY(s.responder.questions[0].defaultNo);
    QVERIFY(s.responder.questions[0].icon == ui::Icon::Question);
    QVERIFY(sheet.isVisible());

    s.responder.Answer({true});
    QTest::keyClick(&sheet, Qt::Key_Escape);
    QCOMPARE(s.responder.questions.size(), size_t(2));
    QVERIFY(!sheet.isVisible());
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QCOMPARE(FieldText(s.record.header.title), std::string("SQL test module"));
    QCOMPARE(s.host.saves, 0);
}

void SheetTest::StoreSavesThenCloseAsksNothing() {
    SheetFixture s(SqlRecord());
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    auto* title = Child<QLineEdit>(sheet.Info1(), "title");
    title->selectAll();
    TypeText(title, QStringLiteral("新标题"));
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(s.host.saves, 1);
    QVERIFY(!sheet.StoreButton()->isEnabled());
    QVERIFY(sheet.isVisible());
    QCOMPARE(FieldText(s.record.header.title), ui::ToGbkChecked(QStringLiteral("新标题")));
    QCOMPARE(s.record.body, std::string("SELECT 1"));
    QCOMPARE(s.record.header.bodyLength, 9);
    QTest::mouseClick(sheet.CloseButton(), Qt::LeftButton);
    QVERIFY(s.responder.questions.empty());
    QVERIFY(!sheet.isVisible());
}

void SheetTest::FailedSaveKeepsStoreEnabled() {
    SheetFixture s(SqlRecord());
    s.host.failSave = true;
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    QTest::keyClick(Child<QLineEdit>(sheet.Info1(), "title"), Qt::Key_Z);
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(s.host.saves, 1);
    // The changes are not on disk: closing must still ask.
    QVERIFY(sheet.StoreButton()->isEnabled());
    QTest::mouseClick(sheet.CloseButton(), Qt::LeftButton);
    QCOMPARE(s.responder.questions.size(), size_t(1));
    QVERIFY(!sheet.DiscardedChanges());

    // A save that works, then one that fails: a discard takes the record back to the first.
    s.host.failSave = false;
    auto* title = Child<QLineEdit>(sheet.Info1(), "title");
    title->selectAll();
    QTest::keyClicks(title, "saved");
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    s.host.failSave = true;
    QTest::keyClicks(Child<QPlainTextEdit>(sheet.Info1(), "description"), "lost");
    QTest::keyClicks(title, " twice");
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(FieldText(s.record.header.title), std::string("saved twice"));
    QCOMPARE(s.host.saves, 3);
    s.responder.AnswerYes();
    QTest::keyClick(&sheet, Qt::Key_Escape);
    QVERIFY(!sheet.isVisible());
    QVERIFY(sheet.DiscardedChanges());
    QCOMPARE(FieldText(s.record.header.title), std::string("saved"));
    QCOMPARE(s.record.description, std::string("desc"));
    QCOMPARE(s.host.saves, 3);
}

void SheetTest::StateRuleKeepsTestedModuleFromUnfinished() {
    SheetFixture s(SqlRecord());
    s.record.header.flags = kFlagTested;
    ModuleSheet& sheet = s.Open(kEditMode);
    sheet.Info1()->StateList()->setCurrentIndex(0);
    QCOMPARE(sheet.Info1()->StateList()->currentIndex(), 1);

    // New modules have no such rule: the state stays as it is shown.
    ModuleRecord fresh;
    ModuleSheet newSheet(kNewModuleMode, fresh, &s.host);
    QCOMPARE(newSheet.Info1()->StateList()->currentIndex(), 0);
    QVERIFY(newSheet.StoreModule());
    QCOMPARE(fresh.header.flags, 0);
}

void SheetTest::DllBodySplitAndTypeToggleKeepsFields() {
    SheetFixture s(DllRecord("", ""));
    s.record.body = "JustFunction";
    ModuleSheet& sheet = s.Open(kEditMode);
    auto* dllName = Child<QLineEdit>(sheet.Info1(), "dllName");
    auto* function = Child<QLineEdit>(sheet.Info1(), "function");
    QVERIFY(dllName->text().isEmpty());
    QCOMPARE(function->text(), QStringLiteral("JustFunction"));

    // A library name holding a comma is split at that comma when opened again.
    SheetFixture created;
    ModuleSheet& create = created.Open(kNewModuleMode);
    ShowSheet(create);
    QTest::keyClick(create.Info1()->TypeList(), Qt::Key_Down);
    QTest::keyClicks(Child<QLineEdit>(create.Info1(), "dllName"), "a,b.so");
    QTest::keyClicks(Child<QLineEdit>(create.Info1(), "function"), "Fn");
    QTest::keyClick(create.Info1()->TypeList(), Qt::Key_Up);
    QVERIFY(!create.Info1()->DllFieldsShown());
    QTest::keyClick(create.Info1()->TypeList(), Qt::Key_Down);
    QCOMPARE(Child<QLineEdit>(create.Info1(), "dllName")->text(), QStringLiteral("a,b.so"));
    QTest::mouseClick(create.StoreButton(), Qt::LeftButton);
    QCOMPARE(create.result(), int(QDialog::Accepted));
    QCOMPARE(created.record.body, std::string("a,b.so,Fn"));
    QCOMPARE(created.record.header.type, 1);

    ModuleSheet reopened(kEditMode, created.record, &created.host);
    QCOMPARE(Child<QLineEdit>(reopened.Info1(), "dllName")->text(), QStringLiteral("a"));
    QCOMPARE(Child<QLineEdit>(reopened.Info1(), "function")->text(), QStringLiteral("b.so,Fn"));
}

void SheetTest::TitleLimitInGbkBytes() {
    SheetFixture s;
    ModuleSheet& sheet = s.Open(kNewModuleMode);
    ShowSheet(sheet);
    auto* title = Child<QLineEdit>(sheet.Info1(), "title");
    QTest::keyClicks(title, QString(51, QLatin1Char('x')));
    QCOMPARE(title->text().size(), 50);
    title->clear();
    TypeText(title, QString(26, QChar(0x4E2D))); // 中
    QCOMPARE(title->text().size(), 25);
    QVERIFY(sheet.StoreModule());
    QCOMPARE(FieldText(s.record.header.title).size(), size_t(50));
}

void SheetTest::EnterAndEscOnInfoPageKeepSheetOpen() {
    SheetFixture s;
    ModuleSheet& sheet = s.Open(kNewModuleMode);
    ShowSheet(sheet);
    auto* title = Child<QLineEdit>(sheet.Info1(), "title");
    QTest::keyClick(title, Qt::Key_Return);
    QTest::keyClick(title, Qt::Key_Escape);
    QTest::keyClick(Child<QCheckBox>(sheet.Info1(), "required"), Qt::Key_Escape);
    QVERIFY(sheet.isVisible());
    auto* description = Child<QPlainTextEdit>(sheet.Info1(), "description");
    QTest::keyClicks(description, "a");
    QTest::keyClick(description, Qt::Key_Return);
    QTest::keyClicks(description, "b");
    QCOMPARE(description->toPlainText(), QStringLiteral("a\nb"));
    QVERIFY(sheet.isVisible());
    QVERIFY(sheet.StoreModule());
    QCOMPARE(s.record.description, std::string("a\r\nb"));
}

void SheetTest::EscOnSqlPageIsCancel() {
    SheetFixture s(SqlRecord());
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QTest::keyClick(sheet.Info3()->Editor(), Qt::Key_End);
    QTest::keyClick(sheet.Info3()->Editor(), Qt::Key_Return);
    QCOMPARE(sheet.Info3()->Editor()->toPlainText(), QStringLiteral("SELECT 1\n"));
    s.responder.Answer({false});
    QTest::keyClick(sheet.Info3()->Editor(), Qt::Key_Escape);
    QCOMPARE(s.responder.questions.size(), size_t(1));
    QVERIFY(sheet.isVisible());
    // Undo as the editor gives it.
    QTest::keyClick(sheet.Info3()->Editor(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(sheet.Info3()->Editor()->toPlainText(), QStringLiteral("SELECT 1"));
}

void SheetTest::RemarksAndTestValuesRoundTrip() {
    SheetFixture s;
    {
        ModuleSheet& sheet = s.Open(kNewModuleMode);
        CSpreadSheet& grid = *sheet.Grid();
        grid.SetRowCount(3);
        PutRow(grid, 1, "In", kImport, kInt, 4, "import remark", "5");
        PutRow(grid, 2, "Cfg", kConfig, kChar, 20, "config remark", "abc");
        PutRow(grid, 3, "Rep", kReport, kChar, 40, "at [?:CURRENT_TIME]", "ignored");
        QVERIFY(sheet.StoreModule());
    }
    QCOMPARE(s.record.header.variableCount, 3);
    QCOMPARE(s.record.remarks, std::string("In,import remark\nCfg,config remark\nRep,at [?:CURRENT_TIME]\n"));
    QCOMPARE(s.record.testValues, std::string("In,5\nCfg,abc\nRep,ignored\n"));
    QCOMPARE(s.record.header.remarkLength, int32_t(s.record.remarks.size() + 1));
    QCOMPARE(int(s.record.variables[1].type), int(kChar));
    QCOMPARE(s.record.variables[1].length, 20);

    ModuleSheet reopened(kEditMode, s.record, &s.host);
    CSpreadSheet& grid = *reopened.Grid();
    QCOMPARE(grid.GetRowCount(), 3);
    QCOMPARE(Cell(grid, 1, 5), QString()); // an Import variable's remark is not shown
    QCOMPARE(Cell(grid, 1, 6), QStringLiteral("5"));
    QCOMPARE(Cell(grid, 2, 5), QStringLiteral("config remark"));
    QCOMPARE(Cell(grid, 2, 6), QStringLiteral("abc"));
    QCOMPARE(Cell(grid, 3, 5), QStringLiteral("at [?:CURRENT_TIME]"));
    QCOMPARE(Cell(grid, 3, 6), QString()); // nor a Report variable's test value
    QCOMPARE(Cell(grid, 2, 3), QStringLiteral("char"));
    QVERIFY(!reopened.StoreButton()->isEnabled());
}

void SheetTest::ThreeRowsWithEmptyLastRow() {
    SheetFixture s;
    ModuleSheet& sheet = s.Open(kNewModuleMode);
    CSpreadSheet& grid = *sheet.Grid();
    grid.SetRowCount(3);
    PutRow(grid, 1, "A", kImport, kInt, 4, "", "1");
    PutRow(grid, 2, "B", kConfig, kByte, 1, "", "2");
    QVERIFY(sheet.StoreModule());
    QCOMPARE(s.record.header.variableCount, 3);
    QCOMPARE(FieldText(s.record.variables[2].name), std::string());
    QCOMPARE(s.record.variables[2].length, 0);
    QCOMPARE(s.record.testValues, std::string("A,1\nB,2\n"));
}

void SheetTest::StoreFromKeyboardTakesOpenCellEdit() {
    SheetFixture s(SqlRecord());
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    QTest::keyClick(Child<QLineEdit>(sheet.Info1(), "title"), Qt::Key_Z); // an earlier change
    sheet.Tabs()->setCurrentIndex(1);
    CSpreadSheet& grid = *sheet.Grid();
    grid.SetRowCount(1);
    PutRow(grid, 1, "A", kImport, kInt, 4, "", "1");
    grid.setFocus();
    grid.setCurrentCell(0, 5);
    QTest::keyClick(&grid, Qt::Key_F2);
    QVERIFY(grid.IsEditingCell());
    QWidget* editor = QApplication::focusWidget();
    QVERIFY(editor && grid.viewport()->isAncestorOf(editor));
    QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(editor, "42");
    // The "&S.保存" mnemonic while the cell is still being typed in (the button is pressed
    // without taking the focus): the store must take "42", not the old "1".
    sheet.StoreButton()->click();
    QCOMPARE(s.host.saves, 1);
    QCOMPARE(s.record.testValues, std::string("A,42\n"));
    QVERIFY(!grid.IsEditingCell());
    QVERIFY(!sheet.StoreButton()->isEnabled());
}

void SheetTest::RefusesTooManyRowsAndLongNames() {
    SheetFixture s(SqlRecord("ORIGINAL"));
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    CSpreadSheet& grid = *sheet.Grid();
    grid.SetRowCount(101);
    QTest::keyClick(Child<QLineEdit>(sheet.Info1(), "title"), Qt::Key_A);
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(s.responder.messages.size(), size_t(1));
    QVERIFY(s.responder.messages[0].text.contains(QStringLiteral("100")));
    QCOMPARE(s.host.saves, 0);
    QCOMPARE(s.record.header.variableCount, 0);
    QCOMPARE(FieldText(s.record.header.title), std::string("SQL test module"));
    QVERIFY(sheet.StoreButton()->isEnabled());

    grid.SetRowCount(100);
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(s.host.saves, 1);
    QCOMPARE(s.record.header.variableCount, 100);

    // 21 Chinese characters are 42 bytes: refused, not cut.
    const QString longName(21, QChar(0x540D));
    PutRow(grid, 5, longName, kImport, kInt, 4, "", "");
    sheet.Grid()->CellChanged(1, 5);
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(s.responder.messages.size(), size_t(2));
    QVERIFY(s.responder.messages[1].text.contains(longName));
    QCOMPARE(s.host.saves, 1);
    QCOMPARE(FieldText(s.record.variables[4].name), std::string());

    PutRow(grid, 5, QString(20, QChar(0x540D)), kImport, kInt, 4, "", "");
    QTest::mouseClick(sheet.StoreButton(), Qt::LeftButton);
    QCOMPARE(s.host.saves, 2);
    QCOMPARE(FieldText(s.record.variables[4].name).size(), size_t(40));
}

void SheetTest::UnchosenDropDownStoresLowByte() {
    SheetFixture s;
    {
        ModuleSheet& sheet = s.Open(kNewModuleMode);
        CSpreadSheet& grid = *sheet.Grid();
        grid.SetRowCount(1);
        grid.SetRow(1);
        grid.SetCol(1);
        grid.SetCellText("X");
        QVERIFY(sheet.StoreModule());
    }
    QCOMPARE(int(s.record.variables[0].attribute), 0xFF);
    QCOMPARE(int(s.record.variables[0].type), 0xFF);
    ModuleSheet reopened(kEditMode, s.record, &s.host);
    CSpreadSheet& grid = *reopened.Grid();
    grid.SetRow(1);
    grid.SetCol(2);
    QCOMPARE(grid.GetListIndex(), CSpreadSheet::kNoListItem);
    QCOMPARE(grid.GetCellText(), QString());
}

void SheetTest::IndicatorCountsGbkBytes() {
    SheetFixture s;
    ModuleSheet& sheet = s.Open(kNewModuleMode);
    ShowSheet(sheet);
    sheet.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&sheet));
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QPlainTextEdit* editor = sheet.Info3()->Editor();
    QVERIFY(editor->hasFocus());
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral("  1,1"));
    QTest::keyClicks(editor, "ab");
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral(" 1,3"));

    // A key press shows the position from before the key.
    QTest::keyPress(editor, Qt::Key_C);
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral(" 1,3"));
    QTest::keyRelease(editor, Qt::Key_C);
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral(" 1,4"));

    editor->clear();
    TypeText(editor, QStringLiteral("中"));
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral(" 1,3"));
    QTest::keyClicks(editor, QStringLiteral("x"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::keyClicks(editor, QStringLiteral("y"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral(" 3,1"));

    // A selection made from right to left reports its left end.
    QTextCursor cursor = editor->textCursor();
    cursor.setPosition(3);
    cursor.setPosition(1, QTextCursor::KeepAnchor);
    editor->setTextCursor(cursor);
    QTest::keyClick(editor, Qt::Key_Shift);
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral(" 1,3"));
}

void SheetTest::FindAndFindNext() {
    SheetFixture s(SqlRecord("SELECT * FROM T WHERE A=1\nUNION SELECT * FROM U WHERE B=2\nWHERE"));
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QPlainTextEdit* editor = sheet.Info3()->Editor();
    const QString text = editor->toPlainText();
    const int last = static_cast<int>(text.lastIndexOf(QStringLiteral("WHERE")));
    QTextCursor cursor = editor->textCursor();
    cursor.setPosition(last);
    cursor.setPosition(last + 5, QTextCursor::KeepAnchor);
    editor->setTextCursor(cursor);

    QString shown;
    s.responder.onDialog = [&shown](QDialog* dialog) {
        auto* find = qobject_cast<FindDlg*>(dialog);
        if (!find)
            return int(QDialog::Rejected);
        shown = find->TextEdit()->text();
        find->accept();
        return find->result();
    };
    QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(shown, QStringLiteral("WHERE"));
    QCOMPARE(editor->textCursor().selectionStart(), int(text.indexOf(QStringLiteral("WHERE"))));
    QCOMPARE(editor->textCursor().selectedText(), QStringLiteral("WHERE"));
    QVERIFY(!sheet.StoreButton()->isEnabled()); // Ctrl+F typed nothing

    const int second = static_cast<int>(text.indexOf(QStringLiteral("WHERE"), editor->textCursor().selectionEnd()));
    QTest::keyClick(editor, Qt::Key_F3);
    QCOMPARE(editor->textCursor().selectionStart(), second);
    QTest::keyClick(editor, Qt::Key_F3);
    QCOMPARE(editor->textCursor().selectionStart(), last);
    QVERIFY(s.responder.messages.empty());
    QTest::keyClick(editor, Qt::Key_F3);
    QCOMPARE(s.responder.messages.size(), size_t(1));
    QCOMPARE(s.responder.messages[0].text, QStringLiteral("未找到"));
    QVERIFY(s.responder.messages[0].caption.isEmpty());
    QCOMPARE(editor->textCursor().selectionStart(), last);
    QCOMPARE(editor->textCursor().selectedText(), QStringLiteral("WHERE"));

    // Cancelling the dialog keeps the find text.
    s.responder.onDialog = [](QDialog*) { return int(QDialog::Rejected); };
    QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(sheet.Info3()->FindText(), QStringLiteral("WHERE"));
}

void SheetTest::FindIsCaseSensitiveAndEmptyFindCollapses() {
    SheetFixture s(SqlRecord("SELECT X FROM T WHERE Y"));
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QPlainTextEdit* editor = sheet.Info3()->Editor();

    // F3 before any search: the empty text matches at once, no message.
    QTextCursor cursor = editor->textCursor();
    cursor.setPosition(2);
    cursor.setPosition(6, QTextCursor::KeepAnchor);
    editor->setTextCursor(cursor);
    QTest::keyClick(editor, Qt::Key_F3);
    QVERIFY(s.responder.messages.empty());
    QVERIFY(!editor->textCursor().hasSelection());
    QCOMPARE(editor->textCursor().position(), 6);

    s.responder.onDialog = [](QDialog* dialog) {
        auto* find = qobject_cast<FindDlg*>(dialog);
        find->TextEdit()->setText(QStringLiteral("where"));
        find->accept();
        return find->result();
    };
    QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(s.responder.messages.size(), size_t(1));
    QCOMPARE(s.responder.messages[0].text, QStringLiteral("未找到"));
}

void SheetTest::HighlightMarksUnknownPlaceholders() {
    SheetFixture s(SqlRecord("DELETE FROM T WHERE ID=[?:UserID] AND N=[?:Nobody] -- [?:CURRENT_TIME]"));
    AddVariable(s.record, "UserID", kImport, kInt, 4, "", "7");
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    const QTextBlock block = sheet.Info3()->Editor()->document()->firstBlock();
    const QString text = block.text();
    auto formatAt = [&block](int position) {
        for (const QTextLayout::FormatRange& range : block.layout()->formats())
            if (position >= range.start && position < range.start + range.length)
                return range.format;
        return QTextCharFormat();
    };
    const auto isError = [&](const char* placeholder) {
        return formatAt(static_cast<int>(text.indexOf(QLatin1String(placeholder))) + 1).underlineStyle() ==
               QTextCharFormat::WaveUnderline;
    };
    QVERIFY(!isError("[?:UserID]"));
    QVERIFY(isError("[?:Nobody]"));
    QVERIFY(!isError("[?:CURRENT_TIME]"));
    QCOMPARE(formatAt(0).fontWeight(), int(QFont::Bold)); // DELETE
    QVERIFY(!sheet.StoreButton()->isEnabled());
}

void SheetTest::HighlightFollowsTheViewDownABigText() {
    // A comment opened far above the view decides what the view shows; a placeholder's
    // status follows the grid's names wherever it stands.
    SheetFixture s(
        SqlRecord(NumberedLines(3000, {{0, "[?:Late] /* opened"}, {1500, "closed */ SELECT Y"}, {2500, "[?:Late]"}})));
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QPlainTextEdit* editor = sheet.Info3()->Editor();
    QTextDocument* document = editor->document();
    QVERIFY(IsBadPlaceholderAt(document->findBlockByNumber(0), 1));
    QCOMPARE(FormatAt(document->findBlockByNumber(2), 0).foreground().color(), QColor(0x00, 0x80, 0x00));

    ScrollToLine(editor, 1000);
    const QTextBlock inComment = document->findBlockByNumber(1001);
    QCOMPARE(FormatAt(inComment, 0).foreground().color(), QColor(0x00, 0x80, 0x00));
    QVERIFY(!IsKeywordAt(inComment, 0));

    ScrollToLine(editor, 1495);
    const QTextBlock closing = document->findBlockByNumber(1500);
    QCOMPARE(FormatAt(closing, 0).foreground().color(), QColor(0x00, 0x80, 0x00));
    QVERIFY(IsKeywordAt(closing, static_cast<int>(closing.text().indexOf(QLatin1String("SELECT")))));
    QVERIFY(IsKeywordAt(document->findBlockByNumber(1501), 0));

    ScrollToLine(editor, 2498);
    QVERIFY(IsBadPlaceholderAt(document->findBlockByNumber(2500), 1));
    // The name becomes known: the shown placeholder changes at once, the one at the top when
    // it is shown again.
    sheet.Grid()->SetRowCount(1);
    PutRow(*sheet.Grid(), 1, QStringLiteral("Late"), kImport, kInt, 4, QString(), QStringLiteral("1"));
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QVERIFY(!IsBadPlaceholderAt(document->findBlockByNumber(2500), 1));
    ScrollToLine(editor, 0);
    QVERIFY(!IsBadPlaceholderAt(document->findBlockByNumber(0), 1));
}

void SheetTest::HighlightAfterAnEditAboveTheView() {
    SheetFixture s(SqlRecord(NumberedLines(2000, {{0, "/* open"}, {1800, "end */"}})));
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QPlainTextEdit* editor = sheet.Info3()->Editor();
    QTextDocument* document = editor->document();
    ScrollToLine(editor, 1000);
    QVERIFY(!IsKeywordAt(document->findBlockByNumber(1005), 0));
    ScrollToLine(editor, 1900);
    QVERIFY(IsKeywordAt(document->findBlockByNumber(1905), 0));

    // Typing at the top takes the comment away: lines far below that were shown as comment
    // are shown as SQL when they come back into view, and the reverse below the old end.
    ScrollToLine(editor, 0);
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::Right, QTextCursor::KeepAnchor, 2);
    editor->setTextCursor(cursor);
    QTest::keyClicks(editor, "--");
    QCOMPARE(document->firstBlock().text(), QStringLiteral("-- open"));
    QVERIFY(IsKeywordAt(document->findBlockByNumber(1), 0));
    ScrollToLine(editor, 1000);
    QVERIFY(IsKeywordAt(document->findBlockByNumber(1005), 0));

    // An edit inside the view: a quote that is not closed runs on over the lines below.
    QTextCursor inView(document->findBlockByNumber(1002));
    editor->setTextCursor(inView);
    QTest::keyClicks(editor, "'");
    QCOMPARE(FormatAt(document->findBlockByNumber(1005), 0).foreground().color(), QColor(0xa3, 0x15, 0x15));
    QTest::keyClick(editor, Qt::Key_Backspace);
    QVERIFY(IsKeywordAt(document->findBlockByNumber(1005), 0));
}

void SheetTest::IndicatorAndFindFarDownABigText() {
    SheetFixture s(SqlRecord(NumberedLines(20000, {{19990, "SELECT \xd6\xd0 FROM T WHERE NEEDLE"}})));
    ModuleSheet& sheet = s.Open(kEditMode);
    ShowSheet(sheet);
    sheet.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&sheet));
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    QPlainTextEdit* editor = sheet.Info3()->Editor();
    QVERIFY(editor->hasFocus());

    s.responder.onDialog = [](QDialog* dialog) {
        auto* find = qobject_cast<FindDlg*>(dialog);
        find->TextEdit()->setText(QStringLiteral("NEEDLE"));
        find->accept();
        return find->result();
    };
    QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
    const QTextBlock found = editor->textCursor().block();
    QCOMPARE(found.blockNumber(), 19990);
    QCOMPARE(editor->textCursor().selectedText(), QStringLiteral("NEEDLE"));
    // Scrolled into view and highlighted there.
    QVERIFY(IsKeywordAt(found, 0));
    // The Chinese character counts two bytes in the column.
    QTest::keyClick(editor, Qt::Key_Shift);
    QCOMPARE(sheet.Info3()->IndicatorText(), QStringLiteral(" 19991,24"));

    // The search sees what was typed since the last one.
    QTextCursor cursor(editor->document());
    editor->setTextCursor(cursor);
    QTest::keyClicks(editor, "NEEDLE ");
    QTest::keyClick(editor, Qt::Key_Home);
    QTest::keyClick(editor, Qt::Key_F3);
    QCOMPARE(editor->textCursor().blockNumber(), 0);
    QCOMPARE(editor->textCursor().selectionStart(), 0);
    QTest::keyClick(editor, Qt::Key_F3);
    QCOMPARE(editor->textCursor().blockNumber(), 19990);
    QVERIFY(s.responder.messages.empty());
}

KESTREL_TEST_MAIN(SheetTest)
#include "SheetTest.moc"
