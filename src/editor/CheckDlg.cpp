#include "editor/CheckDlg.h"

#include "core/AtomicFile.h"
#include "core/Gbk.h"
#include "repository/ModuleFile.h"
#include "testing/Variables.h"
#include "testing/batch/BatchReport.h"
#include "testing/widgets/DataSourceDlg.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kestrel {

namespace {

// How long a stopped run may take to end before the window leaves it to end on its own.
constexpr std::chrono::milliseconds kStopBound{1000};

QColor VerdictColour(Verdict verdict) {
    switch (verdict) {
    case Verdict::kPassed:
        return QColor(0, 120, 40);
    case Verdict::kFailed:
        return QColor(190, 20, 20);
    case Verdict::kError:
        return QColor(170, 90, 0);
    case Verdict::kNotRun:
        break;
    }
    return QColor(110, 110, 110);
}

QIcon VerdictIcon(Verdict verdict) {
    QStyle* style = QApplication::style();
    switch (verdict) {
    case Verdict::kPassed:
        return style->standardIcon(QStyle::SP_DialogApplyButton);
    case Verdict::kFailed:
        return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case Verdict::kError:
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case Verdict::kNotRun:
        break;
    }
    return style->standardIcon(QStyle::SP_MediaSkipForward);
}

QString FirstLine(const std::string& utf8) {
    const QString text = QString::fromStdString(utf8);
    const qsizetype end = text.indexOf(QLatin1Char('\n'));
    return (end < 0 ? text : text.left(end)).trimmed();
}

std::filesystem::path ToPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// What the module's SQL becomes with its stored test values; empty for a DLL module or a
// file that cannot be read.
QString SubstitutedSql(const BatchModule& module) {
    if (!module.load)
        return {};
    ModuleRecord record;
    ParseModuleBytes(record, module.stored);
    if (record.header.type != kSqlModule)
        return {};
    TestVariableTable table;
    if (!FillChosenVariables(table, RowsOfModule(record)))
        return ui::FromGbk(record.body);
    return ui::FromGbk(SubstitutePlaceholders(record.body, table));
}

} // namespace

// Tells the window of the run from the run's threads: every call is queued to the window's
// thread, and a window that has let the run go hears nothing more.
class CheckDlg::Forwarder : public BatchObserver {
public:
    Forwarder(CheckDlg* window, unsigned generation) : m_window(window), m_generation(generation) {}

    void Detach() {
        std::lock_guard lock(m_mutex);
        m_window = nullptr;
    }
    void Post(std::function<void(CheckDlg&, unsigned)> call) {
        std::lock_guard lock(m_mutex);
        if (!m_window)
            return;
        CheckDlg* window = m_window;
        QMetaObject::invokeMethod(
            window, [window, call = std::move(call), generation = m_generation] { call(*window, generation); },
            Qt::QueuedConnection);
    }

    void Note(const std::string& utf8) override {
        Post([utf8](CheckDlg& window, unsigned) {
            window.m_notes << QString::fromStdString(utf8);
            window.ShowDetail();
        });
    }
    void Finished(std::size_t index, const ModuleResult& result) override {
        Post([index, result](CheckDlg& window, unsigned generation) { window.Finished(generation, index, result); });
    }
    void Ended() override {
        Post([](CheckDlg& window, unsigned generation) { window.Ended(generation); });
    }

private:
    std::mutex m_mutex;
    CheckDlg* m_window;
    unsigned m_generation;
};

// A run and the thread that starts it: connecting every worker can take a while, and the
// window's thread never waits for a driver.
struct CheckDlg::Job {
    std::shared_ptr<Forwarder> forwarder;
    std::unique_ptr<BatchRun> run; // after forwarder: it tells forwarder until it is gone
    std::thread starter;
    std::mutex mutex;
    std::condition_variable changed;
    bool starting = true;
    bool started = false;
    bool abandoned = false;
};

