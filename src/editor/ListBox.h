#pragma once
// One of the editor's two lists, groups or modules: the keys, double clicks and Alt+Ctrl
// mouse gestures the main window acts on.
#include <QListWidget>
#include <QPoint>

namespace kestrel {

// One of the panel's lists. Keys that stand for commands are handed to the panel instead of
// moving around in the list.
class ListBox : public QListWidget {
    Q_OBJECT
public:
    ListBox(bool moduleList, QWidget* parent);

signals:
    void KeyCommand(int key);
    void FocusEntered();
    void DragDropped(QPoint globalPos);
    void RenameClicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void EndDrag();

    bool m_moduleList;
    bool m_armed = false;
    bool m_dragCursorShown = false;
    QPoint m_pressPos;
};

} // namespace kestrel
