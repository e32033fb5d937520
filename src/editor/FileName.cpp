#include "editor/FileName.h"

#include "repository/ModuleFile.h"
#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QPushButton>

namespace kestrel {

FileName::FileName(const std::filesystem::path& folder, QWidget* parent) : QDialog(parent), m_folder(folder) {
    setWindowTitle(QStringLiteral("模块文件名"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(167, 54));

    m_edit = new ui::GbkLineEdit(-1, this);
    m_edit->setGeometry(du.Rect(7, 20, 77, 12));
    m_edit->setAccessibleName(QStringLiteral("模块文件名")); // it has no label of its own
    auto* ok = new QPushButton(QStringLiteral("&O.确认"), this);
    ok->setGeometry(du.Rect(110, 7, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&X.取消"), this);
    cancel->setGeometry(du.Rect(110, 24, 50, 14));
    connect(ok, &QPushButton::clicked, this, &FileName::accept);
    connect(cancel, &QPushButton::clicked, this, &FileName::reject);
    setTabOrder(m_edit, ok);
    setTabOrder(ok, cancel);
}

void FileName::accept() {
    const std::optional<std::string> name = ui::ToGbk(m_edit->text());
    if (!name || !IsAcceptableModuleFileName(*name))
        return;
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(ModuleFilePath(m_folder, *name), error))) {
        ui::ShowMessage(this, QStringLiteral("文件已存在！"), QStringLiteral("提示"));
        return;
    }
    m_name = *name;
    QDialog::accept();
}

} // namespace kestrel
