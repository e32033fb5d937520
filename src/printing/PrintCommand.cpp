#include "printing/PrintCommand.h"

// Placeholder until the report library lands.
namespace kestrel {

void PrintCatalogueReport(QWidget*, const GroupCatalogue&) {}

} // namespace kestrel
