#include "testing/widgets/CSpreadSheet.h"

#include "ui/Accessible.h"
#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QValidator>

#include <algorithm>
#include <cmath>

namespace kestrel {

namespace {
constexpr int kListIndexRole = Qt::UserRole + 1;

struct ColumnSpec {
    const char* header;
    CSpreadSheet::ColumnKind kind;
    double widthChars;
};
const ColumnSpec kColumnSpecs[CSpreadSheet::kColumns] = {
    {"名称", CSpreadSheet::kTextColumn, 18.13}, {"属性", CSpreadSheet::kListColumn, 9.5},
    {"类型", CSpreadSheet::kListColumn, 9.0},   {"长度", CSpreadSheet::kNumberColumn, 5.25},
    {"备注", CSpreadSheet::kTextColumn, 30.0},  {"测试值", CSpreadSheet::kTextColumn, 16.0},
};

// Room of a variable name in the module record, without its zero.
constexpr int kNameBytes = 40;

// Digits only, and never more than the column's maximum: a number out of range cannot be
// typed at all (QIntValidator would let it stand as "intermediate").
class LengthValidator : public QValidator {
public:
    explicit LengthValidator(QObject* parent) : QValidator(parent) {}
    State validate(QString& input, int&) const override {
        if (input.isEmpty())
            return Intermediate;
        if (input.size() > 5)
            return Invalid;
        for (const QChar c : input)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        return input.toInt() <= CSpreadSheet::kMaxLength ? Acceptable : Invalid;
    }
};
} // namespace

// Editors per column kind. Only commits made here are the user's edits, so this is where
// CellChanged comes from.
class GridDelegate : public QStyledItemDelegate {
public:
    explicit GridDelegate(CSpreadSheet* sheet) : QStyledItemDelegate(sheet), m_sheet(sheet) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override {
        const int col = index.column() + 1;
        switch (CSpreadSheet::KindOf(col)) {
        case CSpreadSheet::kListColumn: {
            auto* combo = new QComboBox(parent);
            combo->addItems(CSpreadSheet::ListItems(col));
            // Each pick reaches the cell at once (arrow keys pick too, so the editor stays
            // open until Enter or leaving the cell).
            connect(combo, &QComboBox::activated, this,
                    [this, combo] { emit const_cast<GridDelegate*>(this)->commitData(combo); });
            ui::NameUnlabelledField(combo, ColumnName(index));
            return combo;
        }
        case CSpreadSheet::kNumberColumn: {
            auto* edit = new QLineEdit(parent);
            edit->setValidator(new LengthValidator(edit));
            edit->setFrame(false);
            edit->setAccessibleName(ColumnName(index));
            ReportTyping(edit, index);
            return edit;
        }
        case CSpreadSheet::kTextColumn:
            break;
        }
        auto* edit = new ui::GbkLineEdit(col == 1 ? kNameBytes : -1, parent);
        edit->setFrame(false);
        edit->setAccessibleName(ColumnName(index));
        ReportTyping(edit, index);
        return edit;
    }

    // Alt+letter belongs to the window's buttons. When no button took it (a disabled one,
    // say) it must not reach the cell as the bare letter.
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (CSpreadSheet::IsLeaveKey(key)) {
                m_sheet->LeaveGrid(key);
                return true;
            }
            if ((key->modifiers() & Qt::AltModifier) && !(key->modifiers() & Qt::ControlModifier) &&
                !key->text().isEmpty() && key->text().at(0).isPrint())
                return true;
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            const QVariant value = index.data(kListIndexRole);
            combo->setCurrentIndex(value.isValid() ? value.toInt() : -1);
            return;
        }
        if (auto* edit = qobject_cast<QLineEdit*>(editor))
            edit->setText(index.data(Qt::DisplayRole).toString());
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            const int chosen = combo->currentIndex();
            const QVariant old = index.data(kListIndexRole);
            if (chosen < 0 || (old.isValid() && old.toInt() == chosen))
                return;
            model->setData(index, chosen, kListIndexRole);
            model->setData(index, combo->itemText(chosen), Qt::DisplayRole);
            m_sheet->UserEdited(index.row(), index.column());
            return;
        }
        auto* edit = qobject_cast<QLineEdit*>(editor);
        if (!edit)
            return;
        QString text = edit->text();
        if (edit->validator() && !edit->hasAcceptableInput())
            text.clear(); // a number cell left half-typed (empty) holds no number
        if (text == index.data(Qt::DisplayRole).toString())
            return;
        model->setData(index, text, Qt::DisplayRole);
        m_sheet->UserEdited(index.row(), index.column());
    }

