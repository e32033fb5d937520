#include "editor/ModuleEditDlg.h"

#include "accounts/Settings.h"
#include "accounts/windows/UserListDlg.h"
#include "core/Clock.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "core/TextRoutines.h"
#include "editor/FileName.h"
#include "editor/ModuleInfo3.h"
#include "editor/SearchDlg.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
#include "printing/report/PrintCommand.h"
#include "repository/FileOps.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Overwrite.h"
#include "ui/Seam.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedLayout>
#include <QStatusBar>
#include <QTabBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace kestrel {

namespace {

const QString kCatalogueFilter = QStringLiteral("模块组文件(*.MGP)");
const QString kCatalogueSuffix = QStringLiteral("MGP");

std::filesystem::path ToPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QToolButton* ToolButton(const QString& picture, const QString& label, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setIcon(QIcon(QStringLiteral(":/kestrel/toolbar/") + picture + QStringLiteral(".png")));
    button->setIconSize(QSize(63, 50));
    button->setFixedSize(70, 56);
    button->setToolTip(label);
    button->setAccessibleName(label);
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoRaise(false);
    return button;
}

QWidget* ButtonBar(QWidget* parent, QToolButton** buttons, const std::initializer_list<const char*>& pictures,
                   const std::initializer_list<const char*>& labels) {
    auto* bar = new QWidget(parent);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(0);
    auto label = labels.begin();
    int i = 0;
    for (const char* picture : pictures) {
        buttons[i] = ToolButton(QString::fromLatin1(picture), QString::fromUtf8(*label++), bar);
        layout->addWidget(buttons[i++]);
    }
    layout->addStretch(1);
    return bar;
}

} // namespace

