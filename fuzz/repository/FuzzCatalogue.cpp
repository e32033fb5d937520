// Catalogue reader and flow table: never reads outside the bytes; an accepted catalogue writes
// back to bytes that read the same; a stored flow text comes back unchanged.
#include "core/FixedText.h"
#include "repository/Catalogue.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    GroupCatalogue catalogue;
    catalogue.Reset("fuzz.MGP");
    if (!ParseCatalogueBytes(catalogue, bytes))
        return 0;
    GroupCatalogue again;
    if (!ParseCatalogueBytes(again, SerializeCatalogue(catalogue)) || again.groupCount != catalogue.groupCount ||
        again.flowTable != catalogue.flowTable)
        std::abort();
    for (int i = 0; i < catalogue.groupCount; ++i) {
        const std::string id = FieldText(catalogue.groups[i].identifier);
        if (id != FieldText(again.groups[i].identifier) ||
            FieldText(catalogue.groups[i].name) != FieldText(again.groups[i].name))
            std::abort();
        (void)GetFlowText(catalogue.flowTable, id);
    }
    // A new identifier gets its text back, whatever the table held before. (An identifier
    // already stored twice keeps its second entry, which then comes first: not checked.)
    const std::string id = "\x01#9";
    if (catalogue.flowTable.find(id) == std::string::npos) {
        FlowTable table = catalogue.flowTable;
        const std::string text = catalogue.flowTable.substr(0, 64);
        SetFlowText(table, id, text);
        if (GetFlowText(table, id) != text)
            std::abort();
    }
    return 0;
}