private:
    // An editor says which column it edits: the view does not list it among its cells.
    QString ColumnName(const QModelIndex& index) const {
        const QTableWidgetItem* header = m_sheet->horizontalHeaderItem(index.column());
        return header ? header->text() : QString();
    }
    void ReportTyping(QLineEdit* edit, const QModelIndex& index) const {
        const QPersistentModelIndex cell(index);
        connect(edit, &QLineEdit::textEdited, m_sheet, [sheet = m_sheet, cell] {
            if (cell.isValid())
                emit sheet->CellEdited(cell.column() + 1, cell.row() + 1);
        });
    }

    CSpreadSheet* m_sheet;
};

CSpreadSheet::CSpreadSheet(QWidget* parent) : QTableWidget(0, kColumns, parent) {
    QStringList headers;
    for (const ColumnSpec& column : kColumnSpecs)
        headers << QString::fromUtf8(column.header);
    setHorizontalHeaderLabels(headers);
    verticalHeader()->hide();
    setItemDelegate(new GridDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    setFont(ui::DialogFont());
    const QFontMetricsF metrics(font());
    // Widths are in characters of the grid's font, measured as the dialog manager does (the
    // face's own average is inflated by its Chinese glyphs).
    const double charWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0;
    // No column cuts its header or the widest value it allows ("30000", "Report", "double").
    const int padding = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 6;
    for (int c = 0; c < kColumns; ++c) {
        QStringList widest = ListItems(c + 1);
        widest << QString::fromUtf8(kColumnSpecs[c].header);
        if (kColumnSpecs[c].kind == kNumberColumn)
            widest << QString::number(kMaxLength);
        int width = static_cast<int>(std::lround(kColumnSpecs[c].widthChars * charWidth));
        for (const QString& text : widest)
            width = std::max(width, static_cast<int>(std::ceil(metrics.horizontalAdvance(text))) + padding);
        setColumnWidth(c, width);
    }
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->setDefaultSectionSize(static_cast<int>(metrics.height()) + 8);
}

CSpreadSheet::ColumnKind CSpreadSheet::KindOf(int col) {
    if (col < 1 || col > kColumns)
        return kTextColumn;
    return kColumnSpecs[col - 1].kind;
}

const QStringList& CSpreadSheet::ListItems(int col) {
    static const QStringList attributes = {QStringLiteral("Import"), QStringLiteral("Config"),
                                           QStringLiteral("Report")};
    static const QStringList types = {QStringLiteral("byte"), QStringLiteral("short"), QStringLiteral("int"),
                                      QStringLiteral("double"), QStringLiteral("char")};
    static const QStringList none;
    return col == kAttributeColumn ? attributes : col == kTypeColumn ? types : none;
}

int32_t CSpreadSheet::GetActiveCol() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.column() + 1 : 0;
}

int32_t CSpreadSheet::GetActiveRow() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

void CSpreadSheet::SetRowCount(int32_t count) {
    setRowCount(std::max<int32_t>(count, 0));
}

bool CSpreadSheet::Addressed() const {
    return m_row >= 1 && m_row <= rowCount() && m_col >= 1 && m_col <= columnCount();
}

QTableWidgetItem* CSpreadSheet::AddressedItem() const {
    return Addressed() ? item(m_row - 1, m_col - 1) : nullptr;
}

void CSpreadSheet::SetAddressedCell(const QString& text, const QVariant* listIndex) {
    if (!Addressed())
        return;
    if (QTableWidgetItem* cell = AddressedItem()) {
        if (listIndex)
            cell->setData(kListIndexRole, *listIndex);
        cell->setText(text);
        return;
    }
    // A new cell gets its contents before it joins the table: one change for the view, not two.
    auto* cell = new QTableWidgetItem(text);
    if (listIndex && listIndex->isValid())
        cell->setData(kListIndexRole, *listIndex);
    setItem(m_row - 1, m_col - 1, cell);
}

