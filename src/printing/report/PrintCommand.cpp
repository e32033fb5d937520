#include "printing/report/PrintCommand.h"

#include "printing/report/ModuleReport.h"
#include "repository/Catalogue.h"
#include "ui/Seam.h"

#include <QDialog>

#include <memory>

namespace kestrel {

void PrintCatalogueReport(QWidget* parent, const GroupCatalogue& catalogue) {
    const std::string layout = DefaultReportLayoutPath().string();
    auto report = std::make_unique<ModuleReport>(layout.c_str(), nullptr);
    report->SetCatalogue(catalogue);
    // The library's preview and its message go through our modal seam like every other window.
    FormatPrn::UiHooks hooks;
    hooks.parent = parent;
    hooks.showMessage = [](QWidget* owner, const QString& text) {
        ui::ShowMessage(owner, text, QStringLiteral("错误"), ui::Icon::Warning);
    };
    hooks.execDialog = [](QDialog* dialog) { return ui::ExecDialog(dialog); };
    report->SetUiHooks(std::move(hooks));
    report->Run(); // what went wrong has been shown to the user already
}

} // namespace kestrel
