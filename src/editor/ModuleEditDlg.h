#pragma once
// "模块定义工具": the main window. Start view (new/open catalogue, users, exit) and catalogue
// view (groups and modules, print, back), two tool bars, the list panel and a status bar.
#include "core/FileStamp.h"
#include "editor/ModuleSheet.h"
#include "repository/Catalogue.h"
#include "repository/FileOps.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleScan.h"

#include <QDialog>

#include <filesystem>
#include <string>

class QAction;
class QLabel;
class QStackedLayout;
class QStatusBar;
class QTimer;
class QToolButton;

namespace kestrel {

class ListPanel;
struct ModuleListLine;

class ModuleEditDlg : public QDialog, public ModuleSheetHost {
    Q_OBJECT
public:
    explicit ModuleEditDlg(QWidget* parent = nullptr);
    ~ModuleEditDlg() override;

    void SetUserName(const std::string& name);
    const std::string& UserName() const { return m_userName; }
    // The catalogue path the open dialog starts from (GBK, at most 99 bytes).
    void SetLastFile(const std::string& path);
    const std::string& LastFile() const { return m_lastFile; }

    bool IsCatalogueView() const { return m_catalogueView; }
    const GroupCatalogue& Catalogue() const { return m_catalogue; }
    ListPanel* Panel() const { return m_panel; }
    // The commands of each view, in the order of its tool bar's buttons, which show them.
    QToolButton* StartButton(int index) const { return m_startButtons[index]; }
    QToolButton* CatalogueButton(int index) const { return m_catalogueButtons[index]; }
    QAction* StartAction(int index) const { return m_startActions[index]; }
    QAction* CatalogueAction(int index) const { return m_catalogueActions[index]; }
    QLabel* StatusPane(int index) const { return m_panes[index]; }

    // ModuleSheetHost
    FileStatus SaveCurrentModule() override;
    std::filesystem::path ModuleFolder() const override { return m_folder; }

public slots:
    // The commands of the tool bars and their keys; in the catalogue view new, open and delete
    // act on the group list when it was the list last worked in, else on the module list.
    void NewCommand();
    void OpenCommand();
    void DeleteCommand();
    void ExitCommand();
    void PrintCommand();
    // Searches the catalogue's modules and opens the chosen hit's module, on the SQL line.
    void SearchCommand();
    // Checks every module of the current group (wholeCatalogue: of every group) in "检查模块".
    void CheckCommand(bool wholeCatalogue = false);
    void reject() override; // Esc means exit

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowCatalogueView(bool on);
    void ShowFileError(const FileStatus& status);
    // Asks before a write would replace a catalogue or module file that changed on disk since
    // it was read; false when the user keeps the file. The question stands over parent, or
    // over this window.
    bool MayOverwriteCatalogue(QWidget* parent = nullptr);
    FileStatus SaveEditedModule();

    void NewCatalogue();
    void OpenCatalogue();
    void FillModuleList();

    // After a group step: the catalogue's new stamp once it is written, the file's error when
    // it could not be. Whether the step was done.
    bool FinishGroupStep(const GroupStepResult& result);
    void NewGroup();
    void EditGroup();
    void DeleteSelectedGroup();
    void NewModule();
    void EditModule();
    // Edits the module of the list's row; a sqlLine above 0 opens the sheet on the SQL page with
    // the cursor on that line.
    void EditModuleAt(int row, int sqlLine);
    // Edits the module of the file (GBK) from its own group's list, as the user would open it.
    void EditModuleNamed(const std::string& fileName, int sqlLine);
    void DeleteModule();
    void RenameModule();
    void MoveModuleWithinList(int from, int to);
    void MoveModuleIntoGroup(int group);

    std::string SelectedGroupId() const;
    ModuleListLine ModuleLineOf(const ModuleRecord& record) const;

    std::string m_userName;
    std::string m_lastFile;
    GroupCatalogue m_catalogue;
    FileStamp m_catalogueStamp;     // the catalogue file as last read or written here
    std::filesystem::path m_folder; // the module files' folder: the catalogue's folder
    ModuleRecord m_module;
    FileStamp m_moduleStamp; // the module file being edited, as last read or written here
    ModuleIndex m_index;
    bool m_catalogueView = false;
    bool m_closing = false;
    // The data source of the window's checks for this call of the tool; never written anywhere.
    std::string m_checkConnection;

    QWidget* m_startBar;
    QWidget* m_catalogueBar;
    QAction* m_startActions[4];
    QAction* m_catalogueActions[7];
    QAction* m_checkCatalogueAction; // Shift+F7: no button of its own
    QToolButton* m_startButtons[4];
    QToolButton* m_catalogueButtons[7];
    QStackedLayout* m_work;
    QLabel* m_picture;
    ListPanel* m_panel;
    QStatusBar* m_statusBar;
    QLabel* m_panes[4];
    QTimer* m_clock;
};

// The editor step of one call of the export: runs the main window modally for userName (as
// typed at the login), starting from lastFile, and returns the catalogue file in use when it
// closed.
std::string RunModuleEditor(const std::string& userName, const std::string& lastFile);

} // namespace kestrel