int16_t CSpreadSheet::GetListIndex() const {
    QTableWidgetItem* cell = AddressedItem();
    if (!cell)
        return kNoListItem;
    const QVariant value = cell->data(kListIndexRole);
    return value.isValid() ? static_cast<int16_t>(value.toInt()) : kNoListItem;
}

void CSpreadSheet::SetListIndex(int16_t index) {
    const QStringList& items = ListItems(m_col);
    // Nothing to choose: the cell shows and reports "nothing chosen".
    const QVariant chosen = index >= 0 && index < items.size() ? QVariant(static_cast<int>(index)) : QVariant();
    SetAddressedCell(chosen.isValid() ? items.at(index) : QString(), &chosen);
}

QString CSpreadSheet::GetCellText() const {
    QTableWidgetItem* cell = AddressedItem();
    return cell ? cell->text() : QString();
}

void CSpreadSheet::SetCellText(const QString& text) {
    SetAddressedCell(text, nullptr);
}

void CSpreadSheet::ClearRow(int row0) {
    for (int c = 0; c < columnCount(); ++c)
        delete takeItem(row0, c);
}

void CSpreadSheet::CommitEdit() {
    if (state() != QAbstractItemView::EditingState)
        return;
    QWidget* editor = QApplication::focusWidget();
    if (!editor || !viewport()->isAncestorOf(editor))
        return;
    commitData(editor);
    closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void CSpreadSheet::RunAction(int16_t action) {
    const int rows = rowCount();
    if (m_row < 1 || m_row > rows)
        return;
    // The cursor is a cell position, not an item: it keeps its row and column while rows
    // move under it (Qt's view would carry it along with the row that moves down).
    const QModelIndex cursor = currentIndex();
    if (action == kInsertRowAction) {
        insertRow(m_row - 1);
        removeRow(rows); // the former last row, now one lower
    } else if (action == kDeleteRowAction) {
        removeRow(m_row - 1);
        insertRow(rows - 1);
    }
    if (cursor.isValid())
        setCurrentCell(cursor.row(), cursor.column());
}

void CSpreadSheet::UserEdited(int row0, int col0) {
    emit CellChanged(col0 + 1, row0 + 1);
}

bool CSpreadSheet::IsLeaveKey(const QKeyEvent* event) {
    return (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) &&
           (event->modifiers() & Qt::ControlModifier) && !(event->modifiers() & Qt::AltModifier);
}

void CSpreadSheet::LeaveGrid(const QKeyEvent* event) {
    const bool backwards = event->key() == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier);
    // What the open editor holds stays in its cell; the focus is the grid's again before it moves on.
    CommitEdit();
    if (!hasFocus())
        setFocus(Qt::OtherFocusReason);
    QWidget::focusNextPrevChild(!backwards);
}

void CSpreadSheet::keyPressEvent(QKeyEvent* event) {
    if (IsLeaveKey(event)) {
        LeaveGrid(event);
        event->accept();
        return;
    }
    // Only while the grid itself has the focus: keys typed into an open cell editor that
    // the editor does not use must not add or remove rows.
    const bool gridFocused = hasFocus() && state() != QAbstractItemView::EditingState;
    if (gridFocused && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (GetActiveCol() == GetColCount() && GetActiveRow() == GetRowCount() && GetRowCount() > 0)
                SetRowCount(GetRowCount() + 1);
            event->accept();
            return;
        case Qt::Key_Insert: {
            const int32_t cursorRow = GetActiveRow();
            SetRowCount(GetRowCount() + 1);
            SetRow(cursorRow);
            RunAction(kInsertRowAction);
            // A grid without rows has no cursor cell yet: the new row gets it.
            if (!currentIndex().isValid())
                setCurrentCell(rowCount() - 1, 0);
            event->accept();
            return;
        }
        case Qt::Key_Delete: {
            const int32_t cursorRow = GetActiveRow();
            SetRow(cursorRow);
            RunAction(kDeleteRowAction);
            if (cursorRow >= 1)
                SetRowCount(GetRowCount() - 1);
            event->accept();
            return;
        }
        default:
            break;
        }
    }
    QTableWidget::keyPressEvent(event);
}

} // namespace kestrel
