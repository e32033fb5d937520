#pragma once
// What a screen reader and a keyboard-only user meet in a window: the accessible tree as
// QAccessible gives it to the platform bridge, and the path Tab takes through the window.
// Checking a new window takes one line each:
//     QCOMPARE(UnnamedControls(&window), QStringList{});
//     const TabWalk walk = TabCycle(&window);
//     QCOMPARE(walk.names, (QStringList{"保密字：", "O.确定", "X.取消", "用户名："}));
//     QCOMPARE(NotReachedByTab(&window, walk), QStringList{});
#include <QKeySequence>
#include <QString>
#include <QStringList>

#include <vector>

class QAccessibleInterface;
class QWidget;

namespace kestrel::testsupport {

// The name a screen reader says for an accessible object. A combo box on Linux publishes its
// value as its name; what names the field is its label, so there the label counts; elsewhere
// the label is the fallback for an object that has no name of its own, and an empty cell is
// read by its column's header.
QString SpokenName(QAccessibleInterface* control);
QString SpokenName(QWidget* widget);
// The text of the label tied to widget (QLabel::setBuddy), without its '&', or an empty string.
QString LabelOf(QWidget* widget);

// Every object of window's accessible tree that a user can reach: focusable or pressable, not
// hidden and not disabled. Objects without a widget of their own (tabs, list lines, cells)
// are included; the subtrees of hidden objects are not walked.
std::vector<QAccessibleInterface*> OperableControls(QWidget* window);
// One line for each operable control without a spoken name ("role class objectName"); an
// empty list when everything is named.
QStringList UnnamedControls(QWidget* window);
// How many operable controls have a spoken name, and how many there are.
struct NamedCount {
    int named = 0;
    int total = 0;
};
NamedCount CountNamedControls(QWidget* window);

// The focus walk of Tab (or Shift+Tab) through a shown window, from the widget that has the
// focus until the focus comes back to it. A widget that keeps the focus on Tab (a grid moving
// between its cells) is left with leaveKey; one that keeps it even then is a keyboard trap.
struct TabWalk {
    QStringList names;             // SpokenName of each widget reached, the starting one last
    std::vector<QWidget*> widgets; // the same widgets
    QString trap;                  // the widget the focus could not leave, or empty
};
TabWalk TabCycle(QWidget* window, bool backwards = false,
                 const QKeySequence& leaveKey = QKeySequence(Qt::ControlModifier | Qt::Key_Tab), int limit = 60);
// The widgets of window that take the focus by Tab, are shown and enabled, and that walk never
// reached ("class objectName name"); an empty list when Tab reaches every control.
QStringList NotReachedByTab(QWidget* window, const TabWalk& walk);

// Shows window, makes it the active window and waits for that; false when it never got active.
bool ShowActive(QWidget* window);

} // namespace kestrel::testsupport
