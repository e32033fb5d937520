#include "editor/SheetDlg.h"

#include "core/AsciiCase.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cmath>

namespace kestrel {

namespace {

constexpr int kLineRole = Qt::UserRole;     // the line's GBK bytes
constexpr int kFileRole = Qt::UserRole + 1; // a module line's file name (GBK)
constexpr int kDragDistance = 3;            // pixels the pointer moves before the drag cursor shows

bool DragModifiers(Qt::KeyboardModifiers modifiers) {
    return (modifiers & Qt::AltModifier) && (modifiers & Qt::ControlModifier);
}

QCursor DragCursor() {
    static const QCursor cursor(QPixmap(QStringLiteral(":/kestrel/drag.png")), 4, 4);
    return cursor;
}

QListWidgetItem* LineItem(const std::string& line) {
    auto* item = new QListWidgetItem(ui::FromGbk(line));
    item->setData(kLineRole, QByteArray(line.data(), static_cast<qsizetype>(line.size())));
    return item;
}

QListWidgetItem* LineItem(const ModuleListLine& line) {
    QListWidgetItem* item = LineItem(line.text);
    item->setData(kFileRole, QByteArray(line.fileName.data(), static_cast<qsizetype>(line.fileName.size())));
    return item;
}

std::string BytesOf(const QListWidgetItem* item, int role) {
    const QByteArray bytes = item->data(role).toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string LineOf(const QListWidgetItem* item) {
    return BytesOf(item, kLineRole);
}

// Lines are laid out in character cells: a character stored in one GBK byte takes one cell,
// a double-byte one two, so that the byte-padded columns of the module lines line up on screen
// as they do in the file. A cell is half a Chinese character, which keeps its natural advance
// (drawn in cells of the Latin advance, Chinese text reads letter-spaced); the Latin letters
// are drawn a little condensed to fit one cell.
class CellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static int Cells(QChar ch) { return ch.unicode() < 0x80 || ch.unicode() == 0x20AC ? 1 : 2; }

    struct Grid {
        double cell;
        QFont single; // the font of the one-cell characters
    };
    static Grid GridOf(const QFont& font) {
        const QFontMetricsF metrics(font);
        Grid grid{metrics.horizontalAdvance(QChar(0x4E2D)) / 2, font};
        const double latin = metrics.horizontalAdvance(QLatin1Char('0'));
        if (grid.cell <= 0 || latin <= 0) {
            grid.cell = latin;
            return grid;
        }
        grid.single.setStretch(std::clamp(static_cast<int>(std::lround(100 * grid.cell / latin)), 50, 100));
        grid.cell = std::max(grid.cell, QFontMetricsF(grid.single).horizontalAdvance(QLatin1Char('0')));
        return grid;
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem frame = option;
        initStyleOption(&frame, index);
        const QString text = frame.text;
        frame.text.clear();
        QStyle* style = frame.widget ? frame.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &frame, painter, frame.widget);

        const QFontMetricsF metrics(option.font);
        const Grid grid = GridOf(option.font);
        const QRectF area = style->subElementRect(QStyle::SE_ItemViewItemText, &frame, frame.widget);
        const double baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
        painter->save();
        painter->setPen(
            option.palette.color(option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled,
                                 option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        painter->setClipRect(option.rect);
        const double left = area.left() + 2;
        qsizetype cells = 0;
        qsizetype i = 0;
        while (i < text.size()) {
            const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            const QString glyph = text.mid(i, length);
            const int width = Cells(text[i]);
            painter->setFont(width == 1 ? grid.single : option.font);
            const double advance = QFontMetricsF(painter->font()).horizontalAdvance(glyph);
            // Each character centred in its own cells: rounding never adds up along a line.
            painter->drawText(
                QPointF(left + grid.cell * static_cast<double>(cells) + (width * grid.cell - advance) / 2, baseline),
                glyph);
            cells += width;
            i += length;
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        int cells = 0;
        const QString text = index.data(Qt::DisplayRole).toString();
        for (QChar ch : text)
            cells += ch.isLowSurrogate() ? 0 : Cells(ch);
        size.setWidth(static_cast<int>(std::ceil(cells * GridOf(option.font).cell)) + 8);
        return size;
    }
};

} // namespace

ListBox::ListBox(bool moduleList, QWidget* parent) : QListWidget(parent), m_moduleList(moduleList) {
    setFont(ui::FixedFont());
    setItemDelegate(new CellDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void ListBox::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit KeyCommand(Qt::Key_F3);
        return;
    case Qt::Key_Insert:
        emit KeyCommand(Qt::Key_F2);
        return;
    case Qt::Key_Delete:
        emit KeyCommand(Qt::Key_F4);
        return;
    case Qt::Key_Escape:
    case Qt::Key_F2:
    case Qt::Key_F3:
    case Qt::Key_F4:
    case Qt::Key_F5:
    case Qt::Key_F6:
        emit KeyCommand(event->key());
        return;
    default:
        QListWidget::keyPressEvent(event);
    }
}

void ListBox::focusInEvent(QFocusEvent* event) {
    emit FocusEntered();
    QListWidget::focusInEvent(event);
}

void ListBox::mousePressEvent(QMouseEvent* event) {
    const bool dragKeys = DragModifiers(event->modifiers());
    if (m_moduleList && dragKeys && event->button() == Qt::RightButton) {
        // Rename only from the line that is already selected; the click selects nothing.
        QListWidgetItem* item = itemAt(event->position().toPoint());
        if (item && item->isSelected())
            emit RenameClicked();
        event->accept();
        return;
    }
    if (m_moduleList && dragKeys) {
        // Ctrl would toggle the line's selection; a drag press selects it like a plain click.
        QMouseEvent plain(event->type(), event->position(), event->scenePosition(), event->globalPosition(),
                          event->button(), event->buttons(), Qt::NoModifier, event->pointingDevice());
        QListWidget::mousePressEvent(&plain);
    } else {
        QListWidget::mousePressEvent(event);
    }
    if (m_moduleList && dragKeys && event->button() == Qt::LeftButton && itemAt(event->position().toPoint())) {
        m_armed = true;
        m_dragCursorShown = false;
        m_pressPos = event->position().toPoint();
    }
}

void ListBox::mouseMoveEvent(QMouseEvent* event) {
    if (!m_armed) {
        QListWidget::mouseMoveEvent(event);
        return;
    }
    // While a drag is armed the selection must stay on the dragged line.
    const QPoint delta = event->position().toPoint() - m_pressPos;
    if (!m_dragCursorShown && (std::abs(delta.x()) > kDragDistance || std::abs(delta.y()) > kDragDistance)) {
        QApplication::setOverrideCursor(DragCursor());
        m_dragCursorShown = true;
    }
    event->accept();
}

void ListBox::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_armed || event->button() != Qt::LeftButton) {
        QListWidget::mouseReleaseEvent(event);
        return;
    }
    // The list sees the release where the press was: a press on the selected line defers its
    // selection to the release, which must not land on the drop target.
    const QPointF pressAt(m_pressPos);
    QMouseEvent atPress(event->type(), pressAt, viewport()->mapToGlobal(pressAt), event->button(), event->buttons(),
                        Qt::NoModifier, event->pointingDevice());
    QListWidget::mouseReleaseEvent(&atPress);
    const QPoint global = event->globalPosition().toPoint();
    EndDrag();
    emit DragDropped(global);
}

void ListBox::mouseDoubleClickEvent(QMouseEvent* event) {
    QListWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton && itemAt(event->position().toPoint()))
        emit KeyCommand(Qt::Key_F3);
}

