#include "editor/ModuleSheet.h"

#include "core/Gbk.h"
#include "editor/ModuleInfo1.h"
#include "editor/ModuleInfo3.h"
#include "editor/TestProgress.h"
#include "testing/engine/ModuleTest.h"
#include "testing/widgets/CSpreadSheet.h"
#include "testing/widgets/DataSourceDlg.h"
#include "testing/widgets/GridVariables.h"
#include "ui/Accessible.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>

namespace kestrel {

namespace {
QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

} // namespace

ModuleSheet::ModuleSheet(SheetMode mode, ModuleRecord& record, ModuleSheetHost* host, QWidget* parent)
    : QDialog(parent), m_mode(mode), m_record(record), m_host(host) {
    setWindowTitle(Text("模块"));
    setWindowFlags((windowFlags() | Qt::WindowSystemMenuHint) & ~Qt::WindowContextHelpButtonHint);
    setFont(ui::DialogFont());
    const ui::DialogUnits du(font());
    setFixedSize(du.Size(390, 254));

    // Tab control: the tabs on top of a framed area; pages and grid lie over that area.
    const QRect tabArea = du.Rect(7, 7, 376, 220);
    m_tabs = new QTabBar(this);
    m_tabs->setObjectName(QStringLiteral("tabs"));
    ui::FocusOnlyFocusedTab(m_tabs);
    m_tabs->setDrawBase(false);
    m_tabs->setExpanding(false);
    m_tabs->addTab(Text("基本信息"));
    m_tabs->addTab(Text("变量"));
    if (m_mode == kNewModuleMode)
        m_tabs->addTab(Text("SQL"));
    const int tabHeight = m_tabs->sizeHint().height();
    m_tabs->setGeometry(tabArea.x() + 2, tabArea.y(), tabArea.width() - 4, tabHeight);
    m_tabFrame = new QFrame(this);
    m_tabFrame->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    m_tabFrame->setGeometry(tabArea.x(), tabArea.y() + tabHeight - 1, tabArea.width(),
                            tabArea.height() - tabHeight + 1);
    m_tabFrame->lower();

    const QRect pageRect = du.Rect(12, 22, 366, 200);
    m_info1 = new ModuleInfo1(this);
    m_info1->setGeometry(pageRect);
    m_info3 = new ModuleInfo3(this);
    m_info3->setGeometry(pageRect);
    m_info3->hide();
    m_grid = new CSpreadSheet(this);
    m_grid->setObjectName(QStringLiteral("grid"));
    m_grid->setAccessibleName(Text("变量")); // named as its tab, having no label
    m_grid->setGeometry(du.Rect(12, 23, 366, 200));
    m_grid->hide();

    const bool editing = m_mode == kEditMode;
    m_testButton = new QPushButton(Text("&T.测试"), this);
    m_testButton->setGeometry(du.Rect(176, 231, 55, 16));
    m_storeButton = new QPushButton(editing ? Text("&S.保存") : Text("&O.确定"), this);
    m_storeButton->setGeometry(du.Rect(252, 231, 55, 16));
    m_storeButton->setDefault(true);
    m_storeButton->setEnabled(!editing);
    m_closeButton = new QPushButton(editing ? Text("&X.退出") : Text("&X.取消"), this);
    m_closeButton->setGeometry(du.Rect(328, 231, 55, 16));

    if (editing) {
        m_written = m_record;
        const std::vector<VariableRow> rows = RowsOfModule(m_record);
        // The SQL page learns the names before it gets its text, so the text is highlighted once.
        ShowKnownNames(rows);
        LoadFromRecord();
        WriteGridRows(*m_grid, rows);
    }
    // Typing starts in the title, never on the tabs, where arrow keys would switch pages.
    m_info1->FocusFirstField();

    connect(m_tabs, &QTabBar::currentChanged, this, &ModuleSheet::OnTabChanged);
    connect(m_info1, &ModuleInfo1::ControlChanged, this, &ModuleSheet::OnPageChanged);
    connect(m_info3, &ModuleInfo3::ControlChanged, this, &ModuleSheet::OnPageChanged);
    connect(m_info3, &ModuleInfo3::CancelRequested, this, &ModuleSheet::CancelSheet);
    connect(m_info3, &ModuleInfo3::PreviewRequested, this, &ModuleSheet::PreviewSubstitutedSql);
    connect(m_info1->StateList(), &QComboBox::currentIndexChanged, this, &ModuleSheet::OnStateChanged);
    connect(m_grid, &CSpreadSheet::CellChanged, this, [this] {
        MarkChanged();
        // A store or a test reads the rows itself right after committing the cell editor.
        if (!m_committing)
            RefreshKnownNames();
    });
    // A value typed into a cell is a change while its editor is still open: closing the sheet
    // then asks before dropping it.
    connect(m_grid, &CSpreadSheet::CellEdited, this, &ModuleSheet::MarkChanged);
    connect(m_testButton, &QPushButton::clicked, this, &ModuleSheet::TestModule);
    connect(m_storeButton, &QPushButton::clicked, this, [this] { StoreModule(); });
    connect(m_closeButton, &QPushButton::clicked, this, &ModuleSheet::CancelSheet);
}

ModuleSheet::~ModuleSheet() = default;

bool ModuleSheet::SqlSessionOpen() const {
    return m_session && m_session->IsOpen();
}

void ModuleSheet::LoadFromRecord() {
    ModuleInfoFields& fields = m_info1->Fields();
    fields = InfoFieldsOfModule(m_record);
    if (fields.type == kDllModule) {
        m_info1->ShowDllFields(true);
    } else {
        m_tabs->addTab(Text("SQL"));
        m_info3->SqlText() = m_record.body;
        m_info3->LoadFields();
    }
    m_info1->LoadFields();
}

void ModuleSheet::OnTabChanged(int index) {
    switch (index) {
    case kInfoTab:
        m_info1->show();
        m_grid->hide();
        m_info3->hide();
        m_info1->FocusFirstField();
        break;
    case kVariablesTab:
        // Hiding a page that holds the focus would pass it on to the grid, where Delete and
        // Insert change rows; the focus stays on the tabs instead.
        if (m_info1->isAncestorOf(focusWidget()) || m_info3->isAncestorOf(focusWidget()))
            m_tabs->setFocus();
        m_grid->show();
        m_info1->hide();
        m_info3->hide();
        break;
    case kSqlTab:
        RefreshKnownNames();
        m_info3->show();
        m_info1->hide();
        m_grid->hide();
        m_info3->Editor()->setFocus();
        break;
    default:
        break;
    }
}

void ModuleSheet::OnPageChanged(int id, ChangeKind kind) {
    if (id == kIdType && kind == ChangeKind::SelectionChanged && sender() == m_info1)
        OnTypeChanged();
    MarkChanged();
}

void ModuleSheet::OnTypeChanged() {
    const int type = m_info1->Fields().type;
    if (type == kDllModule && m_tabs->count() == 3)
        m_tabs->removeTab(kSqlTab);
    else if (type == kSqlModule && m_tabs->count() == 2)
        m_tabs->insertTab(kSqlTab, Text("SQL"));
    m_tabs->update();
    m_info1->update();
}

void ModuleSheet::OnStateChanged(int index) {
    // A module that was tested already is never put back to "未完成" from here.
    if (m_mode == kEditMode && StateUndoesTest(m_record.header.flags, index))
        m_info1->StateList()->setCurrentIndex(kStateTested);
}

void ModuleSheet::MarkChanged() {
    m_storeButton->setEnabled(true);
}

void ModuleSheet::RefreshKnownNames() {
    ShowKnownNames(ReadGridRows(*m_grid));
}

void ModuleSheet::ShowKnownNames(const std::vector<VariableRow>& rows) {
    QSet<QString> names;
    for (const VariableRow& row : rows) {
        if (RowFillsPlaceholders(row))
            names.insert(ui::FromGbk(row.name));
    }
    m_info3->SetKnownNames(names);
}

bool ModuleSheet::CheckGridFits(const std::vector<QString>& names) {
    const int32_t rows = static_cast<int32_t>(names.size());
    if (rows > kMaxVariables) {
        ui::ShowMessage(this,
                        Text("一个模块最多只能有 %1 个变量，现在有 %2 行。\n请删去多余的行后再保存；模块没有保存。")
                            .arg(kMaxVariables)
                            .arg(rows),
                        Text("提示"), ui::Icon::Warning);
        return false;
    }
    for (int32_t r = 1; r <= rows; ++r) {
        const QString& name = names[static_cast<size_t>(r - 1)];
        const int bytes = ui::GbkLength(name);
        if (bytes > kMaxNameBytes || bytes < 0) {
            ui::ShowMessage(
                this,
                Text("第 %1 行的变量名“%2”超过 %3 字节（一个汉字算 2 字节）。\n请改短后再保存；模块没有保存。")
                    .arg(r)
                    .arg(name)
                    .arg(kMaxNameBytes),
                Text("提示"), ui::Icon::Warning);
            return false;
        }
    }
    return true;
}

bool ModuleSheet::StoreModule() {
    CommitGridEdit();
    m_info1->ReadFields();
    m_info3->ReadFields();
    const ModuleInfoFields& fields = m_info1->Fields();
    if (m_mode == kEditMode && StateUndoesTest(m_record.header.flags, fields.state))
        return false;
    // The grid is read once: the checks, the record and the SQL page's names all use these rows.
    std::vector<QString> names;
    const std::vector<VariableRow> rows = ReadGridRows(*m_grid, &names);
    ShowKnownNames(rows);
    // The record has room for 100 variables of 40-byte names: refuse rather than cut.
    if (!CheckGridFits(names))
        return false;

    StoreInfoFields(m_record, fields, m_info3->SqlText());
    StoreRowsInModule(m_record, rows);

    if (m_mode == kEditMode) {
        // A failed save keeps the button enabled: the changes are still not on disk.
        if (m_host && !m_host->SaveCurrentModule())
            return false;
        m_written = m_record;
        m_storeButton->setEnabled(false);
        return true;
    }
    done(QDialog::Accepted);
    return true;
}

void ModuleSheet::CommitGridEdit() {
    m_committing = true;
    m_grid->CommitEdit();
    m_committing = false;
}

void ModuleSheet::CancelSheet() {
    // The cell being typed in counts as the grid shows it: kept if the user stays, asked about
    // if not.
    CommitGridEdit();
    if (m_mode == kNewModuleMode) {
        done(QDialog::Rejected);
        return;
    }
    if (m_storeButton->isEnabled()) {
        if (!ui::AskYesNo(this, Text("放弃所作修改？"), Text("提示"), ui::Icon::Question, true))
            return;
        // Discarded means discarded: edits a failed or declined save left in the record go too.
        m_record = m_written;
        m_discarded = true;
    }
    done(QDialog::Accepted);
}

void ModuleSheet::reject() {
    CancelSheet();
}

void ModuleSheet::done(int result) {
    // The connection of this sheet's SQL tests ends with the sheet.
    m_session.reset();
    QDialog::done(result);
}

void ModuleSheet::TestModule() {
    QComboBox* state = m_info1->StateList();
    const int before = state->currentIndex();
    state->setCurrentIndex(kStateTested);
    if (RunModuleTest())
        state->setCurrentIndex(kStatePassed);
    else
        ui::ShowMessage(this, Text("测试未通过！"));
    if (state->currentIndex() != before)
        MarkChanged();
}

// What the sheet lends the test run: the clipboard option, the data source chosen at the
// first SQL test, and the progress window with its cancel.
class ModuleSheet::TestHost : public ModuleTestHost {
public:
    explicit TestHost(ModuleSheet& sheet) : m_sheet(sheet) {}

