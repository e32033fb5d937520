#pragma once
// What a screen reader is told: names for fields it would otherwise read by their value alone,
// and tabs that claim the focus only when they have it.
#include <QString>

class QTabBar;
class QWidget;

namespace kestrel::ui {

// Names a field that has no visible label. A combo box on Linux publishes its value as its
// name and is told apart by the label tied to it, so besides the accessible name the field gets
// a label of its own that is never shown.
void NameUnlabelledField(QWidget* field, const QString& name);

// Makes bar's tabs claim the focused state only while the bar has the focus (Qt's own tabs
// claim it whenever they are current, beside the field that really has it). Applies to this
// bar alone, never to the tab bars of the host program.
void FocusOnlyFocusedTab(QTabBar* bar);

} // namespace kestrel::ui
