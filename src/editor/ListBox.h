#pragma once
// One of the editor's two lists, groups or modules: the keys, double clicks and Alt+Ctrl
// mouse gestures the main window acts on.
#include <QListWidget>
#include <QPoint>

class QAction;

namespace kestrel {

// The enabled action of window whose shortcut is key with modifiers; else the one whose
// shortcut is key alone, so a command's key runs it with Shift or Ctrl held as well; else nullptr.
QAction* CommandOfKey(const QWidget* window, int key, Qt::KeyboardModifiers modifiers = {});

// One of the panel's lists. Keys that stand for commands run them instead of moving around in
// the list; the window's commands then act on this list. Tabbed into, the list selects the line
// its focus shows when none is selected, so the commands act on what the user sees.
class ListBox : public QListWidget {
    Q_OBJECT
public:
    ListBox(bool moduleList, QWidget* parent);

    // What Enter (and a double click on a line), Insert and Delete run in this list.
    void SetKeyCommands(QAction* enter, QAction* insert, QAction* remove);

signals:
    // The focus came in, or a command key or a double click arrived: the window's commands
    // act on this list until another one is worked in.
    void WorkedIn();
    void DragDropped(QPoint globalPos);
    void RenameClicked();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void EndDrag();

    bool m_moduleList;
    QAction* m_enter = nullptr;
    QAction* m_insert = nullptr;
    QAction* m_remove = nullptr;
    bool m_armed = false;
    bool m_dragCursorShown = false;
    QPoint m_pressPos;
};

} // namespace kestrel