    void SqlPrepared(const std::string& sql) override {
        // Before any database work, so the text is there even when the connection fails.
        if (m_sheet.m_info3->ClipboardOptionTicked()) {
            if (QClipboard* clipboard = QGuiApplication::clipboard())
                clipboard->setText(ui::FromGbk(sql));
        }
    }

    SqlTestSession* OpenSession(TestOutcome& failure) override {
        std::unique_ptr<SqlTestSession>& session = m_sheet.m_session;
        if (session && session->IsOpen())
            return session.get();
        DataSourceDlg chooser(&m_sheet);
        if (ui::ExecDialog(&chooser) != QDialog::Accepted)
            return nullptr;
        // A connection attempt cannot be stopped, only left: it runs on a session of its own,
        // which the sheet takes when the attempt ends in time, and which a cancelled attempt
        // frees itself once the driver returns.
        struct Attempt {
            std::string connection;
            std::unique_ptr<SqlTestSession> session = std::make_unique<SqlTestSession>();
            TestOutcome outcome;
        };
        auto attempt = std::make_shared<Attempt>();
        attempt->connection = chooser.ConnectionStringUtf8();
        const bool ended = RunAbandonable(&m_sheet, Text("正在连接数据源……"), [attempt] {
            attempt->outcome = attempt->session->Open(attempt->connection);
        });
        if (!ended) {
            failure = TestOutcome{};
            failure.cancelled = true;
            return nullptr;
        }
        failure = attempt->outcome;
        if (!attempt->session->IsOpen())
            return nullptr;
        session = std::move(attempt->session);
        return session.get();
    }

