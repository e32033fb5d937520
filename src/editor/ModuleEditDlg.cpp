#include "editor/ModuleEditDlg.h"

#include "accounts/Settings.h"
#include "accounts/windows/UserListDlg.h"
#include "core/Clock.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "core/TextRoutines.h"
#include "editor/CheckDlg.h"
#include "editor/FileName.h"
#include "editor/ModuleInfo3.h"
#include "editor/SearchDlg.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
#include "printing/report/PrintCommand.h"
#include "repository/FileOps.h"
#include "repository/FolderCommit.h"
#include "repository/ModuleOrder.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Overwrite.h"
#include "ui/Seam.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
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

#include <iterator>
#include <vector>

namespace kestrel {

namespace {

const QString kCatalogueFilter = QStringLiteral("模块组文件(*.MGP)");
const QString kCatalogueSuffix = QStringLiteral("MGP");

std::filesystem::path ToPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// A command of one view: its tool button shows the action, whose shortcut is the command's key.
QAction* CommandAction(const char* picture, const char* label, QKeySequence key, QWidget* window) {
    const QString text = QString::fromUtf8(label);
    auto* action =
        new QAction(QIcon(QStringLiteral(":/kestrel/toolbar/") + QString::fromLatin1(picture) + QStringLiteral(".png")),
                    text, window);
    action->setToolTip(text);
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
    window->addAction(action);
    return action;
}

// A tool bar of 70 x 56 buttons, one for each action.
QWidget* ButtonBar(QWidget* parent, QToolButton** buttons, QAction* const* actions, int count) {
    auto* bar = new QWidget(parent);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(0);
    for (int i = 0; i < count; ++i) {
        auto* button = new QToolButton(bar);
        button->setDefaultAction(actions[i]);
        button->setIconSize(QSize(63, 50));
        button->setFixedSize(70, 56);
        button->setAccessibleName(actions[i]->text());
        // The commands act on the list last worked in: a click must not take the focus from it.
        // Tab still reaches the buttons, so the keyboard alone finds every command.
        button->setFocusPolicy(Qt::TabFocus);
        button->setAutoRaise(false);
        layout->addWidget(button);
        buttons[i] = button;
    }
    layout->addStretch(1);
    return bar;
}

const QString kClockPaneName = QStringLiteral("clockPane");

// The clock pane keeps its name, "时间", and gives the time as its value and description when
// asked: a screen reader is not told of every tick.
class ClockPaneAccessible : public QAccessibleWidget {
public:
    explicit ClockPaneAccessible(QWidget* pane) : QAccessibleWidget(pane, QAccessible::StaticText) {}
    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value || kind == QAccessible::Description)
            return static_cast<const QLabel*>(widget())->text();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* ClockPaneFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("QLabel") && object && object->objectName() == kClockPaneName)
        return new ClockPaneAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

ModuleEditDlg::ModuleEditDlg(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_lastFile(kDefaultLastFile) {
    setWindowTitle(QStringLiteral("模块定义工具"));
    setFont(ui::DialogFont());
    static const bool clockFactoryInstalled = [] {
        QAccessible::installFactory(ClockPaneFactory);
        return true;
    }();
    Q_UNUSED(clockFactoryInstalled);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Each view has its own commands, enabled while it is shown: the same key is then never
    // claimed twice. What a command does still depends on the view and the list worked in.
    m_startActions[0] = CommandAction("f2_new", "F2 新建", Qt::Key_F2, this);
    m_startActions[1] = CommandAction("f3_edit", "F3 修改", Qt::Key_F3, this);
    m_startActions[2] = CommandAction("f4_user", "F4 用户", Qt::Key_F4, this);
    m_startActions[3] = CommandAction("esc_exit", "Esc 退出", Qt::Key_Escape, this);
    m_catalogueActions[0] = CommandAction("f2_add", "F2 新增", Qt::Key_F2, this);
    m_catalogueActions[1] = CommandAction("f3_edit", "F3 修改", Qt::Key_F3, this);
    m_catalogueActions[2] = CommandAction("f4_delete", "F4 删除", Qt::Key_F4, this);
    m_catalogueActions[3] = CommandAction("f5_print", "F5 打印", Qt::Key_F5, this);
    m_catalogueActions[4] = CommandAction("esc_exit", "Esc 退出", Qt::Key_Escape, this);
    m_catalogueActions[5] = CommandAction("f6_search", "F6 搜索", Qt::Key_F6, this);
    m_catalogueActions[6] = CommandAction("f7_check", "F7 检查", Qt::Key_F7, this);
    m_checkCatalogueAction = CommandAction("f7_check", "Shift+F7 检查全部", QKeySequence(Qt::SHIFT | Qt::Key_F7), this);
    for (QAction* const* actions : {m_startActions, m_catalogueActions}) {
        connect(actions[0], &QAction::triggered, this, &ModuleEditDlg::NewCommand);
        connect(actions[1], &QAction::triggered, this, &ModuleEditDlg::OpenCommand);
        connect(actions[2], &QAction::triggered, this, &ModuleEditDlg::DeleteCommand);
    }
    connect(m_startActions[3], &QAction::triggered, this, &ModuleEditDlg::ExitCommand);
    connect(m_catalogueActions[3], &QAction::triggered, this, &ModuleEditDlg::PrintCommand);
    connect(m_catalogueActions[4], &QAction::triggered, this, &ModuleEditDlg::ExitCommand);
    connect(m_catalogueActions[5], &QAction::triggered, this, &ModuleEditDlg::SearchCommand);
    connect(m_catalogueActions[6], &QAction::triggered, this, [this] { CheckCommand(false); });
    connect(m_checkCatalogueAction, &QAction::triggered, this, [this] { CheckCommand(true); });
    m_startBar = ButtonBar(this, m_startButtons, m_startActions, 4);
    m_catalogueBar = ButtonBar(this, m_catalogueButtons, m_catalogueActions, 7);
    layout->addWidget(m_startBar);
    layout->addWidget(m_catalogueBar);

    auto* work = new QWidget(this);
    m_work = new QStackedLayout(work);
    m_picture = new QLabel(work);
    m_picture->setPixmap(QPixmap(QStringLiteral(":/kestrel/start.png")));
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setAccessibleName(windowTitle());
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
        m_panes[i] = new QLabel(m_statusBar);
        if (i == 3) {
            // Before its first text, which already makes the label known to accessibility.
            m_panes[i]->setObjectName(kClockPaneName);
            m_panes[i]->setAccessibleName(QStringLiteral("时间")); // also keeps it from announcing each tick
        }
        m_panes[i]->setText(placeholders[i]);
        m_panes[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        if (i == 0) {
            m_statusBar->addWidget(m_panes[i], 1);
        } else {
            m_panes[i]->setFixedWidth(widths[i]);
            m_statusBar->addPermanentWidget(m_panes[i]);
        }
    }
    layout->addWidget(m_statusBar);

    // Tab goes as the eye reads: the tool bar, then the group list and the module list.
    std::vector<QWidget*> tabChain(std::begin(m_startButtons), std::end(m_startButtons));
    tabChain.insert(tabChain.end(), std::begin(m_catalogueButtons), std::end(m_catalogueButtons));
    tabChain.push_back(m_panel->GroupList());
    tabChain.push_back(m_panel->ModuleList());
    for (std::size_t i = 1; i < tabChain.size(); ++i)
        setTabOrder(tabChain[i - 1], tabChain[i]);

    m_panel->SetCommands(m_catalogueActions[0], m_catalogueActions[1], m_catalogueActions[2]);
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
    ui::ShowMessage(this, ui::FromGbk(status.error().Text()));
}

void ModuleEditDlg::ShowCatalogueView(bool on) {
    m_catalogueView = on;
    m_startBar->setVisible(!on);
    m_catalogueBar->setVisible(on);
    for (QAction* action : m_startActions)
        action->setEnabled(!on);
    for (QAction* action : m_catalogueActions)
        action->setEnabled(on);
    m_checkCatalogueAction->setEnabled(on);
    m_work->setCurrentWidget(on ? static_cast<QWidget*>(m_panel) : m_picture);
    // Work starts on a named control: the group list, or the start view's first command.
    if (on)
        m_panel->FocusGroupList();
    else
        m_startButtons[0]->setFocus(Qt::OtherFocusReason);
}

// --- commands ------------------------------------------------------------------------------

void ModuleEditDlg::keyPressEvent(QKeyEvent* event) {
    // A key that no shortcut took (held with a modifier, or sent to the window while it is
    // not the active one) still runs the command of its key.
    if (QAction* command = CommandOfKey(this, event->key(), event->modifiers())) {
        command->trigger();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        return; // outside the lists Enter means nothing
    QDialog::keyPressEvent(event);
}

void ModuleEditDlg::NewCommand() {
    if (!m_catalogueView)
        NewCatalogue();
    else if (m_panel->GroupListActive() && m_catalogue.groupCount < kMaxGroups)
        NewGroup();
    else
        NewModule();
}

void ModuleEditDlg::OpenCommand() {
    if (!m_catalogueView)
        OpenCatalogue();
    else if (m_panel->GroupListActive())
        EditGroup();
    else
        EditModule();
}

void ModuleEditDlg::DeleteCommand() {
    if (!m_catalogueView)
        RunUserCommand(this, m_userName);
    else if (m_panel->GroupListActive())
        DeleteSelectedGroup();
    else
        DeleteModule();
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
    // An import that a crash cut short is undone before the catalogue is read, so that the
    // catalogue and its modules are one set.
    std::string undone;
    if (FileStatus repair = RepairInterruptedCommit(ToPath(chosen).parent_path(), undone); !repair)
        ShowFileError(repair);
    else if (!undone.empty())
        ui::ShowMessage(this, ui::FromGbk(undone));
    GroupCatalogue loaded;
    // Taken before the read: a save by another copy in between is asked about, never lost.
    const FileStamp stamp = StampOf(ToPath(chosen));
    const FileStatus status = LoadCatalogue(loaded, ToPath(chosen));
    if (IsInvalidFailure(status)) {
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
    return {record.fileName, ModuleListText(record.fileName, record.header)};
}

void ModuleEditDlg::FillModuleList() {
    if (m_panel->SelectedGroup() < 0)
        return;
    std::vector<ModuleListEntry> entries;
    const FileStatus status = m_index.ListGroup(m_folder, SelectedGroupId(), entries);
    std::vector<ModuleListLine> lines;
    lines.reserve(entries.size());
    for (const ModuleListEntry& entry : entries)
        lines.push_back({entry.fileName, ModuleListText(entry.fileName, entry.header)});
    m_panel->SetModuleLines(std::move(lines));
    if (!status)
        ShowFileError(status);
}

// --- groups --------------------------------------------------------------------------------

bool ModuleEditDlg::FinishGroupStep(const GroupStepResult& result) {
    if (!result) {
        if (result.error().step == GroupStep::NotSaved)
            ShowFileError(result.error().status);
        return false;
    }
    m_catalogueStamp = StampOf(m_catalogue.path);
    return true;
}

void ModuleEditDlg::NewGroup() {
    TopicDlg dialog;
    dialog.SetMode(TopicDlg::kNewGroup);
    // Asked while the dialog is open: No keeps what was typed.
    dialog.SetAcceptCheck([this, &dialog] { return MayOverwriteCatalogue(&dialog); });
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    const GroupStepResult result = AddGroup(m_catalogue, dialog.Identifier(), dialog.Name(), dialog.Flow());
    if (!result && result.error().step == GroupStep::DuplicateId) {
        ui::ShowMessage(this, QStringLiteral("ID重复！"));
        return;
    }
    if (!FinishGroupStep(result))
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
    dialog.SetAcceptCheck([this, &dialog] { return MayOverwriteCatalogue(&dialog); });
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    const GroupStepResult result = ChangeGroup(m_catalogue, row, dialog.Name(), dialog.Flow());
    if (!FinishGroupStep(result))
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
    if (!FinishGroupStep(result))
        return;
    m_panel->RemoveGroupLine(row);
    m_panel->ClearModuleLines();
}

// --- modules -------------------------------------------------------------------------------

bool ModuleEditDlg::MayOverwriteCatalogue(QWidget* parent) {
    return ui::MayOverwrite(parent ? parent : this, m_catalogue.path, m_catalogueStamp,
                            QString::fromStdString(m_catalogue.path.filename().string()));
}

FileStatus ModuleEditDlg::SaveEditedModule() {
    const std::filesystem::path path = ModuleFilePath(m_folder, m_module.fileName);
    // No: the file stays as the other copy wrote it, the edits stay in the sheet.
    if (!ui::MayOverwrite(this, path, m_moduleStamp, ui::FromGbk(m_module.fileName)))
        return Fail(FileError::Invalid("not overwritten"));
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
    EditModuleNamed(hit.fileName, hit.field == SearchField::Sql ? hit.line : 0);
}

void ModuleEditDlg::CheckCommand(bool wholeCatalogue) {
    if (!m_catalogueView)
        return;
    std::vector<int> groups;
    if (wholeCatalogue) {
        for (int i = 0; i < m_catalogue.groupCount; ++i)
            groups.push_back(i);
    } else if (const int group = m_panel->SelectedGroup(); group >= 0 && group < m_catalogue.groupCount) {
        groups.push_back(group);
    }
    if (groups.empty())
        return;
    const CheckSettings settings = ReadCheckSettings();
    CheckDlg::Host host;
    host.connection = &m_checkConnection;
    host.openModule = [this](const std::string& fileName) { EditModuleNamed(fileName, 0); };
    host.connections = settings.connections;
    host.timeout = std::chrono::seconds(settings.timeoutSeconds);
    CheckDlg dialog(m_catalogue, std::move(groups), std::move(host), this);
    ui::ExecDialog(&dialog);
}

void ModuleEditDlg::EditModuleNamed(const std::string& fileName, int sqlLine) {
    ModuleRecord header;
    if (!LoadModuleFile(header, m_folder, fileName))
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
        if (m_panel->ModuleFileName(row) == fileName) {
            m_panel->SelectModule(row);
            EditModuleAt(row, sqlLine);
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
    if (IsInvalidFailure(loaded))
        return;
    if (!loaded) {
        ShowFileError(loaded);
        return;
    }
    bool discarded = false;
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
        discarded = sheet.DiscardedChanges();
    }
    // After a discard the file keeps what is on disk, this copy's last save or another's: no
    // closing save, and no question about edits the user has already let go.
    if (!discarded && !SaveEditedModule())
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
    if (IsInvalidFailure(loaded)) {
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
        if (IsIoFailure(loaded)) {
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
    if (IsInvalidFailure(moved))
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
