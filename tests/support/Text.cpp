#include "support/Text.h"

#include "core/Gbk.h"

#include <cstdio>
#include <cstdlib>

namespace kestrel::testsupport {

std::string Gbk(std::string_view utf8) {
    std::optional<std::string> gbk = Utf8ToGbk(utf8);
    if (!gbk) {
        std::fprintf(stderr, "test text has no GBK form: %.*s\n", static_cast<int>(utf8.size()), utf8.data());
        std::abort();
    }
    return *std::move(gbk);
}

std::string Utf8(std::string_view gbk) {
    return GbkToUtf8(gbk);
}

} // namespace kestrel::testsupport
