#pragma once
// ListPanel: the catalogue view's two lists, groups on the left and the selected group's
// modules on the right, with the keys, double clicks and Alt+Ctrl drags the window acts on.
#include "editor/ListBox.h"

#include <QPoint>
#include <QWidget>

#include <string>
#include <vector>

class QAction;
class QLabel;

namespace kestrel {

// A module line with the file it shows (both GBK). The name is kept beside the text: a name
// with a blank in it cannot be read back from the line.
struct ModuleListLine {
    std::string fileName;
    std::string text;
};

class ListPanel : public QWidget {
    Q_OBJECT
public:
    explicit ListPanel(QWidget* parent = nullptr);

    ListBox* GroupList() const { return m_groups; }
    ListBox* ModuleList() const { return m_modules; }
    // Whether the group list was the list last worked in (tool buttons take no focus).
    bool GroupListActive() const { return m_groupActive; }
    void FocusGroupList();
    // The window's new, open/edit and delete commands: Insert, Enter (or a double click) and
    // Delete in either list run them, on that list.
    void SetCommands(QAction* newCommand, QAction* openCommand, QAction* deleteCommand);

    // Group lines (GBK) in catalogue order; selection and signals untouched by these.
    void SetGroupLines(const std::vector<std::string>& lines);
    void AppendGroupLine(const std::string& line);
    void ReplaceGroupLine(int row, const std::string& line);
    void RemoveGroupLine(int row);
    void SelectGroup(int row); // -1 selects nothing; emits nothing
    int SelectedGroup() const;

    // Module lines (GBK), kept in order of their text with letter case ignored.
    void SetModuleLines(std::vector<ModuleListLine> lines);
    int AddModuleLine(const ModuleListLine& line);               // sorted insert; returns the row
    void ReplaceModuleLine(int row, const ModuleListLine& line); // in place, not re-sorted
    void RemoveModuleLine(int row);
    void ClearModuleLines();
    void SelectModule(int row);
    int SelectedModule() const;
    std::string ModuleLine(int row) const;
    std::string ModuleFileName(int row) const;
    int ModuleCount() const;

signals:
    void GroupSelectionChanged(int row);
    void MoveModuleInList(int from, int to);
    void MoveModuleToGroup(int group);
    void RenameModule();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnDrop(QPoint globalPos);

    QLabel* m_groupCaption;
    QLabel* m_moduleCaption;
    ListBox* m_groups;
    ListBox* m_modules;
    bool m_groupActive = true;
};

} // namespace kestrel
