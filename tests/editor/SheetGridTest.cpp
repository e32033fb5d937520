// The variables grid: its operations, its editing keys and its rows as test variables.
#include "SheetFixtures.h"

#include "testing/widgets/GridVariables.h"

#include "support/QtMain.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

void Numbered(CSpreadSheet& grid, int rows) {
    grid.SetRowCount(rows);
    for (int r = 1; r <= rows; ++r) {
        grid.SetRow(r);
        grid.SetCol(1);
        grid.SetCellText(QStringLiteral("v%1").arg(r));
    }
}

// Types text into a cell as a user does: the first key opens the editor, Enter commits.
void TypeIntoCell(CSpreadSheet& grid, int row0, int col0, const QString& text) {
    grid.setCurrentCell(row0, col0);
    QTest::keyClicks(&grid, text.left(1));
    QWidget* editor = grid.indexWidget(grid.currentIndex());
    QVERIFY(editor);
    QTest::keyClicks(editor, text.mid(1));
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents(); // the delegate commits on the next turn of the loop
}

QStringList Names(CSpreadSheet& grid) {
    QStringList names;
    for (int r = 1; r <= grid.GetRowCount(); ++r)
        names << Cell(grid, r, 1);
    return names;
}

} // namespace

class GridTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void ColumnsAndKinds();
    void ListCells();
    void RunActionKeepsRowCount();
    void SetRowCountNeverBelowZero();
    void EnterAddsRowOnlyAtLastCell();
    void InsertAndDelete();
    void EmptyGridKeys();
    void KeysInOpenEditorAreNotRowCommands();
    void CellChangedOnlyForUserEdits();
    void LengthColumnRange();
    void RowsAsTestVariables();
    void WidestValuesAreNotCut();

private:
    CSpreadSheet* m_grid = nullptr;
    QSignalSpy* m_changes = nullptr;
};

void GridTest::init() {
    m_grid = new CSpreadSheet;
    m_grid->resize(700, 300);
    m_grid->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_grid));
    m_grid->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_grid));
    m_grid->setFocus();
    m_changes = new QSignalSpy(m_grid, &CSpreadSheet::CellChanged);
}

void GridTest::cleanup() {
    delete m_changes;
    delete m_grid;
}

void GridTest::ColumnsAndKinds() {
    QCOMPARE(m_grid->GetColCount(), 6);
    QCOMPARE(m_grid->GetRowCount(), 0);
    QStringList headers;
    for (int c = 0; c < 6; ++c)
        headers << m_grid->horizontalHeaderItem(c)->text();
    QCOMPARE(headers, (QStringList{"名称", "属性", "类型", "长度", "备注", "测试值"}));
    QCOMPARE(CSpreadSheet::KindOf(2), CSpreadSheet::kListColumn);
    QCOMPARE(CSpreadSheet::KindOf(4), CSpreadSheet::kNumberColumn);
    QCOMPARE(CSpreadSheet::KindOf(6), CSpreadSheet::kTextColumn);
}

void GridTest::ListCells() {
    m_grid->SetRowCount(1);
    m_grid->SetRow(1);
    m_grid->SetCol(3);
    QCOMPARE(m_grid->GetListIndex(), CSpreadSheet::kNoListItem);
    m_grid->SetListIndex(3);
    QCOMPARE(m_grid->GetCellText(), QStringLiteral("double"));
    QCOMPARE(m_grid->GetListIndex(), int16_t(3));
    m_grid->SetListIndex(4);
    QCOMPARE(m_grid->GetCellText(), QStringLiteral("char"));
    m_grid->SetListIndex(255); // no such item: nothing chosen
    QCOMPARE(m_grid->GetListIndex(), CSpreadSheet::kNoListItem);
    QCOMPARE(m_grid->GetCellText(), QString());
    // A text written into a list cell leaves its item as it was.
    m_grid->SetListIndex(2);
    m_grid->SetCellText(QStringLiteral("shown"));
    QCOMPARE(m_grid->GetListIndex(), int16_t(2));
    // A fresh cell that gets nothing to choose reports nothing chosen; cells outside the grid
    // are neither made nor read.
    m_grid->SetCol(2);
    m_grid->SetListIndex(-1);
    QCOMPARE(m_grid->GetListIndex(), CSpreadSheet::kNoListItem);
    m_grid->SetRow(2);
    m_grid->SetCellText(QStringLiteral("outside"));
    m_grid->SetListIndex(1);
    QCOMPARE(m_grid->GetCellText(), QString());
    QCOMPARE(m_grid->GetListIndex(), CSpreadSheet::kNoListItem);
    QCOMPARE(m_grid->GetRowCount(), 1);
    m_grid->SetRow(1);
    QCOMPARE(m_changes->count(), 0);

    // The user's pick through the cell's drop-down.
    m_grid->setCurrentCell(0, 1);
    QTest::keyClick(m_grid, Qt::Key_F2);
    auto* combo = qobject_cast<QComboBox*>(m_grid->indexWidget(m_grid->model()->index(0, 1)));
    QVERIFY(combo);
    QCOMPARE(combo->count(), 3);
    QTest::keyClick(combo, Qt::Key_Down);
    m_grid->SetCol(2);
    QCOMPARE(m_grid->GetListIndex(), int16_t(0));
    QCOMPARE(m_grid->GetCellText(), QStringLiteral("Import"));
    QCOMPARE(m_changes->count(), 1);
}

