#include "ui/Accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <QTabBar>

#include <utility>

namespace kestrel::ui {

namespace {

const char* const kOwnTabsProperty = "kestrelOwnTabAccessibility";

// One tab of a bar. Qt's own tab reports itself focused whenever it is the current tab, so a
// screen reader hears a tab beside the field that really has the focus; this one is focused
// only while its bar has the focus.
class TabAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    TabAccessible(QTabBar* bar, int index) : m_bar(bar), m_index(index) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }
    bool isValid() const override { return m_bar && m_index < m_bar->count(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return parent() ? parent()->window() : nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_bar.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text kind) const override {
        if (!isValid() || kind != QAccessible::Name)
            return QString();
        const QString name = m_bar->accessibleTabName(m_index);
        return name.isEmpty() ? QString(m_bar->tabText(m_index)).remove(QLatin1Char('&')) : name;
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid())
            return QRect();
        const QRect tab = m_bar->tabRect(m_index);
        return QRect(m_bar->mapToGlobal(tab.topLeft()), tab.size());
    }
    QAccessible::Role role() const override { return QAccessible::PageTab; }
    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid()) {
            state.invalid = true;
            return state;
        }
        state.invisible = !m_bar->isVisible() || !m_bar->isTabVisible(m_index);
        state.disabled = !m_bar->isEnabled() || !m_bar->isTabEnabled(m_index);
        state.focusable = true;
        state.selectable = true;
        state.selected = m_index == m_bar->currentIndex();
        state.focused = state.selected && m_bar->hasFocus();
        return state;
    }

    QStringList actionNames() const override { return {QAccessibleActionInterface::pressAction()}; }
    void doAction(const QString& action) override {
        if (isValid() && action == QAccessibleActionInterface::pressAction())
            m_bar->setCurrentIndex(m_index);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QPointer<QTabBar> m_bar;
    int m_index;
};

// The bar: its tabs as children, named by the current tab as Qt's own bar is.
class TabBarAccessible : public QAccessibleWidget {
public:
    explicit TabBarAccessible(QTabBar* bar) : QAccessibleWidget(bar, QAccessible::PageTabList) {}
    ~TabBarAccessible() override {
        for (QAccessible::Id id : std::as_const(m_tabs))
            QAccessible::deleteAccessibleInterface(id);
    }
    QTabBar* Bar() const { return static_cast<QTabBar*>(object()); }
    int childCount() const override { return Bar()->count(); }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= Bar()->count())
            return nullptr;
        if (const auto found = m_tabs.constFind(index); found != m_tabs.constEnd())
            return QAccessible::accessibleInterface(*found);
        auto* tab = new TabAccessible(Bar(), index);
        m_tabs.insert(index, QAccessible::registerAccessibleInterface(tab));
        return tab;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        for (auto it = m_tabs.constBegin(); it != m_tabs.constEnd(); ++it)
            if (QAccessible::accessibleInterface(it.value()) == child)
                return it.key();
        return -1;
    }
    QAccessibleInterface* focusChild() const override {
        return Bar()->hasFocus() ? child(Bar()->currentIndex()) : nullptr;
    }
    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && Bar()->accessibleName().isEmpty())
            return QString(Bar()->tabText(Bar()->currentIndex())).remove(QLatin1Char('&'));
        return QAccessibleWidget::text(kind);
    }

private:
    mutable QHash<int, QAccessible::Id> m_tabs;
};

QAccessibleInterface* OwnTabsFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("QTabBar") && object && object->property(kOwnTabsProperty).toBool())
        return new TabBarAccessible(static_cast<QTabBar*>(object));
    return nullptr;
}

} // namespace

void FocusOnlyFocusedTab(QTabBar* bar) {
    static const bool installed = [] {
        QAccessible::installFactory(OwnTabsFactory);
        return true;
    }();
    Q_UNUSED(installed);
    bar->setProperty(kOwnTabsProperty, true);
}

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