ModuleEditDlg::ModuleEditDlg(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_lastFile(kDefaultLastFile) {
    setWindowTitle(QStringLiteral("模块定义工具"));
    setFont(ui::DialogFont());

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_startBar = ButtonBar(this, m_startButtons, {"f2_new", "f3_edit", "f4_user", "esc_exit"},
                           {"F2 新建", "F3 修改", "F4 用户", "Esc 退出"});
    m_catalogueBar =
        ButtonBar(this, m_catalogueButtons, {"f2_add", "f3_edit", "f4_delete", "f5_print", "esc_exit", "f6_search"},
                  {"F2 新增", "F3 修改", "F4 删除", "F5 打印", "Esc 退出", "F6 搜索"});
    layout->addWidget(m_startBar);
    layout->addWidget(m_catalogueBar);
    for (QToolButton** buttons : {m_startButtons, m_catalogueButtons}) {
        connect(buttons[0], &QToolButton::clicked, this, &ModuleEditDlg::NewCommand);
        connect(buttons[1], &QToolButton::clicked, this, &ModuleEditDlg::OpenCommand);
        connect(buttons[2], &QToolButton::clicked, this, &ModuleEditDlg::DeleteCommand);
    }
    connect(m_startButtons[3], &QToolButton::clicked, this, &ModuleEditDlg::ExitCommand);
    connect(m_catalogueButtons[3], &QToolButton::clicked, this, &ModuleEditDlg::PrintCommand);
    connect(m_catalogueButtons[4], &QToolButton::clicked, this, &ModuleEditDlg::ExitCommand);
    connect(m_catalogueButtons[5], &QToolButton::clicked, this, &ModuleEditDlg::SearchCommand);

    auto* work = new QWidget(this);
    m_work = new QStackedLayout(work);
    m_picture = new QLabel(work);
    m_picture->setPixmap(QPixmap(QStringLiteral(":/kestrel/start.png")));
    m_picture->setAlignment(Qt::AlignCenter);
    m_panel = new ListPanel(work);
    m_work->addWidget(m_picture);
    m_work->addWidget(m_panel);
    layout->addWidget(work, 1);

    m_statusBar = new QStatusBar(this);
    m_statusBar->setSizeGripEnabled(false);
    const QString placeholders[4] = {QString(), QStringLiteral("###"), QStringLiteral("06/25/1999"),
                                     QStringLiteral("16:44:13")};
    const int widths[4] = {0, 50, 75, 60};
    for (int i = 0; i < 4; ++i) {
        m_panes[i] = new QLabel(placeholders[i], m_statusBar);
        m_panes[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        if (i == 0) {
            m_statusBar->addWidget(m_panes[i], 1);
        } else {
            m_panes[i]->setFixedWidth(widths[i]);
            m_statusBar->addPermanentWidget(m_panes[i]);
        }
    }
    layout->addWidget(m_statusBar);

    connect(m_panel, &ListPanel::Command, this, &ModuleEditDlg::Dispatch);
    connect(m_panel, &ListPanel::GroupSelectionChanged, this, [this](int) { FillModuleList(); });
    connect(m_panel, &ListPanel::MoveModuleInList, this, &ModuleEditDlg::MoveModuleWithinList);
    connect(m_panel, &ListPanel::MoveModuleToGroup, this, &ModuleEditDlg::MoveModuleIntoGroup);
    connect(m_panel, &ListPanel::RenameModule, this, &ModuleEditDlg::RenameModule);

    ShowCatalogueView(false);
    m_panes[2]->setText(QString::fromLatin1(LocalTimeText("%m/%d/%Y").c_str()));
    m_clock = new QTimer(this);
    m_clock->setObjectName(QStringLiteral("clock"));
    connect(m_clock, &QTimer::timeout, this,
            [this] { m_panes[3]->setText(QString::fromLatin1(LocalTimeText("%H:%M:%S").c_str())); });
    m_clock->start(200);
    setWindowState(Qt::WindowMaximized);
}

ModuleEditDlg::~ModuleEditDlg() = default;

void ModuleEditDlg::SetUserName(const std::string& name) {
    m_userName = name;
    m_panes[1]->setText(ui::FromGbk(name));
}

void ModuleEditDlg::SetLastFile(const std::string& path) {
    m_lastFile = GbkPrefix(path, kLastFileMax);
}

void ModuleEditDlg::ShowFileError(const FileStatus& status) {
    ui::ShowMessage(this, ui::FromGbk(status.Text()));
}

void ModuleEditDlg::ShowCatalogueView(bool on) {
    m_catalogueView = on;
    m_startBar->setVisible(!on);
    m_catalogueBar->setVisible(on);
    m_work->setCurrentWidget(on ? static_cast<QWidget*>(m_panel) : m_picture);
    if (on)
        m_panel->FocusGroupList();
}

// --- commands ------------------------------------------------------------------------------

void ModuleEditDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_F2:
    case Qt::Key_F3:
    case Qt::Key_F4:
    case Qt::Key_F5:
    case Qt::Key_F6:
        Dispatch(event->key(), m_panel->GroupListActive());
        return;
    case Qt::Key_Escape:
        ExitCommand();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return; // outside the lists Enter means nothing
    default:
        QDialog::keyPressEvent(event);
    }
}

void ModuleEditDlg::Dispatch(int key, bool groupList) {
    switch (key) {
    case Qt::Key_Escape:
        ExitCommand();
        break;
    case Qt::Key_F2:
        if (!m_catalogueView)
            NewCatalogue();
        else if (groupList && m_catalogue.groupCount < kMaxGroups)
            NewGroup();
        else
            NewModule();
        break;
    case Qt::Key_F3:
        if (!m_catalogueView)
            OpenCatalogue();
        else if (groupList)
            EditGroup();
        else
            EditModule();
        break;
    case Qt::Key_F4:
        if (!m_catalogueView)
            RunUserCommand(this, m_userName);
        else if (groupList)
            DeleteSelectedGroup();
        else
            DeleteModule();
        break;
    case Qt::Key_F5:
        PrintCommand();
        break;
    case Qt::Key_F6:
        SearchCommand();
        break;
    default:
        break;
    }
}

void ModuleEditDlg::NewCommand() {
    Dispatch(Qt::Key_F2, m_panel->GroupListActive());
}
void ModuleEditDlg::OpenCommand() {
    Dispatch(Qt::Key_F3, m_panel->GroupListActive());
}
void ModuleEditDlg::DeleteCommand() {
    Dispatch(Qt::Key_F4, m_panel->GroupListActive());
}

