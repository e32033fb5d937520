#pragma once
// The error table that every SQL test empties and reads back, and the one rule about how
// module SQL may name it.
#include <cstddef>
#include <string_view>

namespace kestrel {

inline constexpr std::string_view kErrorTableName = "KSTError";

// Where module SQL first names the error table with a qualifier in front of it
// (db.KSTError, "dbo"."KSTError", [x].[KSTError], `x`.`KSTError`; letter case ignored),
// outside comments and string literals; npos when it never does. A qualified name reaches
// another table than the one the test empties and reads, so the test sees no result.
std::size_t FindQualifiedErrorTable(std::string_view sql);

} // namespace kestrel