void GridTest::RunActionKeepsRowCount() {
    Numbered(*m_grid, 4);
    m_grid->SetRow(2);
    m_grid->RunAction(7);
    QCOMPARE(Names(*m_grid), (QStringList{"v1", "", "v2", "v3"}));
    m_grid->SetRow(1);
    m_grid->RunAction(5);
    QCOMPARE(Names(*m_grid), (QStringList{"", "v2", "v3", ""}));
    m_grid->SetRow(9); // outside: nothing happens
    m_grid->RunAction(5);
    QCOMPARE(m_grid->GetRowCount(), 4);
}

void GridTest::SetRowCountNeverBelowZero() {
    Numbered(*m_grid, 3);
    m_grid->SetRowCount(2);
    QCOMPARE(Names(*m_grid), (QStringList{"v1", "v2"}));
    m_grid->SetRowCount(3);
    QCOMPARE(Names(*m_grid), (QStringList{"v1", "v2", ""}));
    m_grid->SetRowCount(-1);
    QCOMPARE(m_grid->GetRowCount(), 0);
}

void GridTest::EnterAddsRowOnlyAtLastCell() {
    Numbered(*m_grid, 2);
    m_grid->setCurrentCell(0, 5);
    QTest::keyClick(m_grid, Qt::Key_Return);
    QCOMPARE(m_grid->GetRowCount(), 2);
    QCOMPARE(m_grid->GetActiveRow(), 1);
    QCOMPARE(m_grid->GetActiveCol(), 6);
    m_grid->setCurrentCell(1, 4);
    QTest::keyClick(m_grid, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_grid->GetRowCount(), 2);
    m_grid->setCurrentCell(1, 5);
    QTest::keyClick(m_grid, Qt::Key_Return);
    QCOMPARE(m_grid->GetRowCount(), 3);
    QCOMPARE(m_grid->GetActiveRow(), 2); // the cursor does not move
    QTest::keyClick(m_grid, Qt::Key_Return);
    QCOMPARE(m_grid->GetRowCount(), 3);
    QVERIFY(!m_grid->IsEditingCell());
    QCOMPARE(m_changes->count(), 0);
}

void GridTest::InsertAndDelete() {
    Numbered(*m_grid, 5);
    m_grid->setCurrentCell(2, 0);
    QTest::keyClick(m_grid, Qt::Key_Insert);
    QCOMPARE(Names(*m_grid), (QStringList{"v1", "v2", "", "v3", "v4", "v5"}));
    // The cursor keeps its row number, so it stands on the new empty row, not on the row
    // that moved down: typing goes into the new row.
    QCOMPARE(m_grid->GetActiveRow(), 3);
    QCOMPARE(m_grid->GetActiveCol(), 1);
    QTest::keyClicks(m_grid, "w");
    QWidget* editor = m_grid->indexWidget(m_grid->currentIndex());
    QVERIFY(editor);
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCOMPARE(Names(*m_grid), (QStringList{"v1", "v2", "w", "v3", "v4", "v5"}));
    m_changes->clear();

    // Insert on the last row: the empty row takes its place and the cursor stays there.
    Numbered(*m_grid, 2);
    m_grid->setCurrentCell(1, 3);
    QTest::keyClick(m_grid, Qt::Key_Insert);
    QCOMPARE(Names(*m_grid), (QStringList{"v1", "", "v2"}));
    QCOMPARE(m_grid->GetActiveRow(), 2);
    QCOMPARE(m_grid->GetActiveCol(), 4);

    Numbered(*m_grid, 3);
    m_grid->setCurrentCell(1, 2);
    QTest::keyClick(m_grid, Qt::Key_Delete);
    QCOMPARE(Names(*m_grid), (QStringList{"v1", "v3"}));
    QCOMPARE(m_grid->GetActiveRow(), 2); // on the row that moved up
    QTest::keyClick(m_grid, Qt::Key_Delete);
    QCOMPARE(Names(*m_grid), (QStringList{"v1"}));
    QCOMPARE(m_grid->GetActiveRow(), 1); // the last row is gone: the cursor is on the new last row
    QCOMPARE(m_changes->count(), 0);
}

