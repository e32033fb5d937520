#include "editor/ListBox.h"

#include "editor/ListCellDelegate.h"
#include "ui/DialogUnits.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>

#include <cstdlib>

namespace kestrel {

namespace {

constexpr int kDragDistance = 3; // pixels the pointer moves before the drag cursor shows

bool DragModifiers(Qt::KeyboardModifiers modifiers) {
    return (modifiers & Qt::AltModifier) && (modifiers & Qt::ControlModifier);
}

QCursor DragCursor() {
    static const QCursor cursor(QPixmap(QStringLiteral(":/kestrel/drag.png")), 4, 4);
    return cursor;
}

} // namespace

QAction* CommandOfKey(const QWidget* window, int key, Qt::KeyboardModifiers modifiers) {
    if (!window)
        return nullptr;
    const QKeyCombination exact(modifiers & ~Qt::KeypadModifier, static_cast<Qt::Key>(key));
    QAction* byKey = nullptr;
    for (QAction* action : window->actions()) {
        if (!action->isEnabled())
            continue;
        for (const QKeySequence& shortcut : action->shortcuts()) {
            if (shortcut.count() != 1)
                continue;
            if (shortcut[0] == exact)
                return action;
            if (!byKey && shortcut[0].key() == key && shortcut[0].keyboardModifiers() == Qt::NoModifier)
                byKey = action;
        }
    }
    return byKey;
}

ListBox::ListBox(bool moduleList, QWidget* parent) : QListWidget(parent), m_moduleList(moduleList) {
    setFont(ui::FixedFont());
    setItemDelegate(new ListCellDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void ListBox::SetKeyCommands(QAction* enter, QAction* insert, QAction* remove) {
    m_enter = enter;
    m_insert = insert;
    m_remove = remove;
}

bool ListBox::event(QEvent* event) {
    // The window's shortcuts take their keys before this list sees them: a key of theirs
    // pressed here first makes this the list they act on.
    if (event->type() == QEvent::ShortcutOverride && CommandOfKey(window(), static_cast<QKeyEvent*>(event)->key()))
        emit WorkedIn();
    return QListWidget::event(event);
}

void ListBox::keyPressEvent(QKeyEvent* event) {
    QAction* command = nullptr;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        command = m_enter;
        break;
    case Qt::Key_Insert:
        command = m_insert;
        break;
    case Qt::Key_Delete:
        command = m_remove;
        break;
    default:
        // A window key that no shortcut took (held with a modifier, say).
        command = CommandOfKey(window(), event->key(), event->modifiers());
        break;
    }
    if (!command) {
        QListWidget::keyPressEvent(event);
        return;
    }
    emit WorkedIn();
    command->trigger();
}

void ListBox::focusInEvent(QFocusEvent* event) {
    emit WorkedIn();
    QListWidget::focusInEvent(event);
    // Come to by the keyboard, the list shows its focus on a line, and that line is the one
    // Enter, F3 and Delete act on. The focus coming back from a closed dialog selects nothing:
    // a second Delete after a line went must not take the next one.
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::TabFocusReason && reason != Qt::BacktabFocusReason && reason != Qt::ShortcutFocusReason)
        return;
    if (count() == 0 || !selectedItems().isEmpty())
        return;
    setCurrentRow(currentRow() < 0 ? 0 : currentRow(), QItemSelectionModel::ClearAndSelect);
}

void ListBox::mousePressEvent(QMouseEvent* event) {
    const bool dragKeys = DragModifiers(event->modifiers());
    if (m_moduleList && dragKeys && event->button() == Qt::RightButton) {
        // Rename only from the line that is already selected; the click selects nothing.
        QListWidgetItem* item = itemAt(event->position().toPoint());
        if (item && item->isSelected())
            emit RenameClicked();
        event->accept();
        return;
    }
    if (m_moduleList && dragKeys) {
        // Ctrl would toggle the line's selection; a drag press selects it like a plain click.
        QMouseEvent plain(event->type(), event->position(), event->scenePosition(), event->globalPosition(),
                          event->button(), event->buttons(), Qt::NoModifier, event->pointingDevice());
        QListWidget::mousePressEvent(&plain);
    } else {
        QListWidget::mousePressEvent(event);
    }
    if (m_moduleList && dragKeys && event->button() == Qt::LeftButton && itemAt(event->position().toPoint())) {
        m_armed = true;
        m_dragCursorShown = false;
        m_pressPos = event->position().toPoint();
    }
}

void ListBox::mouseMoveEvent(QMouseEvent* event) {
    if (!m_armed) {
        QListWidget::mouseMoveEvent(event);
        return;
    }
    // While a drag is armed the selection must stay on the dragged line.
    const QPoint delta = event->position().toPoint() - m_pressPos;
    if (!m_dragCursorShown && (std::abs(delta.x()) > kDragDistance || std::abs(delta.y()) > kDragDistance)) {
        QApplication::setOverrideCursor(DragCursor());
        m_dragCursorShown = true;
    }
    event->accept();
}

void ListBox::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_armed || event->button() != Qt::LeftButton) {
        QListWidget::mouseReleaseEvent(event);
        return;
    }
    // The list sees the release where the press was: a press on the selected line defers its
    // selection to the release, which must not land on the drop target.
    const QPointF pressAt(m_pressPos);
    QMouseEvent atPress(event->type(), pressAt, viewport()->mapToGlobal(pressAt), event->button(), event->buttons(),
                        Qt::NoModifier, event->pointingDevice());
    QListWidget::mouseReleaseEvent(&atPress);
    const QPoint global = event->globalPosition().toPoint();
    EndDrag();
    emit DragDropped(global);
}

void ListBox::mouseDoubleClickEvent(QMouseEvent* event) {
    QListWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton && itemAt(event->position().toPoint())) {
        emit WorkedIn();
        if (m_enter)
            m_enter->trigger();
    }
}

void ListBox::EndDrag() {
    if (m_dragCursorShown)
        QApplication::restoreOverrideCursor();
    m_dragCursorShown = false;
    m_armed = false;
}

} // namespace kestrel
