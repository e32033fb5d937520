#include "editor/ModuleInfo1.h"

#include "ui/Accessible.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>

namespace kestrel {

namespace {
QLabel* MakeLabel(QWidget* parent, const ui::DialogUnits& du, const char* text, QRect dlu) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(du.Rect(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
    return label;
}

QLabel* MakeStamp(QWidget* parent, const ui::DialogUnits& du, int id, QRect dlu) {
    auto* stamp = new QLabel(parent);
    stamp->setObjectName(QStringLiteral("stamp%1").arg(id));
    stamp->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    stamp->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    stamp->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stamp->setGeometry(du.Rect(dlu.x(), dlu.y(), dlu.width(), dlu.height()));
    return stamp;
}
} // namespace

ModuleInfo1::ModuleInfo1(QWidget* parent) : QWidget(parent) {
    setFont(ui::DialogFont());
    const ui::DialogUnits du(font());
    resize(du.Size(366, 200));

    QLabel* titleLabel = MakeLabel(this, du, "标题：", {2, 6, 25, 10});
    m_title = new ui::GbkLineEdit(kTitleBytes, this);
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setGeometry(du.Rect(33, 5, 182, 12 + 2));

    m_required = new QCheckBox(QStringLiteral("必选模块"), this);
    m_required->setObjectName(QStringLiteral("required"));
    m_required->setGeometry(du.Rect(223, 5, 52, 12));

    m_state = new QComboBox(this);
    m_state->setObjectName(QStringLiteral("state"));
    m_state->addItems({QStringLiteral("未完成"), QStringLiteral("测试"), QStringLiteral("测试通过")});
    m_state->setGeometry(du.Rect(278, 5, 88, 12 + 2));
    m_state->setEnabled(false);

    QLabel* typeLabel = MakeLabel(this, du, "类型：", {2, 27, 25, 10});
    m_type = new QComboBox(this);
    m_type->setObjectName(QStringLiteral("type"));
    m_type->addItems({QStringLiteral("SQL模块"), QStringLiteral("DLL模块")});
    m_type->setGeometry(du.Rect(33, 26, 51, 12 + 2));

    m_dllLabel = MakeLabel(this, du, "DLL文件名：", {91, 27, 46, 10});
    m_dllName = new ui::GbkLineEdit(-1, this);
    m_dllName->setObjectName(QStringLiteral("dllName"));
    m_dllName->setGeometry(du.Rect(139, 26, 76, 12 + 2));
    m_functionLabel = MakeLabel(this, du, "出口函数名：", {229, 27, 49, 10});
    m_function = new ui::GbkLineEdit(-1, this);
    m_function->setObjectName(QStringLiteral("function"));
    m_function->setGeometry(du.Rect(278, 26, 88, 12 + 2));

    QLabel* descriptionLabel = MakeLabel(this, du, "说明：", {2, 49, 25, 10});
    m_description = new ui::GbkPlainTextEdit(this);
    m_description->setObjectName(QStringLiteral("description"));
    m_description->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_description->setFont(ui::FixedFont());
    m_description->setTabChangesFocus(true);
    m_description->setGeometry(du.Rect(33, 47, 333, 137));

    QLabel* createdLabel = MakeLabel(this, du, "建立：", {33, 190, 24, 9});
    m_created = MakeStamp(this, du, kIdCreated, {57, 188, 139, 12});
    QLabel* modifiedLabel = MakeLabel(this, du, "修改：", {203, 190, 24, 9});
    m_modified = MakeStamp(this, du, kIdModified, {227, 188, 139, 12});

    // The labels name their fields for a screen reader; the state list has none on screen.
    titleLabel->setBuddy(m_title);
    typeLabel->setBuddy(m_type);
    m_dllLabel->setBuddy(m_dllName);
    m_functionLabel->setBuddy(m_function);
    descriptionLabel->setBuddy(m_description);
    createdLabel->setBuddy(m_created);
    modifiedLabel->setBuddy(m_modified);
    ui::NameUnlabelledField(m_state, QStringLiteral("状态"));
    ShowDllFields(false);
    LoadFields();

    connect(m_title, &QLineEdit::textChanged, this, [this] { ReportIfShown(kIdTitle, ChangeKind::TextChanged); });
    connect(m_dllName, &QLineEdit::textChanged, this, [this] { ReportIfShown(kIdDllName, ChangeKind::TextChanged); });
    connect(m_function, &QLineEdit::textChanged, this, [this] { ReportIfShown(kIdFunction, ChangeKind::TextChanged); });
    connect(m_description, &QPlainTextEdit::textChanged, this,
            [this] { ReportIfShown(kIdDescription, ChangeKind::TextChanged); });
    connect(m_required, &QCheckBox::clicked, this, [this] { ReportIfShown(kIdRequired, ChangeKind::Clicked); });
    // activated: only the user's picks, never the program's setCurrentIndex.
    connect(m_type, &QComboBox::activated, this, &ModuleInfo1::OnTypePicked);
}

void ModuleInfo1::LoadFields() {
    m_created->setText(ui::FromGbk(m_fields.createdStamp));
    m_required->setChecked(m_fields.required != 0);
    m_type->setCurrentIndex(m_fields.type == kDllModule ? kDllModule : kSqlModule);
    m_title->SetByteLimit(kTitleBytes);
    m_title->SetGbkText(m_fields.title);
    m_description->SetGbkText(m_fields.description);
    m_dllName->SetGbkText(m_fields.dllName);
    m_function->SetGbkText(m_fields.function);
    m_modified->setText(ui::FromGbk(m_fields.modifiedStamp));
    m_state->setCurrentIndex(m_fields.state >= kStateUnfinished && m_fields.state <= kStatePassed ? m_fields.state
                                                                                                  : kStateUnfinished);
}

void ModuleInfo1::ReadFields() {
    m_fields.createdStamp = ui::ToGbkChecked(m_created->text());
    m_fields.required = m_required->isChecked() ? 1 : 0;
    m_fields.type = m_type->currentIndex() == kDllModule ? kDllModule : kSqlModule;
    m_fields.title = m_title->GbkText();
    m_fields.description = m_description->GbkText();
    m_fields.dllName = m_dllName->GbkText();
    m_fields.function = m_function->GbkText();
    m_fields.modifiedStamp = ui::ToGbkChecked(m_modified->text());
    m_fields.state = m_state->currentIndex() < 0 ? kStateUnfinished : m_state->currentIndex();
}

void ModuleInfo1::ShowDllFields(bool show) {
    m_dllLabel->setVisible(show);
    m_dllName->setVisible(show);
    m_functionLabel->setVisible(show);
    m_function->setVisible(show);
}

bool ModuleInfo1::DllFieldsShown() const {
    return !m_dllName->isHidden();
}

void ModuleInfo1::FocusFirstField() {
    // The page itself takes no focus: a screen reader would report it as focused beside the title.
    m_title->setFocus();
}

void ModuleInfo1::ReportIfShown(int id, ChangeKind kind) {
    // Filling the page before the sheet is on screen is no change.
    if (isVisible())
        emit ControlChanged(id, kind);
}

void ModuleInfo1::OnTypePicked() {
    ReadFields();
    ShowDllFields(m_fields.type == kDllModule);
    emit ControlChanged(kIdType, ChangeKind::SelectionChanged);
}

void ModuleInfo1::keyPressEvent(QKeyEvent* event) {
    // Enter and Esc reach the page only when its control did not use them; neither may
    // close the sheet from here.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

} // namespace kestrel
