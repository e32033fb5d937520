#include "editor/ModuleSheet.h"

// Placeholder until the property sheet lands: it closes at once, cancelled.
namespace kestrel {

ModuleSheet::ModuleSheet(SheetMode mode, ModuleRecord& record, ModuleSheetHost* host, QWidget* parent)
    : QDialog(parent), m_mode(mode), m_record(record), m_host(host) {
    setWindowTitle(QStringLiteral("模块"));
}

ModuleSheet::~ModuleSheet() = default;

} // namespace kestrel