void ListBox::EndDrag() {
    if (m_dragCursorShown)
        QApplication::restoreOverrideCursor();
    m_dragCursorShown = false;
    m_armed = false;
}

ListPanel::ListPanel(QWidget* parent) : QWidget(parent) {
    setFont(ui::DialogFont());
    m_groupCaption = new QLabel(QStringLiteral("模块组"), this);
    m_groupCaption->setAlignment(Qt::AlignCenter);
    m_groupCaption->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_groups = new ListBox(false, this);
    m_moduleCaption = new QLabel(QStringLiteral("模块"), this);
    m_moduleCaption->setAlignment(Qt::AlignCenter);
    m_moduleCaption->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_modules = new ListBox(true, this);
    m_groups->setObjectName(QStringLiteral("groupList"));
    m_modules->setObjectName(QStringLiteral("moduleList"));
    setTabOrder(m_groups, m_modules);

    const ui::DialogUnits du;
    setMinimumSize(du.Size(400, 244));

    connect(m_groups, &ListBox::KeyCommand, this, [this](int key) {
        m_groupActive = true;
        emit Command(key, true);
    });
    connect(m_modules, &ListBox::KeyCommand, this, [this](int key) {
        m_groupActive = false;
        emit Command(key, false);
    });
    connect(m_groups, &ListBox::FocusEntered, this, [this] { m_groupActive = true; });
    connect(m_modules, &ListBox::FocusEntered, this, [this] { m_groupActive = false; });
    connect(m_groups, &QListWidget::itemSelectionChanged, this,
            [this] { emit GroupSelectionChanged(SelectedGroup()); });
    connect(m_modules, &ListBox::DragDropped, this, &ListPanel::OnDrop);
    connect(m_modules, &ListBox::RenameClicked, this, &ListPanel::RenameModule);
}

void ListPanel::resizeEvent(QResizeEvent* event) {
    // The layout's dialog units, with the lists taking whatever room the maximised window has.
    const ui::DialogUnits du;
    const int top = du.Y(14);
    const int groupWidth = du.X(149);
    const int moduleX = du.X(151);
    const int moduleWidth = std::max(du.X(248), width() - moduleX - du.X(1));
    const int listHeight = std::max(du.Y(230), height() - top);
    m_groupCaption->setGeometry(du.X(1), 0, groupWidth, du.Y(13));
    m_groups->setGeometry(du.X(1), top, groupWidth, listHeight);
    m_moduleCaption->setGeometry(moduleX, 0, moduleWidth, du.Y(13));
    m_modules->setGeometry(moduleX, top, moduleWidth, listHeight);
    QWidget::resizeEvent(event);
}

