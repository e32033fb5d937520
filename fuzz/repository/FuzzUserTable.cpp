// User file reader: never reads past the bytes or past the table's 100 records.
#include "accounts/UserTable.h"
#include "core/FixedText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    UserTable table;
    if (!ParseUserTableBytes(table, bytes))
        return 0;
    if (table.count < 0 || table.count > kMaxUsers || bytes.size() < 4 + 32 * static_cast<std::size_t>(table.count))
        std::abort();
    for (int i = 0; i < table.count; ++i) {
        if (FieldText(table.records[i].name).size() > sizeof table.records[i].name)
            std::abort();
        (void)FindUser(table, FieldText(table.records[i].name));
    }
    return 0;
}