CheckDlg::CheckDlg(const GroupCatalogue& catalogue, std::vector<int> groupIndexes, Host host, QWidget* parent)
    : QDialog(parent), m_catalogue(catalogue), m_groupIndexes(std::move(groupIndexes)), m_host(std::move(host)) {
    setWindowTitle(QStringLiteral("检查模块"));
    setFont(ui::DialogFont());
    resize(900, 560);

    m_list = new QTreeWidget(this);
    m_list->setAccessibleName(QStringLiteral("模块"));
    m_list->setHeaderLabels({QStringLiteral("文件"), QStringLiteral("组"), QStringLiteral("结果"),
                             QStringLiteral("代码"), QStringLiteral("信息"), QStringLiteral("用时")});
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAllColumnsShowFocus(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(kMessageColumn, QHeaderView::Stretch);
    m_list->setColumnWidth(kFileColumn, 160);
    m_list->setColumnWidth(kGroupColumn, 80);
    m_list->setColumnWidth(kResultColumn, 90);
    m_list->setColumnWidth(kCodeColumn, 60);
    m_list->setColumnWidth(kTimeColumn, 70);

    m_detail = new QPlainTextEdit(this);
    m_detail->setReadOnly(true);
    m_detail->setAccessibleName(QStringLiteral("详细信息"));
    m_detail->setTabChangesFocus(true);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_list);
    split->addWidget(m_detail);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);

    m_progress = new QProgressBar(this);
    m_progress->setAccessibleName(QStringLiteral("进度"));
    m_progress->setTextVisible(true);
    m_timeLeft = new QLabel(this);
    m_timeLeft->setMinimumWidth(140);
    m_summary = new QLabel(this);
    m_summary->setAccessibleName(QStringLiteral("结果汇总"));
    m_summary->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    m_summary->setFocusPolicy(Qt::NoFocus);
    m_failuresOnly = new QCheckBox(QStringLiteral("只显示未通过"), this);

    auto button = [this](const char* text) {
        auto* made = new QPushButton(QString::fromUtf8(text), this);
        made->setAutoDefault(false);
        return made;
    };
    m_failedButton = button("重新检查未通过");
    m_allButton = button("全部重新检查");
    m_stopButton = button("停止");
    m_exportButton = button("导出…");
    m_closeButton = button("关闭");

    auto* layout = new QVBoxLayout(this);
    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(m_progress, 1);
    progressRow->addWidget(m_timeLeft);
    auto* summaryRow = new QHBoxLayout;
    summaryRow->addWidget(m_summary, 1);
    summaryRow->addWidget(m_failuresOnly);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* each : {m_failedButton, m_allButton, m_stopButton, m_exportButton})
        buttons->addWidget(each);
    buttons->addStretch(1);
    buttons->addWidget(m_closeButton);
    layout->addWidget(split, 1);
    layout->addLayout(progressRow);
    layout->addLayout(summaryRow);
    layout->addLayout(buttons);
    setTabOrder(m_list, m_detail);
    setTabOrder(m_detail, m_failuresOnly);
    setTabOrder(m_failuresOnly, m_failedButton);
    setTabOrder(m_failedButton, m_allButton);
    setTabOrder(m_allButton, m_stopButton);
    setTabOrder(m_stopButton, m_exportButton);
    setTabOrder(m_exportButton, m_closeButton);

    m_stopTimer = new QTimer(this);
    m_stopTimer->setSingleShot(true);
    connect(m_stopTimer, &QTimer::timeout, this, [this] {
        if (m_job)
            AbandonRun();
    });
    connect(m_failedButton, &QPushButton::clicked, this, &CheckDlg::CheckFailed);
    connect(m_allButton, &QPushButton::clicked, this, &CheckDlg::CheckAll);
    connect(m_stopButton, &QPushButton::clicked, this, &CheckDlg::StopCheck);
    connect(m_exportButton, &QPushButton::clicked, this, &CheckDlg::Export);
    connect(m_closeButton, &QPushButton::clicked, this, &CheckDlg::reject);
    connect(m_failuresOnly, &QCheckBox::toggled, this, &CheckDlg::ApplyFilter);
    connect(m_list, &QTreeWidget::currentItemChanged, this, &CheckDlg::ShowDetail);
    connect(m_list, &QTreeWidget::itemActivated, this, &CheckDlg::OpenCurrent);

    MakePlan();
    FillRows();
    UpdateButtons();
    // The first check starts once the window is up, so that its question comes over it.
    QTimer::singleShot(0, this, &CheckDlg::CheckAll);
}

