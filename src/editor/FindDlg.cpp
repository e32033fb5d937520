#include "editor/FindDlg.h"

#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"

#include <QPushButton>

namespace kestrel {

FindDlg::FindDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("查找"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(251, 47));

    m_edit = new ui::GbkLineEdit(-1, this);
    m_edit->setGeometry(du.Rect(7, 16, 173, 12));
    m_edit->setAccessibleName(QStringLiteral("查找内容")); // it has no label of its own
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(du.Rect(194, 7, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setGeometry(du.Rect(194, 26, 50, 14));
    connect(ok, &QPushButton::clicked, this, &FindDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &FindDlg::reject);
    setTabOrder(m_edit, ok);
    setTabOrder(ok, cancel);
}

void FindDlg::SetText(const std::string& text) {
    m_text = text;
    m_edit->SetGbkText(text);
}

void FindDlg::accept() {
    m_text = m_edit->GbkText();
    QDialog::accept();
}

} // namespace kestrel