void ModuleEditDlg::PrintCommand() {
    if (m_catalogueView)
        PrintCatalogueReport(this, m_catalogue);
}

void ModuleEditDlg::ExitCommand() {
    if (m_catalogueView) {
        ShowCatalogueView(false);
        return;
    }
    m_closing = true;
    QDialog::done(QDialog::Accepted);
    m_closing = false;
}

void ModuleEditDlg::reject() {
    ExitCommand();
}

void ModuleEditDlg::closeEvent(QCloseEvent* event) {
    // The frame's close does nothing; only the exit command leaves the window.
    if (!m_closing) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void ModuleEditDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // The frame's minimise and restore are ignored as its close is: a shown window goes back to
    // maximised (after the window system has finished its own change).
    if (event->type() == QEvent::WindowStateChange && isVisible() && windowState() != Qt::WindowMaximized)
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && windowState() != Qt::WindowMaximized)
                setWindowState(Qt::WindowMaximized);
        });
}

// --- catalogue -----------------------------------------------------------------------------

void ModuleEditDlg::NewCatalogue() {
    QString chosen = ui::GetFileName(this, ui::FileDialogKind::Save, QString(), kCatalogueFilter, kCatalogueSuffix);
    if (chosen.isEmpty())
        return;
    if (QFileInfo(chosen).suffix().isEmpty())
        chosen += QStringLiteral(".MGP");
    m_lastFile = GbkPrefix(ui::ToGbkChecked(chosen), kLastFileMax);
    GroupCatalogue fresh;
    fresh.Reset(ToPath(chosen));
    if (FileStatus saved = SaveCatalogue(fresh); !saved) {
        ShowFileError(saved);
        return;
    }
    m_catalogue = std::move(fresh);
    m_catalogueStamp = StampOf(m_catalogue.path);
    m_folder = m_catalogue.Folder();
    m_panel->SetGroupLines({});
    m_panel->ClearModuleLines();
    ShowCatalogueView(true);
}

void ModuleEditDlg::OpenCatalogue() {
    // The default "*.MGP" is a pattern, not a file: start in the folder it names.
    QString initial = ui::FromGbk(m_lastFile);
    if (initial.contains(QLatin1Char('*')) || initial.contains(QLatin1Char('?')))
        initial = QFileInfo(initial).path() == QStringLiteral(".") ? QString() : QFileInfo(initial).path();
    QString chosen = ui::GetFileName(this, ui::FileDialogKind::Open, initial, kCatalogueFilter, kCatalogueSuffix);
    if (chosen.isEmpty())
        return;
    if (QFileInfo(chosen).suffix().isEmpty())
        chosen += QStringLiteral(".MGP");
    m_lastFile = GbkPrefix(ui::ToGbkChecked(chosen), kLastFileMax);
    GroupCatalogue loaded;
    // Taken before the read: a save by another copy in between is asked about, never lost.
    const FileStamp stamp = StampOf(ToPath(chosen));
    const FileStatus status = LoadCatalogue(loaded, ToPath(chosen));
    if (status.IsInvalid()) {
        ui::ShowMessage(this, QStringLiteral("无效文件！"));
        return;
    }
    if (!status) {
        ShowFileError(status);
        return;
    }
    m_catalogue = std::move(loaded);
    m_catalogueStamp = stamp;
    m_folder = m_catalogue.Folder();
    // A move that a crash cut short is put right before the modules are listed.
    std::string repaired;
    if (FileStatus repair = RepairInterruptedMove(m_folder, repaired); !repair)
        ShowFileError(repair);
    else if (!repaired.empty())
        ui::ShowMessage(this, ui::FromGbk(repaired));
    std::vector<std::string> lines;
    for (int i = 0; i < m_catalogue.groupCount; ++i)
        lines.push_back(
            FormatGroupLine(FieldText(m_catalogue.groups[i].identifier), FieldText(m_catalogue.groups[i].name)));
    m_panel->SetGroupLines(lines);
    m_panel->ClearModuleLines();
    ShowCatalogueView(true);
    if (m_catalogue.groupCount > 0) {
        m_panel->SelectGroup(0);
        FillModuleList();
    }
}