CheckDlg::~CheckDlg() {
    StopNow();
}

QString CheckDlg::VerdictText(Verdict verdict) {
    switch (verdict) {
    case Verdict::kPassed:
        return QStringLiteral("通过");
    case Verdict::kFailed:
        return QStringLiteral("未通过");
    case Verdict::kError:
        return QStringLiteral("无法运行");
    case Verdict::kNotRun:
        break;
    }
    return QStringLiteral("未运行");
}

void CheckDlg::MakePlan() {
    std::error_code error;
    const std::filesystem::path folder =
        std::filesystem::absolute(m_catalogue.Folder().empty() ? "." : m_catalogue.Folder(), error);
    auto planned = PlanBatch(m_catalogue, m_groupIndexes, folder,
                             [this](const std::string& note) { m_notes << QString::fromStdString(note); });
    if (!planned) {
        m_notes << QString::fromStdString(planned.error());
        m_plan = std::make_shared<const BatchPlan>();
    } else {
        m_plan = std::make_shared<const BatchPlan>(std::move(planned).value());
    }
    m_results.assign(m_plan->modules.size(), NotRunResult());
    m_pending.assign(m_plan->modules.size(), 0);
}

void CheckDlg::FillRows() {
    m_list->clear();
    m_items.clear();
    m_items.reserve(m_plan->modules.size());
    QList<QTreeWidgetItem*> items;
    for (std::size_t i = 0; i < m_plan->modules.size(); ++i) {
        const BatchModule& module = m_plan->modules[i];
        auto* item = new QTreeWidgetItem;
        item->setText(kFileColumn, QString::fromStdString(module.shown));
        item->setText(kGroupColumn, ui::FromGbk(module.groupId));
        item->setData(kFileColumn, Qt::UserRole, static_cast<qulonglong>(i));
        item->setTextAlignment(kCodeColumn, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(kTimeColumn, Qt::AlignRight | Qt::AlignVCenter);
        m_items.push_back(item);
        items << item;
    }
    m_list->addTopLevelItems(items);
    for (std::size_t i = 0; i < m_items.size(); ++i)
        ShowRow(i);
    if (!m_items.empty())
        m_list->setCurrentItem(m_items.front());
    ShowCounts();
    ShowDetail();
}

int CheckDlg::CurrentIndex() const {
    const QTreeWidgetItem* item = m_list->currentItem();
    return item ? static_cast<int>(item->data(kFileColumn, Qt::UserRole).toULongLong()) : -1;
}

void CheckDlg::ShowRow(std::size_t index) {
    QTreeWidgetItem* item = m_items[index];
    if (m_pending[index]) {
        for (int column : {kResultColumn, kCodeColumn, kMessageColumn, kTimeColumn})
            item->setText(column, QString());
        item->setIcon(kResultColumn, QIcon());
        item->setHidden(false);
        return;
    }
    const ModuleResult& result = m_results[index];
    item->setText(kResultColumn, VerdictText(result.verdict));
    item->setIcon(kResultColumn, VerdictIcon(result.verdict));
    item->setForeground(kResultColumn, VerdictColour(result.verdict));
    item->setText(kCodeColumn, result.verdict == Verdict::kNotRun ? QString() : QString::number(result.code));
    item->setText(kMessageColumn, result.verdict == Verdict::kNotRun ? QString() : FirstLine(result.message));
    item->setText(kTimeColumn,
                  result.verdict == Verdict::kNotRun ? QString() : QString::fromStdString(SecondsText(result.seconds)));
    item->setHidden(m_failuresOnly->isChecked() && result.verdict == Verdict::kPassed);
}

void CheckDlg::ApplyFilter() {
    for (std::size_t i = 0; i < m_items.size(); ++i)
        m_items[i]->setHidden(m_failuresOnly->isChecked() && !m_pending[i] && m_results[i].verdict == Verdict::kPassed);
    QTreeWidgetItem* current = m_list->currentItem();
    if (!current || current->isHidden()) {
        for (QTreeWidgetItem* item : m_items)
            if (!item->isHidden()) {
                m_list->setCurrentItem(item);
                break;
            }
    }
}

void CheckDlg::ShowCounts() {
    BatchCounts counts;
    for (std::size_t i = 0; i < m_results.size(); ++i)
        if (!m_pending[i])
            counts.Add(m_results[i]);
    m_summary->setText(QStringLiteral("通过 %1，未通过 %2，无法运行 %3，未运行 %4")
                           .arg(counts.passed)
                           .arg(counts.failed)
                           .arg(counts.errors)
                           .arg(counts.notRun));
    // Green only when every module ran and passed: a run that checked nothing is no success.
    const bool allPassed = !Running() && counts.passed > 0 && counts.passed == counts.Total();
    const Verdict tone = allPassed                        ? Verdict::kPassed
                         : counts.failed > 0              ? Verdict::kFailed
                         : counts.errors > 0 || Running() ? Verdict::kError
                                                          : Verdict::kNotRun;
    m_summary->setStyleSheet(QStringLiteral("color: %1; font-weight: bold").arg(VerdictColour(tone).name()));

    const std::size_t total = std::max<std::size_t>(m_runSize, 1);
    m_progress->setRange(0, static_cast<int>(total));
    m_progress->setValue(static_cast<int>(std::min(m_runDone, total)));
    m_progress->setFormat(QStringLiteral("已完成 %1 / %2").arg(m_runDone).arg(m_runSize));
    if (Running() && m_runDone > 0 && m_runDone < m_runSize) {
        const double perModule = static_cast<double>(m_runClock.elapsed()) / static_cast<double>(m_runDone);
        const auto left = static_cast<qint64>(perModule * static_cast<double>(m_runSize - m_runDone) / 1000.0 + 0.5);
        m_timeLeft->setText(left >= 120 ? QStringLiteral("剩余约 %1 分钟").arg((left + 59) / 60)
                                        : QStringLiteral("剩余约 %1 秒").arg(std::max<qint64>(left, 1)));
    } else {
        m_timeLeft->setText(Running() ? QStringLiteral("剩余时间未知") : QString());
    }
    m_timeLeft->setAccessibleName(m_timeLeft->text());
}

void CheckDlg::ShowDetail() {
    QStringList text;
    for (const QString& note : m_notes)
        text << QStringLiteral("注意：") + note;
    const int index = CurrentIndex();
    if (index >= 0 && static_cast<std::size_t>(index) < m_plan->modules.size()) {
        const BatchModule& module = m_plan->modules[static_cast<std::size_t>(index)];
        const ModuleResult& result = m_results[static_cast<std::size_t>(index)];
        if (!text.isEmpty())
            text << QString();
        text << QStringLiteral("文件：%1    组：%2")
                    .arg(QString::fromStdString(module.shown), ui::FromGbk(module.groupId));
        if (m_pending[static_cast<std::size_t>(index)]) {
            text << QStringLiteral("结果：正在检查");
        } else {
            text << QStringLiteral("结果：%1    代码：%2    用时：%3 秒")
                        .arg(VerdictText(result.verdict))
                        .arg(result.verdict == Verdict::kNotRun ? QString() : QString::number(result.code))
                        .arg(QString::fromStdString(SecondsText(result.seconds)));
            if (result.verdict != Verdict::kNotRun && !result.message.empty())
                text << QStringLiteral("信息：") << QString::fromStdString(result.message);
            if (!result.rows.empty()) {
                text << QStringLiteral("模块写出的行（%1 行%2）：")
                            .arg(result.rows.size())
                            .arg(result.rowsCut ? QStringLiteral("，其余未保留") : QString());
                for (const ErrorRow& row : result.rows)
                    text << QStringLiteral("  %1\t%2")
                                .arg(QString::fromStdString(row.codeText), QString::fromStdString(row.message));
            }
            if (!result.output.empty())
                text << QStringLiteral("输出：") << QString::fromStdString(result.output);
            if (!result.errorOutput.empty())
                text << QStringLiteral("错误输出：") << QString::fromStdString(result.errorOutput);
        }
        const QString sql = SubstitutedSql(module);
        if (!sql.isEmpty())
            text << QStringLiteral("代入测试值后的 SQL：") << sql;
    }
    m_detail->setPlainText(text.join(QLatin1Char('\n')));
}

void CheckDlg::UpdateButtons() {
    const bool running = Running();
    bool anyFailed = false;
    for (const ModuleResult& result : m_results)
        anyFailed |= result.verdict != Verdict::kPassed;
    m_failedButton->setEnabled(!running && anyFailed);
    m_allButton->setEnabled(!running && !m_results.empty());
    m_exportButton->setEnabled(!running && !m_results.empty());
    m_stopButton->setEnabled(running);
}

// --- runs ----------------------------------------------------------------------------------

bool CheckDlg::AskConnection() {
    if (!m_host.connection)
        return false;
    if (!m_host.connection->empty())
        return true;
    DataSourceDlg chooser(this);
    if (ui::ExecDialog(&chooser) != QDialog::Accepted)
        return false;
    *m_host.connection = chooser.ConnectionStringUtf8();
    return !m_host.connection->empty();
}

void CheckDlg::CheckAll() {
    std::vector<std::size_t> selection(m_plan->modules.size());
    for (std::size_t i = 0; i < selection.size(); ++i)
        selection[i] = i;
    Run(std::move(selection));
}

void CheckDlg::CheckFailed() {
    std::vector<std::size_t> selection;
    for (std::size_t i = 0; i < m_results.size(); ++i)
        if (m_results[i].verdict != Verdict::kPassed)
            selection.push_back(i);
    Run(std::move(selection));
}

void CheckDlg::CheckCurrent() {
    const int index = CurrentIndex();
    if (index >= 0)
        Run({static_cast<std::size_t>(index)});
}

void CheckDlg::Run(std::vector<std::size_t> selection) {
    if (Running() || selection.empty() || !AskConnection())
        return;
    ++m_generation;
    for (std::size_t index : selection) {
        m_pending[index] = 1;
        ShowRow(index);
    }
    m_runSize = selection.size();
    m_lastRunSize = m_runSize;
    m_runDone = 0;
    m_runClock.start();

    BatchOptions options;
    options.connection = *m_host.connection;
    options.timeout = m_host.timeout;
    options.jobs = std::max(1, m_host.connections);
    options.isolate = true;
    auto job = std::make_shared<Job>();
    job->forwarder = std::make_shared<Forwarder>(this, m_generation);
    job->run = std::make_unique<BatchRun>(m_plan, options, *job->forwarder);
    m_job = job;
    job->starter = std::thread([job, selection = std::move(selection)]() mutable {
        const auto started = job->run->Start(std::move(selection));
        const std::string failure = started ? std::string() : started.error();
        {
            std::lock_guard lock(job->mutex);
            job->starting = false;
            job->started = static_cast<bool>(started);
            if (job->abandoned && job->started)
                job->run->Abandon();
            job->changed.notify_all();
        }
        if (!failure.empty())
            job->forwarder->Post(
                [failure](CheckDlg& window, unsigned generation) { window.Started(generation, failure); });
    });
    UpdateButtons();
    ShowCounts();
    ShowDetail();
}

void CheckDlg::Started(unsigned generation, const std::string& failure) {
    if (generation != m_generation || !m_job)
        return;
    if (m_job->starter.joinable())
        m_job->starter.join();
    m_job.reset();
    for (std::size_t i = 0; i < m_pending.size(); ++i)
        if (m_pending[i]) {
            m_pending[i] = 0;
            m_results[i] = NotRunResult();
            ShowRow(i);
        }
    // A data source that cannot serve the run is asked for again at the next check.
    m_host.connection->clear();
    UpdateButtons();
    ShowCounts();
    ShowDetail();
    ui::ShowMessage(this, QStringLiteral("无法开始检查：%1").arg(QString::fromStdString(failure)),
                    QStringLiteral("检查模块"), ui::Icon::Warning);
}

void CheckDlg::Finished(unsigned generation, std::size_t index, const ModuleResult& result) {
    if (generation != m_generation || index >= m_results.size() || !m_pending[index])
        return;
    m_results[index] = result;
    m_pending[index] = 0;
    ++m_runDone;
    ShowRow(index);
    ShowCounts();
    if (CurrentIndex() == static_cast<int>(index))
        ShowDetail();
}

void CheckDlg::Ended(unsigned generation) {
    if (generation != m_generation || !m_job)
        return;
    m_stopTimer->stop();
    if (m_job->starter.joinable())
        m_job->starter.join();
    m_job.reset(); // the run has told its last: its threads are ending
    UpdateButtons();
    ShowCounts();
    ShowDetail();
}

void CheckDlg::StopCheck() {
    if (!m_job)
        return;
    m_job->run->Stop();
    m_stopButton->setEnabled(false);
    m_stopTimer->start(kStopBound);
}

void CheckDlg::AbandonRun() {
    std::shared_ptr<Job> job = std::move(m_job);
    ++m_generation; // what the run still had on its way is no longer this window's
    job->forwarder->Detach();
    {
        std::lock_guard lock(job->mutex);
        if (job->starting) {
            // The starter ends the run itself once its connect returns.
            job->abandoned = true;
            job->starter.detach();
        }
    }
    if (job->starter.joinable()) {
        job->starter.join();
        if (job->started)
            job->run->Abandon();
    }
    for (std::size_t i = 0; i < m_pending.size(); ++i)
        if (m_pending[i]) {
            m_pending[i] = 0;
            m_results[i] = NotRunResult();
            ShowRow(i);
        }
    m_stopTimer->stop();
    UpdateButtons();
    ShowCounts();
    ShowDetail();
}

void CheckDlg::StopNow() {
    if (!m_job)
        return;
    Job& job = *m_job;
    job.run->Stop();
    const auto deadline = std::chrono::steady_clock::now() + kStopBound;
    bool started = false;
    {
        std::unique_lock lock(job.mutex);
        job.changed.wait_until(lock, deadline, [&job] { return !job.starting; });
        started = !job.starting && job.started;
    }
    if (started)
        job.run->WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero())));
    AbandonRun();
}

