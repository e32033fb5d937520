#include "repository/ModuleOrder.h"

#include "core/AsciiCase.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"

namespace kestrel {

std::string ModuleListText(std::string_view fileName, const ModuleHeader& header) {
    return FormatModuleLine(fileName, header.flags, FieldView(header.title));
}

std::string ModuleOrderKey(std::string_view line) {
    return GbkLowerLatin(line);
}

} // namespace kestrel