    TestOutcome RunStep(int32_t type, const std::function<TestOutcome(CancelToken&)>& work) override {
        return RunWithProgress(&m_sheet, type == kSqlModule ? Text("正在执行模块的 SQL……") : Text("正在运行模块函数……"),
                               work, true);
    }

private:
    ModuleSheet& m_sheet;
};

bool ModuleSheet::RunModuleTest() {
    CommitGridEdit();
    m_info1->ReadFields();
    m_info3->ReadFields();
    std::vector<VariableRow> rows = ReadGridRows(*m_grid);
    ShowKnownNames(rows);
    const ModuleUnderTest module = ModuleUnderTestOf(m_info1->Fields(), m_info3->SqlText(), std::move(rows),
                                                     m_host ? m_host->ModuleFolder() : std::filesystem::current_path());
    TestHost host(*this);
    const ModuleTestResult result = kestrel::RunModuleTest(module, m_table, host);
    if (const std::optional<TestMessage>& message = result.outcome.message)
        ui::ShowMessage(this, message->unicode ? QString::fromStdString(message->text) : ui::FromGbk(message->text),
                        ui::FromGbk(message->caption),
                        result.stage == TestStage::kVariables ? ui::Icon::Warning : ui::Icon::None);
    if (!result.Passed())
        return false;
    return ui::AskYesNo(this, Text("执行结果正确吗？"), Text("模块已成功执行"), ui::Icon::Question);
}

void ModuleSheet::PreviewSubstitutedSql() {
    CommitGridEdit();
    m_info3->ReadFields();
    const std::vector<VariableRow> rows = ReadGridRows(*m_grid);
    ShowKnownNames(rows);
    TestVariableTable table;
    const FillResult filled = FillChosenVariables(table, rows);
    if (!filled) {
        ui::ShowMessage(this, ui::FromGbk(filled.error().text), ui::FromGbk(filled.error().caption), ui::Icon::Warning);
        return;
    }
    const std::string& sql = m_info3->SqlText();
    if (const std::optional<UnfillablePlaceholder> bad = FirstUnfillablePlaceholder(sql, table)) {
        const QString text = bad->unclosed
                                 ? Text("SQL 中的 [?:%1 缺少结尾的 ]，无法替换。")
                                       .arg(ui::FromGbk(std::string(GbkPrefix(bad->name, 40))))
                                 : Text("占位符 [?:%1] 不是“变量”页中 Import 或 Config 变量的名称，无法替换。\n"
                                        "测试时这段 SQL 将不能通过。")
                                       .arg(ui::FromGbk(bad->name));
        ui::ShowMessage(this, text, Text("提示"), ui::Icon::Warning);
        return;
    }
    QString substituted = ui::FromGbk(SubstitutePlaceholders(sql, table));
    substituted.replace(QLatin1String("\r\n"), QLatin1String("\n"));

    QDialog preview(this);
    preview.setObjectName(QStringLiteral("sqlPreview"));
    preview.setWindowTitle(Text("预览替换后的 SQL"));
    preview.setFont(ui::DialogFont());
    const ui::DialogUnits du(preview.font());
    preview.setFixedSize(du.Size(366, 200));
    auto* view = new QPlainTextEdit(&preview);
    view->setObjectName(QStringLiteral("previewText"));
    view->setReadOnly(true);
    view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setFont(ui::FixedFont());
    view->setPlainText(substituted);
    view->setGeometry(du.Rect(7, 7, 352, 164));
    auto* copy = new QPushButton(Text("&C.复制"), &preview);
    copy->setGeometry(du.Rect(250, 178, 50, 14));
    auto* close = new QPushButton(Text("&X.关闭"), &preview);
    close->setGeometry(du.Rect(309, 178, 50, 14));
    close->setDefault(true);
    connect(copy, &QPushButton::clicked, &preview, [substituted] {
        if (QClipboard* clipboard = QGuiApplication::clipboard())
            clipboard->setText(substituted);
    });
    connect(close, &QPushButton::clicked, &preview, &QDialog::accept);
    ui::ExecDialog(&preview);
}

} // namespace kestrel
