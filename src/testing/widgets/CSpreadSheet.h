#pragma once
// The variables grid: six fixed columns (name, attribute, type, length, remark, test value)
// behind the small set of operations the sheet and the test run use. Cells and rows are
// 1-based; every cell operation acts on the addressed cell chosen by SetCol/SetRow.
#include <QTableWidget>

class QKeyEvent;

#include <cstdint>

namespace kestrel {

class CSpreadSheet : public QTableWidget {
    Q_OBJECT
public:
    enum ColumnKind { kTextColumn, kListColumn, kNumberColumn };
    static constexpr int kColumns = 6;
    static constexpr int kMaxLength = 30000;
    // What GetListIndex reports for a drop-down cell in which nothing was chosen yet.
    static constexpr int16_t kNoListItem = -1;

    explicit CSpreadSheet(QWidget* parent = nullptr);

    int32_t GetActiveCol() const;
    int32_t GetActiveRow() const;
    void SetCol(int32_t col) { m_col = col; }
    void SetRow(int32_t row) { m_row = row; }
    int32_t GetColCount() const { return columnCount(); }
    int32_t GetRowCount() const { return rowCount(); }
    // Larger: empty rows added at the end; smaller: rows removed from the end; never below 0.
    void SetRowCount(int32_t count);
    int16_t GetListIndex() const;
    void SetListIndex(int16_t index);
    QString GetCellText() const;
    void SetCellText(const QString& text);
    // The control's action numbers.
    enum Action : int16_t {
        kDeleteRowAction = 5, // delete the addressed row, an empty row takes the last place
        kInsertRowAction = 7, // insert an empty row before the addressed row, the last row falls off
    };
    // Grid columns (1-based).
    enum Column {
        kNameColumn = 1,
        kAttributeColumn = 2,
        kTypeColumn = 3,
        kLengthColumn = 4,
        kRemarkColumn = 5,
        kTestValueColumn = 6,
    };
    void RunAction(int16_t action);

    // Stores what an open cell editor holds into its cell and closes the editor, so that a
    // store or a test started from the keyboard reads what the user sees.
    void CommitEdit();

    // Whether a cell editor is open (keys then belong to the editor).
    bool IsEditingCell() const { return state() == QAbstractItemView::EditingState; }

    // Tab and Shift+Tab move between the cells; Ctrl+Tab and Ctrl+Shift+Tab leave the grid
    // forwards and backwards, from a cell or from an open cell editor.
    static bool IsLeaveKey(const QKeyEvent* event);
    void LeaveGrid(const QKeyEvent* event);
    static ColumnKind KindOf(int col);
    static const QStringList& ListItems(int col);

signals:
    // The user changed a cell's contents (never raised for cells the program sets).
    void CellChanged(int col, int row);
    // The user typed into an open cell editor: already a change, before the editor commits
    // it into the cell (CellChanged follows at the commit).
    void CellEdited(int col, int row);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class GridDelegate;
    bool Addressed() const;
    QTableWidgetItem* AddressedItem() const;
    // Text of the addressed cell and, when listIndex is given, its list item (invalid: none).
    void SetAddressedCell(const QString& text, const QVariant* listIndex);
    void ClearRow(int row0);
    void UserEdited(int row0, int col0);

    int32_t m_col = 1;
    int32_t m_row = 1;
};

} // namespace kestrel
