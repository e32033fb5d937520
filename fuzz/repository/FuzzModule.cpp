// Module file reader: never reads outside the bytes, and what it accepts writes back to bytes
// that read the same.
#include "core/FixedText.h"
#include "repository/ModuleFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ModuleRecord record;
    if (!ParseModuleBytes(record, bytes))
        return 0;
    ModuleRecord again;
    if (!ParseModuleBytes(again, SerializeModule(record)))
        std::abort();
    if (again.body != record.body || again.description != record.description || again.remarks != record.remarks ||
        again.testValues != record.testValues || again.header.variableCount != record.header.variableCount ||
        FieldText(again.header.title) != FieldText(record.header.title) ||
        FieldText(again.header.groupId) != FieldText(record.header.groupId))
        std::abort();
    for (int i = 0; i < record.header.variableCount; ++i)
        if (FieldText(again.variables[i].name) != FieldText(record.variables[i].name) ||
            again.variables[i].length != record.variables[i].length)
            std::abort();
    return 0;
}