void ListPanel::FocusGroupList() {
    m_groups->setFocus(Qt::OtherFocusReason);
    m_groupActive = true;
}

void ListPanel::SetGroupLines(const std::vector<std::string>& lines) {
    const QSignalBlocker blocker(m_groups);
    m_groups->clear();
    for (const std::string& line : lines)
        m_groups->addItem(LineItem(line));
}

void ListPanel::AppendGroupLine(const std::string& line) {
    const QSignalBlocker blocker(m_groups);
    m_groups->addItem(LineItem(line));
}

void ListPanel::ReplaceGroupLine(int row, const std::string& line) {
    if (row < 0 || row >= m_groups->count())
        return;
    const QSignalBlocker blocker(m_groups);
    delete m_groups->takeItem(row);
    m_groups->insertItem(row, LineItem(line));
}

void ListPanel::RemoveGroupLine(int row) {
    if (row < 0 || row >= m_groups->count())
        return;
    const QSignalBlocker blocker(m_groups);
    delete m_groups->takeItem(row);
    m_groups->clearSelection();
}

void ListPanel::SelectGroup(int row) {
    const QSignalBlocker blocker(m_groups);
    if (row < 0 || row >= m_groups->count()) {
        m_groups->clearSelection();
        return;
    }
    m_groups->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

int ListPanel::SelectedGroup() const {
    const QList<QListWidgetItem*> selected = m_groups->selectedItems();
    return selected.isEmpty() ? -1 : m_groups->row(selected.first());
}

std::string ListPanel::SortKey(const std::string& line) {
    return GbkLowerLatin(line);
}

void ListPanel::SetModuleLines(std::vector<ModuleListLine> lines) {
    std::vector<std::pair<std::string, std::size_t>> keys;
    keys.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        keys.emplace_back(SortKey(lines[i].text), i);
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& left, const auto& right) { return left.first < right.first; });
    const QSignalBlocker blocker(m_modules);
    m_modules->setUpdatesEnabled(false);
    m_modules->clear();
    for (const auto& entry : keys)
        m_modules->addItem(LineItem(lines[entry.second]));
    m_modules->setUpdatesEnabled(true);
}

int ListPanel::AddModuleLine(const ModuleListLine& line) {
    const std::string key = SortKey(line.text);
    int low = 0;
    int high = m_modules->count();
    while (low < high) {
        const int middle = (low + high) / 2;
        if (SortKey(ModuleLine(middle)) <= key)
            low = middle + 1;
        else
            high = middle;
    }
    const QSignalBlocker blocker(m_modules);
    m_modules->insertItem(low, LineItem(line));
    return low;
}

void ListPanel::ReplaceModuleLine(int row, const ModuleListLine& line) {
    if (row < 0 || row >= m_modules->count())
        return;
    const QSignalBlocker blocker(m_modules);
    delete m_modules->takeItem(row);
    m_modules->insertItem(row, LineItem(line));
}

void ListPanel::RemoveModuleLine(int row) {
    if (row < 0 || row >= m_modules->count())
        return;
    const QSignalBlocker blocker(m_modules);
    delete m_modules->takeItem(row);
    m_modules->clearSelection();
}

void ListPanel::ClearModuleLines() {
    const QSignalBlocker blocker(m_modules);
    m_modules->clear();
}

void ListPanel::SelectModule(int row) {
    const QSignalBlocker blocker(m_modules);
    if (row < 0 || row >= m_modules->count()) {
        m_modules->clearSelection();
        return;
    }
    m_modules->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

int ListPanel::SelectedModule() const {
    const QList<QListWidgetItem*> selected = m_modules->selectedItems();
    return selected.isEmpty() ? -1 : m_modules->row(selected.first());
}

std::string ListPanel::ModuleLine(int row) const {
    const QListWidgetItem* item = m_modules->item(row);
    return item ? LineOf(item) : std::string();
}

std::string ListPanel::ModuleFileName(int row) const {
    const QListWidgetItem* item = m_modules->item(row);
    return item ? BytesOf(item, kFileRole) : std::string();
}

int ListPanel::ModuleCount() const {
    return m_modules->count();
}

void ListPanel::OnDrop(QPoint globalPos) {
    const int selectedModule = SelectedModule();
    if (selectedModule < 0)
        return;
    const QPoint inModules = m_modules->viewport()->mapFromGlobal(globalPos);
    if (m_modules->viewport()->rect().contains(inModules)) {
        if (QListWidgetItem* target = m_modules->itemAt(inModules)) {
            const int row = m_modules->row(target);
            if (row != selectedModule)
                emit MoveModuleInList(selectedModule, row);
            return;
        }
    }
    const QPoint inGroups = m_groups->viewport()->mapFromGlobal(globalPos);
    if (m_groups->viewport()->rect().contains(inGroups)) {
        if (QListWidgetItem* target = m_groups->itemAt(inGroups)) {
            const int row = m_groups->row(target);
            if (row != SelectedGroup())
                emit MoveModuleToGroup(row);
        }
    }
}

} // namespace kestrel
