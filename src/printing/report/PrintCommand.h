#pragma once
// The editor's "打印" command: the module catalogue report of the open catalogue.
class QWidget;

namespace kestrel {

struct GroupCatalogue;

void PrintCatalogueReport(QWidget* parent, const GroupCatalogue& catalogue);

} // namespace kestrel
