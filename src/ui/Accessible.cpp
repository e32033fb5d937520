#include "ui/Accessible.h"

#include <QLabel>

namespace kestrel::ui {

void NameUnlabelledField(QWidget* field, const QString& name) {
    field->setAccessibleName(name);
    QWidget* parent = field->parentWidget();
    if (!parent)
        return;
    // A sibling, as the accessibility layer looks for a field's labels among its siblings.
    auto* label = new QLabel(name, parent);
    label->setObjectName(QStringLiteral("unshownLabel"));
    label->hide();
    label->setBuddy(field);
    QObject::connect(field, &QObject::destroyed, label, &QObject::deleteLater);
}

} // namespace kestrel::ui