void GridTest::EmptyGridKeys() {
    QTest::keyClick(m_grid, Qt::Key_Return);
    QCOMPARE(m_grid->GetRowCount(), 0);
    QTest::keyClick(m_grid, Qt::Key_Delete);
    QCOMPARE(m_grid->GetRowCount(), 0);
    QTest::keyClick(m_grid, Qt::Key_Insert);
    QCOMPARE(m_grid->GetRowCount(), 1);
    QCOMPARE(Cell(*m_grid, 1, 1), QString());
    // The new row has the cursor, so typing goes straight into it.
    QCOMPARE(m_grid->GetActiveRow(), 1);
    QCOMPARE(m_grid->GetActiveCol(), 1);
    QTest::keyClicks(m_grid, "n");
    QWidget* editor = m_grid->indexWidget(m_grid->currentIndex());
    QVERIFY(editor);
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCOMPARE(Cell(*m_grid, 1, 1), QStringLiteral("n"));
    m_grid->setCurrentCell(0, 0);
    QTest::keyClick(m_grid, Qt::Key_Delete);
    QCOMPARE(m_grid->GetRowCount(), 0);
}

void GridTest::KeysInOpenEditorAreNotRowCommands() {
    Numbered(*m_grid, 2);
    m_grid->setCurrentCell(1, 0);
    QTest::keyClick(m_grid, Qt::Key_F2);
    QVERIFY(m_grid->IsEditingCell());
    auto* editor = qobject_cast<QLineEdit*>(m_grid->indexWidget(m_grid->currentIndex()));
    QVERIFY(editor);
    QTest::keyClick(editor, Qt::Key_Insert);
    QTest::keyClick(editor, Qt::Key_End);
    QTest::keyClick(editor, Qt::Key_Backspace);
    QTest::keyClick(editor, Qt::Key_Delete);
    QCOMPARE(m_grid->GetRowCount(), 2);
    QTest::keyClicks(editor, "x");
    QTest::keyClick(editor, Qt::Key_Return); // commits, adds no row
    QCoreApplication::processEvents();
    QCOMPARE(m_grid->GetRowCount(), 2);
    QCOMPARE(Cell(*m_grid, 2, 1), QStringLiteral("vx"));
    QCOMPARE(m_changes->count(), 1);
    QCOMPARE(m_changes->at(0).at(0).toInt(), 1);
    QCOMPARE(m_changes->at(0).at(1).toInt(), 2);
}

void GridTest::CellChangedOnlyForUserEdits() {
    Numbered(*m_grid, 1);
    m_grid->SetRow(1);
    m_grid->SetCol(6);
    m_grid->SetCellText("program");
    QCOMPARE(m_changes->count(), 0);
    // Typing starts an edit; committing the same text again is no change.
    m_grid->setCurrentCell(0, 0);
    QTest::keyClick(m_grid, Qt::Key_F2);
    QTest::keyClick(m_grid->indexWidget(m_grid->currentIndex()), Qt::Key_Return);
    QCoreApplication::processEvents();
    QCOMPARE(m_changes->count(), 0);
    TypeIntoCell(*m_grid, 0, 4, "r");
    QCOMPARE(m_changes->count(), 1);
    QCOMPARE(Cell(*m_grid, 1, 5), QStringLiteral("r"));
}