std::string ModuleEditDlg::SelectedGroupId() const {
    const int group = m_panel->SelectedGroup();
    if (group < 0 || group >= m_catalogue.groupCount)
        return {};
    return FieldText(m_catalogue.groups[group].identifier);
}

ModuleListLine ModuleEditDlg::ModuleLineOf(const ModuleRecord& record) const {
    return {record.fileName, FormatModuleLine(record.fileName, record.header.flags, FieldText(record.header.title))};
}

void ModuleEditDlg::FillModuleList() {
    if (m_panel->SelectedGroup() < 0)
        return;
    std::vector<ModuleListEntry> entries;
    const FileStatus status = m_index.ListGroup(m_folder, SelectedGroupId(), entries);
    std::vector<ModuleListLine> lines;
    lines.reserve(entries.size());
    for (const ModuleListEntry& entry : entries)
        lines.push_back(
            {entry.fileName, FormatModuleLine(entry.fileName, entry.header.flags, FieldText(entry.header.title))});
    m_panel->SetModuleLines(std::move(lines));
    if (!status)
        ShowFileError(status);
}

// --- groups --------------------------------------------------------------------------------

void ModuleEditDlg::NewGroup() {
    TopicDlg dialog;
    dialog.SetMode(TopicDlg::kNewGroup);
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    if (!MayOverwriteCatalogue())
        return;
    const GroupStepResult result = AddGroup(m_catalogue, dialog.Identifier(), dialog.Name(), dialog.Flow());
    if (result.step == GroupStep::Done)
        m_catalogueStamp = StampOf(m_catalogue.path);
    if (result.step == GroupStep::DuplicateId) {
        ui::ShowMessage(this, QStringLiteral("ID重复！"));
        return;
    }
    if (result.step == GroupStep::NotSaved) {
        ShowFileError(result.status);
        return;
    }
    if (!result)
        return;
    m_panel->AppendGroupLine(FormatGroupLine(dialog.Identifier(), dialog.Name()));
}

void ModuleEditDlg::EditGroup() {
    const int row = m_panel->SelectedGroup();
    if (row < 0 || row >= m_catalogue.groupCount)
        return;
    const GroupRecord& group = m_catalogue.groups[row];
    const std::string identifier = FieldText(group.identifier);
    TopicDlg dialog;
    dialog.SetMode(TopicDlg::kEditGroup);
    dialog.SetValues(identifier, FieldText(group.name), GetFlowText(m_catalogue.flowTable, identifier));
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    if (!MayOverwriteCatalogue())
        return;
    const GroupStepResult result = ChangeGroup(m_catalogue, row, dialog.Name(), dialog.Flow());
    if (result.step == GroupStep::Done)
        m_catalogueStamp = StampOf(m_catalogue.path);
    if (result.step == GroupStep::NotSaved) {
        ShowFileError(result.status);
        return;
    }
    if (!result)
        return;
    m_panel->ReplaceGroupLine(row, FormatGroupLine(identifier, dialog.Name()));
    m_panel->SelectGroup(row);
}

void ModuleEditDlg::DeleteSelectedGroup() {
    const int row = m_panel->SelectedGroup();
    if (row < 0 || row >= m_catalogue.groupCount)
        return;
    if (m_panel->ModuleCount() > 0) {
        ui::ShowMessage(this, QStringLiteral("模块组中有模块，不能删除！"));
        return;
    }
    if (!MayOverwriteCatalogue())
        return;
    const GroupStepResult result = DeleteGroup(m_catalogue, row);
    if (result.step == GroupStep::Done)
        m_catalogueStamp = StampOf(m_catalogue.path);
    if (result.step == GroupStep::NotSaved) {
        ShowFileError(result.status);
        return;
    }
    if (!result)
        return;
    m_panel->RemoveGroupLine(row);
    m_panel->ClearModuleLines();
}

// --- modules -------------------------------------------------------------------------------

