#include "editor/ModuleSheet.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "editor/ModuleInfo1.h"
#include "editor/ModuleInfo3.h"
#include "editor/TestProgress.h"
#include "testing/CSpreadSheet.h"
#include "testing/DataSourceDlg.h"
#include "testing/DllTest.h"
#include "testing/GridVariables.h"
#include "testing/SqlTest.h"
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
constexpr int kTestCommand = 109;

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

void ShowTestMessage(QWidget* parent, const TestMessage& message) {
    if (message.present)
        ui::ShowMessage(parent, ui::FromGbk(message.text), ui::FromGbk(message.caption));
}

// The placeholder names of text that the check refuses, in order ("[?:" without "]" gives
// the rest of the text as its name).
std::string FirstBadPlaceholder(const std::string& text, const TestVariableTable& table, bool& unclosed) {
    unclosed = false;
    size_t from = 0;
    while ((from = text.find("[?:", from)) != std::string::npos) {
        const size_t close = text.find(']', from + 3);
        if (close == std::string::npos) {
            unclosed = true;
            return text.substr(from + 3);
        }
        const std::string placeholder = text.substr(from, close + 1 - from);
        if (!CheckPlaceholders(placeholder, table))
            return text.substr(from + 3, close - from - 3);
        from = close + 1;
    }
    return {};
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
    m_grid->setGeometry(du.Rect(12, 23, 366, 200));
    m_grid->hide();

    const bool editing = m_mode == kEditMode;
    m_testButton = new QPushButton(Text("&T.测试"), this);
    m_testButton->setProperty("command", kTestCommand);
    m_testButton->setGeometry(du.Rect(176, 231, 55, 16));
    m_storeButton = new QPushButton(editing ? Text("&S.保存") : Text("&O.确定"), this);
    m_storeButton->setProperty("command", 1);
    m_storeButton->setGeometry(du.Rect(252, 231, 55, 16));
    m_storeButton->setDefault(true);
    m_storeButton->setEnabled(!editing);
    m_closeButton = new QPushButton(editing ? Text("&X.退出") : Text("&X.取消"), this);
    m_closeButton->setProperty("command", 2);
    m_closeButton->setGeometry(du.Rect(328, 231, 55, 16));

    if (editing) {
        LoadFromRecord();
        FillGrid();
    }
    RefreshKnownNames();

    connect(m_tabs, &QTabBar::currentChanged, this, &ModuleSheet::OnTabChanged);
    connect(m_info1, &ModuleInfo1::ControlChanged, this, &ModuleSheet::OnPageChanged);
    connect(m_info3, &ModuleInfo3::ControlChanged, this, &ModuleSheet::OnPageChanged);
    connect(m_info3, &ModuleInfo3::CancelRequested, this, &ModuleSheet::CancelSheet);
    connect(m_info3, &ModuleInfo3::PreviewRequested, this, &ModuleSheet::PreviewSubstitutedSql);
    connect(m_info1->StateList(), &QComboBox::currentIndexChanged, this, &ModuleSheet::OnStateChanged);
    connect(m_grid, &CSpreadSheet::CellChanged, this, [this] {
        MarkChanged();
        RefreshKnownNames();
    });
    connect(m_testButton, &QPushButton::clicked, this, &ModuleSheet::TestModule);
    connect(m_storeButton, &QPushButton::clicked, this, [this] { StoreModule(); });
    connect(m_closeButton, &QPushButton::clicked, this, &ModuleSheet::CancelSheet);
}

ModuleSheet::~ModuleSheet() = default;

bool ModuleSheet::SqlSessionOpen() const {
    return m_session && m_session->IsOpen();
}

void ModuleSheet::LoadFromRecord() {
    const ModuleHeader& header = m_record.header;
    ModuleInfo1Fields& fields = m_info1->Fields();
    fields.title = FieldText(header.title);
    fields.required = (header.flags & kFlagRequired) ? 1 : 0;
    if (!(header.flags & kFlagTested))
        fields.state = 0;
    else
        fields.state = (header.flags & kFlagPassed) ? 2 : 1;
    fields.type = header.type == kDllModule ? 1 : 0;
    if (header.type == kDllModule) {
        m_info1->ShowDllFields(true);
        const size_t comma = m_record.body.find(',');
        fields.dllName = comma == std::string::npos ? std::string() : m_record.body.substr(0, comma);
        fields.function = comma == std::string::npos ? m_record.body : m_record.body.substr(comma + 1);
    } else {
        m_tabs->addTab(Text("SQL"));
        m_info3->SqlText() = m_record.body;
        m_info3->LoadFields();
    }
    fields.description = m_record.description;
    fields.createdStamp = " " + FieldText(header.creator) + " " + FieldText(header.createdAt);
    fields.modifiedStamp = " " + FieldText(header.modifier) + " " + FieldText(header.modifiedAt);
    m_info1->LoadFields();
}

