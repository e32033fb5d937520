#pragma once
// "检查模块": the modules of a group (or of the whole catalogue) checked with their stored test
// values on the batch engine that kestrel-tool check uses, one row per module filling in as
// each finishes. It changes no module file and no module's state.
#include "repository/Catalogue.h"
#include "testing/batch/BatchPlan.h"
#include "testing/batch/BatchRun.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestrel {

class CheckDlg : public QDialog {
    Q_OBJECT
public:
    enum Column { kFileColumn, kGroupColumn, kResultColumn, kCodeColumn, kMessageColumn, kTimeColumn };

    // What the window takes from the main window: the data source of this call of the tool
    // (asked for at the first check, empty until then; it may hold a password and is never
    // written anywhere), and how to open a module in the sheet (by its file name, GBK).
    struct Host {
        std::string* connection = nullptr;
        std::function<void(const std::string& fileName)> openModule;
        int connections = 4;
        std::chrono::seconds timeout{600};
    };

    // groupIndexes: into catalogue.groups, in catalogue order.
    CheckDlg(const GroupCatalogue& catalogue, std::vector<int> groupIndexes, Host host, QWidget* parent = nullptr);
    ~CheckDlg() override;

    // The buttons' commands.
    void CheckAll();
    void CheckFailed();
    void CheckCurrent();
    void StopCheck();
    void Export();
    void OpenCurrent();

    bool Running() const { return m_job != nullptr; }
    // By plan index, as the reports take them.
    const std::vector<ModuleResult>& Results() const { return m_results; }
    const BatchPlan& Plan() const { return *m_plan; }
    // How many modules the last runs of this window started (for the re-check of failures).
    std::size_t LastRunSize() const { return m_lastRunSize; }

    QTreeWidget* List() const { return m_list; }
    QPlainTextEdit* Detail() const { return m_detail; }
    QProgressBar* Progress() const { return m_progress; }
    QLabel* TimeLeft() const { return m_timeLeft; }
    QLabel* Summary() const { return m_summary; }
    QCheckBox* FailuresOnly() const { return m_failuresOnly; }
    QPushButton* FailedButton() const { return m_failedButton; }
    QPushButton* AllButton() const { return m_allButton; }
    QPushButton* StopButton() const { return m_stopButton; }
    QPushButton* ExportButton() const { return m_exportButton; }
    QPushButton* CloseButton() const { return m_closeButton; }

    // "通过", "未通过", "无法运行", "未运行".
    static QString VerdictText(Verdict verdict);

    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Job;
    class Forwarder;

    void MakePlan();
    void FillRows();
    void Run(std::vector<std::size_t> selection);
    bool AskConnection();
    void Started(unsigned generation, const std::string& failure);
    void Finished(unsigned generation, std::size_t index, const ModuleResult& result);
    void Ended(unsigned generation);
    // Ends the run under way within a second: a driver that ignores the cancel is left to end
    // on its own, and the modules it had not finished are not run.
    void StopNow();
    void AbandonRun();
    void ShowRow(std::size_t index);
    void ShowDetail();
    void ShowCounts();
    void ApplyFilter();
    void UpdateButtons();
    int CurrentIndex() const;

    const GroupCatalogue& m_catalogue;
    std::vector<int> m_groupIndexes;
    Host m_host;
    std::shared_ptr<const BatchPlan> m_plan;
    std::vector<ModuleResult> m_results;
    std::vector<char> m_pending; // by plan index: part of the run under way, not finished yet
    std::vector<QTreeWidgetItem*> m_items;
    std::shared_ptr<Job> m_job;
    unsigned m_generation = 0;
    std::size_t m_runSize = 0;
    std::size_t m_runDone = 0;
    std::size_t m_lastRunSize = 0;
    QElapsedTimer m_runClock;
    QStringList m_notes; // what planning and the runs had to say about the whole check

    QTreeWidget* m_list;
    QPlainTextEdit* m_detail;
    QProgressBar* m_progress;
    QLabel* m_timeLeft;
    QLabel* m_summary;
    QCheckBox* m_failuresOnly;
    QPushButton* m_failedButton;
    QPushButton* m_allButton;
    QPushButton* m_stopButton;
    QPushButton* m_exportButton;
    QPushButton* m_closeButton;
    QTimer* m_stopTimer;
};

} // namespace kestrel
