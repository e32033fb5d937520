#include "support/Accessibility.h"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>
#include <QWidget>

#include <algorithm>

namespace kestrel::testsupport {

namespace {

QString LabelRelationText(QAccessibleInterface* control) {
    for (const auto& [label, relation] : control->relations(QAccessible::Label)) {
        const QString text = label->text(QAccessible::Name);
        if (!text.isEmpty())
            return text;
    }
    return QString();
}

bool Pressable(QAccessibleInterface* control) {
    QAccessibleActionInterface* actions = control->actionInterface();
    if (!actions)
        return false;
    const QStringList names = actions->actionNames();
    return names.contains(QAccessibleActionInterface::pressAction()) ||
           names.contains(QAccessibleActionInterface::toggleAction());
}

void Walk(QAccessibleInterface* node, std::vector<QAccessibleInterface*>& out, int depth) {
    // Deep enough for any dialog; a cycle in a broken tree must not hang the test.
    if (!node || !node->isValid() || depth > 40)
        return;
    const QAccessible::State state = node->state();
    if (state.invisible || state.disabled)
        return;
    if (depth > 0 && (state.focusable || Pressable(node)))
        out.push_back(node);
    for (int i = 0; i < node->childCount(); ++i)
        Walk(node->child(i), out, depth + 1);
}

QString Describe(QAccessibleInterface* control) {
    QString text = qAccessibleRoleString(control->role());
    if (QObject* object = control->object())
        text += QLatin1Char(' ') + QString::fromLatin1(object->metaObject()->className()) + QLatin1Char(' ') +
                object->objectName();
    else if (QAccessibleInterface* parent = control->parent(); parent && parent->object())
        text += QStringLiteral(" in ") + QString::fromLatin1(parent->object()->metaObject()->className()) +
                QLatin1Char(' ') + parent->object()->objectName();
    return text;
}

} // namespace

QString SpokenName(QAccessibleInterface* control) {
    if (!control)
        return QString();
    const QString label = LabelRelationText(control);
    if (control->role() == QAccessible::ComboBox)
        return label;
    const QString name = control->text(QAccessible::Name);
    if (!name.isEmpty())
        return name;
    // An empty cell is read by its column's header.
    if (QAccessibleTableCellInterface* cell = control->tableCellInterface())
        for (QAccessibleInterface* header : cell->columnHeaderCells())
            if (const QString text = header->text(QAccessible::Name); !text.isEmpty())
                return text;
    return label;
}

QString SpokenName(QWidget* widget) {
    return SpokenName(QAccessible::queryAccessibleInterface(widget));
}

QString LabelOf(QWidget* widget) {
    QAccessibleInterface* control = QAccessible::queryAccessibleInterface(widget);
    return control ? LabelRelationText(control).remove(QLatin1Char('&')) : QString();
}

std::vector<QAccessibleInterface*> OperableControls(QWidget* window) {
    std::vector<QAccessibleInterface*> controls;
    Walk(QAccessible::queryAccessibleInterface(window), controls, 0);
    return controls;
}

QStringList UnnamedControls(QWidget* window) {
    QStringList unnamed;
    for (QAccessibleInterface* control : OperableControls(window))
        if (SpokenName(control).trimmed().isEmpty())
            unnamed << Describe(control);
    return unnamed;
}

NamedCount CountNamedControls(QWidget* window) {
    NamedCount count;
    for (QAccessibleInterface* control : OperableControls(window)) {
        ++count.total;
        if (!SpokenName(control).trimmed().isEmpty())
            ++count.named;
    }
    return count;
}

TabWalk TabCycle(QWidget* window, bool backwards, const QKeySequence& leaveKey, int limit) {
    TabWalk walk;
    QWidget* start = QApplication::focusWidget();
    if (!start || start->window() != window->window()) {
        walk.trap = QStringLiteral("no focus in the window");
        return walk;
    }
    const Qt::KeyboardModifiers direction = backwards ? Qt::ShiftModifier : Qt::NoModifier;
    QWidget* current = start;
    for (int step = 0; step < limit; ++step) {
        QTest::keyClick(current, Qt::Key_Tab, direction);
        QWidget* next = QApplication::focusWidget();
        if (next == current) {
            const QKeyCombination leave = leaveKey[0];
            QTest::keyClick(current, leave.key(), leave.keyboardModifiers() | direction);
            next = QApplication::focusWidget();
        }
        if (!next || next == current) {
            walk.trap = next
                            ? SpokenName(next) + QLatin1Char(' ') + QString::fromLatin1(next->metaObject()->className())
                            : QStringLiteral("focus lost");
            return walk;
        }
        walk.widgets.push_back(next);
        walk.names << SpokenName(next);
        if (next == start)
            return walk;
        current = next;
    }
    walk.trap = QStringLiteral("no way back to the start within %1 steps").arg(limit);
    return walk;
}

QStringList NotReachedByTab(QWidget* window, const TabWalk& walk) {
    QStringList missed;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (!(widget->focusPolicy() & Qt::TabFocus) || !widget->isVisibleTo(window) || !widget->isEnabled() ||
            widget->window() != window->window() || widget->focusProxy())
            continue;
        if (std::find(walk.widgets.begin(), walk.widgets.end(), widget) == walk.widgets.end())
            missed << QString::fromLatin1(widget->metaObject()->className()) + QLatin1Char(' ') + widget->objectName() +
                          QLatin1Char(' ') + SpokenName(widget);
    }
    return missed;
}

bool ShowActive(QWidget* window) {
    window->show();
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

} // namespace kestrel::testsupport
