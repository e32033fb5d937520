// The text form reader: any text either is refused or reads into a module and a catalogue
// whose own text form reads back to the same bytes; module and catalogue file bytes come back
// through the text form as the tool writes them.
#include "core/FixedText.h"
#include "repository/TextForm.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace kestrel;

template <std::size_t N> bool Terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

// Fields filled to the last byte without a zero do not fit the text form's limits.
bool FitsTheTextForm(const ModuleRecord& record) {
    const ModuleHeader& h = record.header;
    if (!Terminated(h.groupId) || !Terminated(h.title) || !Terminated(h.createdAt) || !Terminated(h.creator) ||
        !Terminated(h.modifiedAt) || !Terminated(h.modifier))
        return false;
    for (int i = 0; i < h.variableCount; ++i)
        if (!Terminated(record.variables[static_cast<std::size_t>(i)].name))
            return false;
    return true;
}

void TextRoundTrip(const std::string& text) {
    std::vector<TextFinding> findings;
    ModuleRecord record;
    if (ModuleFromText(text, std::string("SELECT 1"), "m.toml", "m.sql", record, findings)) {
        const ModuleText again = ModuleToText(record);
        ModuleRecord back;
        if (!ModuleFromText(again.fields, again.sql, "m.toml", "m.sql", back, findings) ||
            SerializeModule(back) != SerializeModule(record))
            std::abort();
    }
    GroupCatalogue catalogue;
    if (CatalogueFromText(text, "c.toml", catalogue, findings)) {
        GroupCatalogue back;
        if (!CatalogueFromText(CatalogueToText(catalogue), "c.toml", back, findings) ||
            SerializeCatalogue(back) != SerializeCatalogue(catalogue))
            std::abort();
    }
}

void CatalogueBytesRoundTrip(const std::string& bytes) {
    GroupCatalogue catalogue;
    if (!ParseCatalogueBytes(catalogue, bytes))
        return;
    for (int i = 0; i < catalogue.groupCount; ++i)
        if (!Terminated(catalogue.groups[static_cast<std::size_t>(i)].identifier) ||
            !Terminated(catalogue.groups[static_cast<std::size_t>(i)].name))
            return;
    GroupCatalogue back;
    std::vector<TextFinding> findings;
    if (!CatalogueFromText(CatalogueToText(catalogue), "c.toml", back, findings) ||
        SerializeCatalogue(back) != SerializeCatalogue(catalogue))
        std::abort();
}

void BytesRoundTrip(const std::string& bytes) {
    ModuleRecord record;
    if (!ParseModuleBytes(record, bytes) || !FitsTheTextForm(record))
        return;
    const ModuleText text = ModuleToText(record);
    ModuleRecord back;
    std::vector<TextFinding> findings;
    if (!ModuleFromText(text.fields, text.sql, "m.toml", "m.sql", back, findings) ||
        SerializeModule(back) != SerializeModule(record))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    TextRoundTrip(input);
    BytesRoundTrip(input);
    CatalogueBytesRoundTrip(input);
    return 0;
}