bool ModuleEditDlg::MayOverwriteCatalogue() {
    return ui::MayOverwrite(this, m_catalogue.path, m_catalogueStamp,
                            QString::fromStdString(m_catalogue.path.filename().string()));
}

FileStatus ModuleEditDlg::SaveEditedModule() {
    const std::filesystem::path path = ModuleFilePath(m_folder, m_module.fileName);
    // No: the file stays as the other copy wrote it, the edits stay in the sheet.
    if (!ui::MayOverwrite(this, path, m_moduleStamp, ui::FromGbk(m_module.fileName)))
        return FileStatus::Invalid("not overwritten");
    const FileStatus saved = SaveModuleFile(m_module, m_userName, m_folder);
    if (saved)
        m_moduleStamp = StampOf(path);
    else
        ShowFileError(saved);
    return saved;
}

FileStatus ModuleEditDlg::SaveCurrentModule() {
    return SaveEditedModule();
}

void ModuleEditDlg::NewModule() {
    const std::string groupId = SelectedGroupId();
    if (groupId.empty())
        return;
    m_module = ModuleRecord{};
    SetFieldText(m_module.header.keyword, kModuleKeyword);
    SetFieldText(m_module.header.groupId, groupId);
    {
        ModuleSheet sheet(kNewModuleMode, m_module, this, this);
        if (ui::ExecDialog(&sheet) != QDialog::Accepted)
            return;
    }
    FileName nameDialog(m_folder);
    if (ui::ExecDialog(&nameDialog) != QDialog::Accepted)
        return;
    if (FileStatus created = CreateModuleFile(m_module, m_folder, nameDialog.Name(), groupId, m_userName); !created) {
        ShowFileError(created);
        return;
    }
    m_panel->SelectModule(m_panel->AddModuleLine(ModuleLineOf(m_module)));
}

void ModuleEditDlg::SearchCommand() {
    if (!m_catalogueView)
        return;
    SearchDlg dialog(m_catalogue, this);
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    const SearchHit hit = dialog.ChosenHit();
    ModuleRecord header;
    if (!LoadModuleFile(header, m_folder, hit.fileName))
        return;
    // The hit's module is opened from its own group's list, as the user would open it.
    const int group = m_catalogue.FindGroup(FieldText(header.header.groupId));
    if (group < 0)
        return;
    if (m_panel->SelectedGroup() != group) {
        m_panel->SelectGroup(group);
        FillModuleList();
    }
    for (int row = 0; row < m_panel->ModuleCount(); ++row) {
        if (m_panel->ModuleFileName(row) == hit.fileName) {
            m_panel->SelectModule(row);
            EditModuleAt(row, hit.field == SearchField::Sql ? hit.line : 0);
            return;
        }
    }
}

void ModuleEditDlg::EditModule() {
    EditModuleAt(m_panel->SelectedModule(), 0);
}

void ModuleEditDlg::EditModuleAt(int row, int sqlLine) {
    if (row < 0)
        return;
    const std::string fileName = m_panel->ModuleFileName(row);
    m_moduleStamp = StampOf(ModuleFilePath(m_folder, fileName));
    const FileStatus loaded = LoadModuleFile(m_module, m_folder, fileName);
    if (loaded.IsInvalid())
        return;
    if (!loaded) {
        ShowFileError(loaded);
        return;
    }
    {
        ModuleSheet sheet(kEditMode, m_module, this, this);
        if (sqlLine > 0 && !sheet.Tabs()->isTabVisible(ModuleSheet::kSqlTab))
            sqlLine = 0;
        if (sqlLine > 0) {
            sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
            QPlainTextEdit* sql = sheet.Info3()->Editor();
            sql->setTextCursor(QTextCursor(sql->document()->findBlockByNumber(sqlLine - 1)));
            sql->setFocus();
            // Scrolled to once the sheet is on screen and laid out.
            QTimer::singleShot(0, sql, [sql] { sql->centerCursor(); });
        }
        if (ui::ExecDialog(&sheet) != QDialog::Accepted)
            return;
    }
    if (!SaveEditedModule())
        return;
    m_panel->ReplaceModuleLine(row, ModuleLineOf(m_module));
    m_panel->SelectModule(row);
}

