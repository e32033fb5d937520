#pragma once
// The module property sheet "模块": tabs 基本信息 / 变量 / SQL, and test, store, close.
#include "core/Status.h"
#include "repository/ModuleFile.h"
#include "testing/Variables.h"

#include <QDialog>

#include <filesystem>
#include <memory>
#include <vector>

class QFrame;
class QPushButton;
class QTabBar;

namespace kestrel {

class CSpreadSheet;
class ModuleInfo1;
class ModuleInfo3;
class SqlTestSession;
enum class ChangeKind;

enum SheetMode { kNewModuleMode = 0, kEditMode = 1 };

// What the main window lends the sheet: saving the current module in edit mode, and the
// module folder (working directory of DLL tests).
class ModuleSheetHost {
public:
    virtual ~ModuleSheetHost() = default;
    // SaveModuleFile on the current module with the logged-in user; shows its own error box.
    virtual FileStatus SaveCurrentModule() = 0;
    virtual std::filesystem::path ModuleFolder() const = 0;
};

class ModuleSheet : public QDialog {
    Q_OBJECT
public:
    // Tab indexes.
    enum { kInfoTab = 0, kVariablesTab = 1, kSqlTab = 2 };
    // The record holds at most this many variables, each name at most this many bytes.
    static constexpr int kMaxNameBytes = 40;

    ModuleSheet(SheetMode mode, ModuleRecord& record, ModuleSheetHost* host, QWidget* parent = nullptr);
    ~ModuleSheet() override;

    // Store button: pages and grid into the record; in edit mode saved through the host.
    // False when nothing was stored (state rule, a refused record, a failed save).
    bool StoreModule();
    // Close button, Esc, close box.
    void CancelSheet();
    // Test button: state "测试", the run, then "测试通过" or "测试未通过！".
    void TestModule();
    // One test run on what the pages and the grid show now; true when it ran cleanly and
    // the user confirmed the result.
    bool RunModuleTest();

    SheetMode Mode() const { return m_mode; }
    // Edit mode: the sheet closed on "放弃所作修改？" Yes. The record is back to what was last
    // written (or read), and the caller must write nothing more of this sheet.
    bool DiscardedChanges() const { return m_discarded; }
    ModuleInfo1* Info1() const { return m_info1; }
    ModuleInfo3* Info3() const { return m_info3; }
    CSpreadSheet* Grid() const { return m_grid; }
    QTabBar* Tabs() const { return m_tabs; }
    QPushButton* TestButton() const { return m_testButton; }
    QPushButton* StoreButton() const { return m_storeButton; }
    QPushButton* CloseButton() const { return m_closeButton; }
    bool SqlSessionOpen() const;

public slots:
    void reject() override;
    void done(int result) override;

private:
    void LoadFromRecord();
    void OnTabChanged(int index);
    void OnPageChanged(int id, ChangeKind kind);
    void OnTypeChanged();
    void OnStateChanged(int index);
    void MarkChanged();
    void RefreshKnownNames();
    void ShowKnownNames(const std::vector<VariableRow>& rows);
    // The open cell editor's text into its cell, without the refresh that a user's edit gives.
    void CommitGridEdit();
    bool CheckGridFits(const std::vector<QString>& names);
    void PreviewSubstitutedSql();

    class TestHost;

    SheetMode m_mode;
    ModuleRecord& m_record;
    // Edit mode: the record as last read or written; a store whose save failed or was declined
    // left edits in m_record that a discard must take back.
    ModuleRecord m_written;
    ModuleSheetHost* m_host;
    QTabBar* m_tabs;
    QFrame* m_tabFrame;
    ModuleInfo1* m_info1;
    ModuleInfo3* m_info3;
    CSpreadSheet* m_grid;
    QPushButton* m_testButton;
    QPushButton* m_storeButton;
    QPushButton* m_closeButton;
    TestVariableTable m_table;                 // filled only while a test runs
    std::unique_ptr<SqlTestSession> m_session; // opened at the first SQL test
    bool m_committing = false;
    bool m_discarded = false;
};

} // namespace kestrel
