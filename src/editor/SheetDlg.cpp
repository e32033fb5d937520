#include "editor/SheetDlg.h"

#include "repository/ModuleOrder.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"

#include <QLabel>
#include <QSignalBlocker>

#include <algorithm>

namespace kestrel {

namespace {

constexpr int kLineRole = Qt::UserRole;     // the line's GBK bytes
constexpr int kFileRole = Qt::UserRole + 1; // a module line's file name (GBK)

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

// What the group list and the module list do alike with a row; none of it emits a signal.
template <typename Line> void ReplaceRow(QListWidget* list, int row, const Line& line) {
    if (row < 0 || row >= list->count())
        return;
    const QSignalBlocker blocker(list);
    delete list->takeItem(row);
    list->insertItem(row, LineItem(line));
}

void RemoveRow(QListWidget* list, int row) {
    if (row < 0 || row >= list->count())
        return;
    const QSignalBlocker blocker(list);
    delete list->takeItem(row);
    list->clearSelection();
}

void SelectRow(QListWidget* list, int row) {
    const QSignalBlocker blocker(list);
    if (row < 0 || row >= list->count()) {
        list->clearSelection();
        return;
    }
    list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

int SelectedRow(const QListWidget* list) {
    const QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.first());
}

} // namespace

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
    // Named as their captions, which are no labels a screen reader ties to them.
    m_groups->setAccessibleName(m_groupCaption->text());
    m_modules->setAccessibleName(m_moduleCaption->text());
    setTabOrder(m_groups, m_modules);

    const ui::DialogUnits du;
    setMinimumSize(du.Size(400, 244));

    connect(m_groups, &ListBox::WorkedIn, this, [this] { m_groupActive = true; });
    connect(m_modules, &ListBox::WorkedIn, this, [this] { m_groupActive = false; });
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

void ListPanel::SetCommands(QAction* newCommand, QAction* openCommand, QAction* deleteCommand) {
    for (ListBox* list : {m_groups, m_modules})
        list->SetKeyCommands(openCommand, newCommand, deleteCommand);
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
    ReplaceRow(m_groups, row, line);
}

void ListPanel::RemoveGroupLine(int row) {
    RemoveRow(m_groups, row);
}

void ListPanel::SelectGroup(int row) {
    SelectRow(m_groups, row);
}

int ListPanel::SelectedGroup() const {
    return SelectedRow(m_groups);
}

void ListPanel::SetModuleLines(std::vector<ModuleListLine> lines) {
    SortInListOrder(lines, [](const ModuleListLine& line) -> const std::string& { return line.text; });
    const QSignalBlocker blocker(m_modules);
    m_modules->setUpdatesEnabled(false);
    m_modules->clear();
    for (const ModuleListLine& line : lines)
        m_modules->addItem(LineItem(line));
    m_modules->setUpdatesEnabled(true);
}

int ListPanel::AddModuleLine(const ModuleListLine& line) {
    const std::string key = ModuleOrderKey(line.text);
    int low = 0;
    int high = m_modules->count();
    while (low < high) {
        const int middle = (low + high) / 2;
        if (ModuleOrderKey(ModuleLine(middle)) <= key)
            low = middle + 1;
        else
            high = middle;
    }
    const QSignalBlocker blocker(m_modules);
    m_modules->insertItem(low, LineItem(line));
    return low;
}

void ListPanel::ReplaceModuleLine(int row, const ModuleListLine& line) {
    ReplaceRow(m_modules, row, line);
}

void ListPanel::RemoveModuleLine(int row) {
    RemoveRow(m_modules, row);
}

void ListPanel::ClearModuleLines() {
    const QSignalBlocker blocker(m_modules);
    m_modules->clear();
}

void ListPanel::SelectModule(int row) {
    SelectRow(m_modules, row);
}

int ListPanel::SelectedModule() const {
    return SelectedRow(m_modules);
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
