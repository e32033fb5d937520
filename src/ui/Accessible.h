#pragma once
// Names for fields that a screen reader would otherwise read by their value alone.
#include <QString>

class QWidget;

namespace kestrel::ui {

// Names a field that has no visible label. A combo box on Linux publishes its value as its
// name and is told apart by the label tied to it, so besides the accessible name the field gets
// a label of its own that is never shown.
void NameUnlabelledField(QWidget* field, const QString& name);

} // namespace kestrel::ui