void GridTest::LengthColumnRange() {
    Numbered(*m_grid, 1);
    TypeIntoCell(*m_grid, 0, 3, "30001");
    QCOMPARE(Cell(*m_grid, 1, 4), QStringLiteral("3000"));
    m_grid->setCurrentCell(0, 3);
    QTest::keyClick(m_grid, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(m_grid->indexWidget(m_grid->currentIndex()));
    editor->selectAll();
    QTest::keyClicks(editor, "30000");
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCOMPARE(Cell(*m_grid, 1, 4), QStringLiteral("30000"));
    TypeIntoCell(*m_grid, 0, 3, "0");
    QCOMPARE(Cell(*m_grid, 1, 4), QStringLiteral("0"));
    QTest::keyClick(m_grid, Qt::Key_F2);
    QTest::keyClicks(m_grid->indexWidget(m_grid->currentIndex()), "-");
    QCOMPARE(qobject_cast<QLineEdit*>(m_grid->indexWidget(m_grid->currentIndex()))->text(), QStringLiteral("0"));
}

void GridTest::RowsAsTestVariables() {
    m_grid->SetRowCount(4);
    PutRow(*m_grid, 1, "UserID", kImport, kInt, 4, "", " 12abc");
    PutRow(*m_grid, 2, "Name", kConfig, kChar, 20, "", "abc");
    PutRow(*m_grid, 3, "Rep", kReport, kChar, 40, "user [?:UserID]", "");
    // Row 4: a name, but nothing chosen in either drop-down.
    m_grid->SetRow(4);
    m_grid->SetCol(1);
    m_grid->SetCellText("Loose");

    const std::vector<VariableRow> rows = ReadGridRows(*m_grid);
    QCOMPARE(rows.size(), size_t(4));
    QCOMPARE(rows[3].attribute, 0xFF);
    QCOMPARE(rows[3].type, 0xFF);
    QVERIFY(!RowHasChoices(rows[3]));
    QCOMPARE(rows[1].length, 20);

    TestVariableTable table;
    const FillResult filled = FillChosenVariables(table, ReadGridRows(*m_grid));
    QVERIFY(filled);
    QCOMPARE(table.Count(), 3); // the loose row stays out
    QCOMPARE(table.Entries()[0].value.intValue, 12);
    QCOMPARE(std::string(table.Entries()[2].value.text), std::string("user 12"));
    QVERIFY(!CheckPlaceholders("[?:Loose]", table));
    table.Release();

    PutRow(*m_grid, 3, "Rep", kReport, kChar, 40, "user [?:Nobody]", "");
    TestVariableTable second;
    const FillResult refused = FillChosenVariables(second, ReadGridRows(*m_grid));
    QVERIFY(!refused);
    QVERIFY(refused.error().text.find("Rep") != std::string::npos);
}

// What a cell shows of text: the text itself, or its elided form when the column is too narrow.
static QString Shown(CSpreadSheet& grid, int row0, int col0, const QString& text) {
    QStyleOptionViewItem option;
    option.initFrom(grid.viewport());
    option.font = grid.font();
    option.rect = grid.visualRect(grid.model()->index(row0, col0));
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = text;
    // The style draws the text inside its margin on either side.
    const int margin = grid.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &grid) + 1;
    const QRect area = grid.style()->subElementRect(QStyle::SE_ItemViewItemText, &option, &grid);
    return QFontMetrics(grid.font()).elidedText(text, Qt::ElideRight, area.width() - 2 * margin);
}

void GridTest::WidestValuesAreNotCut() {
    m_grid->SetRowCount(1);
    TypeIntoCell(*m_grid, 0, CSpreadSheet::kLengthColumn - 1, QStringLiteral("30000"));
    const QString typed = Cell(*m_grid, 1, CSpreadSheet::kLengthColumn);
    QCOMPARE(typed, QStringLiteral("30000"));
    QCOMPARE(Shown(*m_grid, 0, CSpreadSheet::kLengthColumn - 1, typed), typed);
    for (int col : {int(CSpreadSheet::kAttributeColumn), int(CSpreadSheet::kTypeColumn)})
        for (const QString& item : CSpreadSheet::ListItems(col))
            QCOMPARE(Shown(*m_grid, 0, col - 1, item), item);
}

KESTREL_TEST_MAIN(GridTest)
#include "SheetGridTest.moc"