void ModuleSheet::FillGrid() {
    const int32_t count = std::clamp<int32_t>(m_record.header.variableCount, 0, kMaxVariables);
    m_grid->SetRowCount(count);
    for (int32_t i = 0; i < count; ++i) {
        const VariableDefinition& variable = m_record.variables[static_cast<size_t>(i)];
        const std::string name = FieldText(variable.name);
        m_grid->SetRow(i + 1);
        m_grid->SetCol(1);
        m_grid->SetCellText(ui::FromGbk(name));
        m_grid->SetCol(2);
        m_grid->SetListIndex(variable.attribute);
        m_grid->SetCol(3);
        m_grid->SetListIndex(variable.type);
        m_grid->SetCol(4);
        m_grid->SetCellText(QString::number(variable.length));
        m_grid->SetCol(5);
        if (variable.attribute == kConfig || variable.attribute == kReport)
            m_grid->SetCellText(ui::FromGbk(LookupListValue(m_record.remarks, name)));
        m_grid->SetCol(6);
        if (variable.attribute == kImport || variable.attribute == kConfig)
            m_grid->SetCellText(ui::FromGbk(LookupListValue(m_record.testValues, name)));
    }
}

void ModuleSheet::OnTabChanged(int index) {
    switch (index) {
    case kInfoTab:
        m_info1->show();
        m_grid->hide();
        m_info3->hide();
        m_info1->setFocus();
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
    if (type == 1 && m_tabs->count() == 3)
        m_tabs->removeTab(kSqlTab);
    else if (type == 0 && m_tabs->count() == 2)
        m_tabs->insertTab(kSqlTab, Text("SQL"));
    m_tabs->update();
    m_info1->update();
}

void ModuleSheet::OnStateChanged(int index) {
    // A module that was tested already is never put back to "未完成" from here.
    if (m_mode == kEditMode && index == 0 && (m_record.header.flags & kFlagTested))
        m_info1->StateList()->setCurrentIndex(1);
}

void ModuleSheet::MarkChanged() {
    m_storeButton->setEnabled(true);
}

void ModuleSheet::RefreshKnownNames() {
    QSet<QString> names;
    for (const VariableRow& row : ReadGridRows(*m_grid)) {
        if (RowHasChoices(row) && (row.attribute == kImport || row.attribute == kConfig))
            names.insert(ui::FromGbk(row.name));
    }
    m_info3->SetKnownNames(names);
}

bool ModuleSheet::CheckGridFits() {
    const int32_t rows = m_grid->GetRowCount();
    if (rows > kMaxVariables) {
        ui::ShowMessage(this,
                        Text("一个模块最多只能有 %1 个变量，现在有 %2 行。\n请删去多余的行后再保存；模块没有保存。")
                            .arg(kMaxVariables)
                            .arg(rows),
                        Text("提示"), ui::Icon::Warning);
        return false;
    }
    for (int32_t r = 1; r <= rows; ++r) {
        m_grid->SetRow(r);
        m_grid->SetCol(1);
        const QString name = m_grid->GetCellText();
        if (ui::GbkLength(name) > kMaxNameBytes || ui::GbkLength(name) < 0) {
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
    m_grid->CommitEdit();
    m_info1->ReadFields();
    m_info3->ReadFields();
    const ModuleInfo1Fields& fields = m_info1->Fields();
    if (m_mode == kEditMode && (m_record.header.flags & kFlagTested) && fields.state == 0)
        return false;
    // The record has room for 100 variables of 40-byte names: refuse rather than cut.
    if (!CheckGridFits())
        return false;

    ModuleHeader& header = m_record.header;
    SetFieldText(header.title, GbkPrefix(fields.title, sizeof(header.title) - 1));
    int32_t flags = fields.required ? kFlagRequired : 0;
    if (fields.state == 1)
        flags |= kFlagTested;
    else if (fields.state == 2)
        flags |= kFlagTested | kFlagPassed;
    header.flags = flags;
    header.type = fields.type;
    m_record.body = fields.type == kSqlModule ? m_info3->SqlText() : fields.dllName + "," + fields.function;
    header.bodyLength = static_cast<int32_t>(m_record.body.size() + 1);
    m_record.description = fields.description;
    header.descriptionLength = static_cast<int32_t>(m_record.description.size() + 1);

    const std::vector<VariableRow> rows = ReadGridRows(*m_grid);
    header.variableCount = static_cast<int32_t>(rows.size());
    m_record.remarks.clear();
    m_record.testValues.clear();
    m_record.variables.fill(VariableDefinition{});
    for (size_t i = 0; i < rows.size(); ++i) {
        const VariableRow& row = rows[i];
        VariableDefinition& variable = m_record.variables[i];
        SetFieldText(variable.name, row.name);
        variable.attribute = static_cast<uint8_t>(row.attribute);
        variable.type = static_cast<uint8_t>(row.type);
        variable.length = row.length;
        if (!row.remark.empty())
            m_record.remarks += row.name + "," + row.remark + "\n";
        if (!row.testValue.empty())
            m_record.testValues += row.name + "," + row.testValue + "\n";
    }
    header.remarkLength = static_cast<int32_t>(m_record.remarks.size() + 1);

    if (m_mode == kEditMode) {
        // A failed save keeps the button enabled: the changes are still not on disk.
        if (m_host && !m_host->SaveCurrentModule())
            return false;
        m_storeButton->setEnabled(false);
        return true;
    }
    done(QDialog::Accepted);
    return true;
}

void ModuleSheet::CancelSheet() {
    if (m_mode == kNewModuleMode) {
        done(QDialog::Rejected);
        return;
    }
    if (m_storeButton->isEnabled() &&
        !ui::AskYesNo(this, Text("放弃所作修改？"), Text("提示"), ui::Icon::Question, true))
        return;
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
    state->setCurrentIndex(1);
    if (RunModuleTest())
        state->setCurrentIndex(2);
    else
        ui::ShowMessage(this, Text("测试未通过！"));
    if (state->currentIndex() != before)
        MarkChanged();
}

bool ModuleSheet::RunModuleTest() {
    m_grid->CommitEdit();
    m_info1->ReadFields();
    m_info3->ReadFields();
    int32_t result = -1;
    const FillResult filled = ReadTestVariables(*m_grid, m_table);
    if (!filled.ok) {
        if (!filled.message.empty())
            ui::ShowMessage(this, ui::FromGbk(filled.message), ui::FromGbk(filled.caption), ui::Icon::Warning);
    } else {
        result = m_info1->Fields().type == kSqlModule ? RunSqlTest() : RunDllTest();
    }
    FreeTestVariables(m_table);
    if (result != 0)
        return false;
    return ui::AskYesNo(this, Text("执行结果正确吗？"), Text("模块已成功执行"), ui::Icon::Question);
}

int32_t ModuleSheet::RunSqlTest() {
    const PreparedSql prepared = PrepareSqlTest(m_info3->SqlText(), m_table);
    if (!prepared.ok)
        return -1;
    // Before any database work, so the text is there even when the connection fails.
    if (m_info3->ClipboardOptionTicked()) {
        if (QClipboard* clipboard = QGuiApplication::clipboard())
            clipboard->setText(ui::FromGbk(prepared.sql));
    }
    if (!m_session)
        m_session = std::make_unique<SqlTestSession>();
    if (!m_session->IsOpen()) {
        DataSourceDlg chooser(this);
        if (ui::ExecDialog(&chooser) != QDialog::Accepted)
            return -1;
        const std::string connection = chooser.ConnectionStringUtf8();
        SqlTestSession* session = m_session.get();
        const TestOutcome opened = RunWithProgress(this, Text("正在连接数据源……"),
                                                   [session, &connection] { return session->Open(connection); }, {});
        if (!m_session->IsOpen()) {
            ShowTestMessage(this, opened.message);
            return -1;
        }
    }
    SqlTestSession* session = m_session.get();
    const TestOutcome outcome = RunWithProgress(
        this, Text("正在执行模块的 SQL……"), [session, &prepared] { return session->Execute(prepared); },
        [session] { session->Cancel(); });
    ShowTestMessage(this, outcome.message);
    return outcome.cancelled ? -1 : outcome.code;
}

int32_t ModuleSheet::RunDllTest() {
    const ModuleInfo1Fields& fields = m_info1->Fields();
    const std::filesystem::path folder = m_host ? m_host->ModuleFolder() : std::filesystem::current_path();
    DllTestRun run;
    const TestOutcome outcome = RunWithProgress(
        this, Text("正在运行模块函数……"),
        [&run, &fields, &folder, this] { return run.Run(fields.dllName, fields.function, m_table, folder); },
        [&run] { run.Cancel(); });
    ShowTestMessage(this, outcome.message);
    return outcome.cancelled ? -1 : outcome.code;
}

void ModuleSheet::PreviewSubstitutedSql() {
    m_grid->CommitEdit();
    m_info3->ReadFields();
    TestVariableTable table;
    const FillResult filled = ReadTestVariables(*m_grid, table);
    if (!filled.ok) {
        ui::ShowMessage(this, ui::FromGbk(filled.message), ui::FromGbk(filled.caption), ui::Icon::Warning);
        return;
    }
    const std::string& sql = m_info3->SqlText();
    if (!CheckPlaceholders(sql, table)) {
        bool unclosed = false;
        const std::string bad = FirstBadPlaceholder(sql, table, unclosed);
        const QString text = unclosed
                                 ? Text("SQL 中的 [?:%1 缺少结尾的 ]，无法替换。").arg(ui::FromGbk(bad.substr(0, 40)))
                                 : Text("占位符 [?:%1] 不是“变量”页中 Import 或 Config 变量的名称，无法替换。\n"
                                        "测试时这段 SQL 将不能通过。")
                                       .arg(ui::FromGbk(bad));
        FreeTestVariables(table);
        ui::ShowMessage(this, text, Text("提示"), ui::Icon::Warning);
        return;
    }
    QString substituted = ui::FromGbk(SubstitutePlaceholders(sql, table));
    FreeTestVariables(table);
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
