#include "editor/TopicDlg.h"

#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>

namespace kestrel {

TopicDlg::TopicDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("模块组"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(366, 181));

    auto* identifierLabel = new QLabel(QStringLiteral("标识："), this);
    identifierLabel->setGeometry(du.Rect(7, 9, 24, 8));
    m_identifierEdit = new ui::GbkLineEdit(10, this);
    m_identifierEdit->setGeometry(du.Rect(37, 7, 58, 12));
    auto* nameLabel = new QLabel(QStringLiteral("名称："), this);
    nameLabel->setGeometry(du.Rect(7, 28, 24, 8));
    m_nameEdit = new ui::GbkLineEdit(40, this);
    m_nameEdit->setGeometry(du.Rect(37, 26, 132, 12));
    auto* flowLabel = new QLabel(QStringLiteral("流程："), this);
    flowLabel->setGeometry(du.Rect(7, 47, 24, 8));
    m_flowEdit = new ui::GbkPlainTextEdit(this);
    // The labels name their fields for a screen reader.
    identifierLabel->setBuddy(m_identifierEdit);
    nameLabel->setBuddy(m_nameEdit);
    flowLabel->setBuddy(m_flowEdit);
    m_flowEdit->setGeometry(du.Rect(37, 46, 256, 128));
    m_flowEdit->setFont(ui::FixedFont());
    m_flowEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_flowEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_flowEdit->setTabChangesFocus(true);
    auto* ok = new QPushButton(QStringLiteral("&O.确认"), this);
    ok->setGeometry(du.Rect(309, 7, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&X.取消"), this);
    cancel->setGeometry(du.Rect(309, 24, 50, 14));
    auto* line = new QFrame(this);
    line->setFrameStyle(QFrame::VLine | QFrame::Sunken);
    line->setGeometry(du.X(302), du.Y(7), 2, du.Y(167));
    connect(ok, &QPushButton::clicked, this, &TopicDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &TopicDlg::reject);

    setTabOrder(m_identifierEdit, m_nameEdit);
    setTabOrder(m_nameEdit, m_flowEdit);
    setTabOrder(m_flowEdit, ok);
    setTabOrder(ok, cancel);
}

void TopicDlg::SetMode(Mode mode) {
    m_identifierEdit->setEnabled(mode == kNewGroup);
}

void TopicDlg::SetValues(const std::string& identifier, const std::string& name, const std::string& flow) {
    m_identifier = identifier;
    m_name = name;
    m_flow = flow;
    m_identifierEdit->SetGbkText(identifier);
    m_nameEdit->SetGbkText(name);
    m_flowEdit->SetGbkText(flow);
}

void TopicDlg::accept() {
    const std::string identifier = m_identifierEdit->GbkText();
    const std::string name = m_nameEdit->GbkText();
    if (identifier.empty() || name.empty())
        return;
    if (m_acceptCheck && !m_acceptCheck())
        return;
    m_identifier = identifier;
    m_name = name;
    // An untouched flow text goes back byte for byte, whatever its line breaks.
    if (m_flowEdit->document()->isModified())
        m_flow = m_flowEdit->GbkText();
    QDialog::accept();
}

} // namespace kestrel