// --- the window ----------------------------------------------------------------------------

void CheckDlg::OpenCurrent() {
    const int index = CurrentIndex();
    if (index < 0 || !m_host.openModule)
        return;
    const std::filesystem::path path = m_plan->modules[static_cast<std::size_t>(index)].path;
    m_host.openModule(path.filename().string());
    if (Running())
        return;
    // The sheet may have changed the module: the next check takes the file as it is now.
    const std::vector<ModuleResult> old = m_results;
    const std::shared_ptr<const BatchPlan> before = m_plan;
    MakePlan();
    for (std::size_t i = 0; i < m_plan->modules.size(); ++i)
        for (std::size_t j = 0; j < before->modules.size(); ++j)
            if (before->modules[j].path == m_plan->modules[i].path) {
                m_results[i] = old[j];
                break;
            }
    FillRows();
    for (std::size_t i = 0; i < m_plan->modules.size(); ++i)
        if (m_plan->modules[i].path == path)
            m_list->setCurrentItem(m_items[i]);
    ApplyFilter();
    UpdateButtons();
    m_list->setFocus(Qt::OtherFocusReason);
}

void CheckDlg::Export() {
    if (Running() || m_results.empty())
        return;
    const QString chosen = ui::GetFileName(this, ui::FileDialogKind::Save, QString(),
                                           QStringLiteral("JUnit XML (*.xml);;CSV (*.csv)"), QStringLiteral("xml"));
    if (chosen.isEmpty())
        return;
    const bool csv = QFileInfo(chosen).suffix().compare(QStringLiteral("csv"), Qt::CaseInsensitive) == 0;
    const std::string text =
        csv ? CsvText(*m_plan, m_results) : JUnitXml(m_catalogue.path.filename().string(), *m_plan, m_results);
    if (const FileStatus written = WriteOutputFile(ToPath(chosen), text); !written)
        ui::ShowMessage(this, ui::FromGbk(written.error().Text()));
}

void CheckDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F5 && event->modifiers() == Qt::NoModifier) {
        CheckCurrent();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CheckDlg::reject() {
    StopNow();
    QDialog::reject();
}

void CheckDlg::closeEvent(QCloseEvent* event) {
    StopNow();
    QDialog::closeEvent(event);
}

} // namespace kestrel