void ModuleEditDlg::DeleteModule() {
    const int row = m_panel->SelectedModule();
    if (row < 0)
        return;
    const std::string fileName = m_panel->ModuleFileName(row);
    if (!ui::AskYesNo(this, QStringLiteral("确认删除文件：%1 ？").arg(ui::FromGbk(fileName)), QStringLiteral("询问"),
                      ui::Icon::Question))
        return;
    const FileStatus deleted = DeleteModuleFile(m_folder, fileName);
    // The line goes even when the file stays; the next fill shows it again.
    m_panel->RemoveModuleLine(row);
    if (!deleted)
        ShowFileError(deleted);
}

void ModuleEditDlg::RenameModule() {
    const int row = m_panel->SelectedModule();
    if (row < 0)
        return;
    const std::string oldName = m_panel->ModuleFileName(row);
    FileName nameDialog(m_folder);
    if (ui::ExecDialog(&nameDialog) != QDialog::Accepted)
        return;
    const std::string newName = nameDialog.Name();
    if (FileStatus renamed = RenameModuleFile(m_folder, oldName, newName); !renamed) {
        ShowFileError(renamed);
        return;
    }
    const FileStatus loaded = LoadModuleFile(m_module, m_folder, newName);
    if (loaded.IsInvalid()) {
        m_panel->RemoveModuleLine(row); // no longer a module file: the next fill skips it too
        return;
    }
    if (!loaded) {
        ShowFileError(loaded);
        return;
    }
    m_panel->ReplaceModuleLine(row, ModuleLineOf(m_module));
    m_panel->SelectModule(row);
}

void ModuleEditDlg::MoveModuleWithinList(int from, int to) {
    const int count = m_panel->ModuleCount();
    if (from == to || from < 0 || to < 0 || from >= count || to >= count)
        return;
    std::vector<std::string> names;
    names.reserve(count);
    for (int i = 0; i < count; ++i)
        names.push_back(m_panel->ModuleFileName(i));

    // Files of modules in use are known by name: ask once before renaming any of them.
    bool proceed = true;
    for (int i = std::min(from, to); i <= std::max(from, to); ++i) {
        const FileStatus loaded = LoadModuleFile(m_module, m_folder, names[i]);
        if (loaded.IsIo()) {
            ShowFileError(loaded);
            proceed = false;
            break;
        }
        if (loaded && (m_module.header.flags & kFlagTested)) {
            proceed = ui::AskYesNo(this, QStringLiteral("移动将改变可能已投入使用模块的文件名！\n是否继续？"),
                                   QStringLiteral("警告"), ui::Icon::Question, true);
            break;
        }
    }
    if (proceed) {
        std::string repaired;
        const FileStatus moved = MoveModuleInList(m_folder, names, from, to, &repaired);
        if (!repaired.empty())
            ui::ShowMessage(this, ui::FromGbk(repaired));
        if (!moved)
            ShowFileError(moved);
    }
    FillModuleList();
}

void ModuleEditDlg::MoveModuleIntoGroup(int group) {
    const int row = m_panel->SelectedModule();
    if (row < 0 || group < 0 || group >= m_catalogue.groupCount)
        return;
    const GroupRecord& target = m_catalogue.groups[group];
    if (!ui::AskYesNo(this, QStringLiteral("移动到新的模块组[%1]？").arg(ui::FromGbk(FieldText(target.name))),
                      QStringLiteral("询问"), ui::Icon::None))
        return;
    const std::string fileName = m_panel->ModuleFileName(row);
    const FileStatus moved = MoveModuleToGroup(m_module, m_folder, fileName, FieldText(target.identifier), m_userName);
    if (moved.IsInvalid())
        return;
    if (!moved) {
        ShowFileError(moved);
        return;
    }
    m_panel->RemoveModuleLine(row);
}

std::string RunModuleEditor(const std::string& userName, const std::string& lastFile) {
    ModuleEditDlg editor;
    editor.SetLastFile(lastFile);
    editor.SetUserName(userName);
    ui::ExecDialog(&editor);
    return editor.LastFile();
}

} // namespace kestrel
