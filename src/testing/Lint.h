#pragma once
// The lint: what would make a test run or the report fail, found before anything runs.
#include "core/Status.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

enum class LintLevel { Warning, Error };

struct LintFinding {
    std::string fileName; // GBK: a module file's bare name, or the catalogue's
    int line = 0;         // the SQL line of findings in the SQL text, else 0 (the file as a whole)
    LintLevel level = LintLevel::Error;
    std::string message; // UTF-8
};

// Findings of one module file of catalogue's folder (the group, the variables and their test
// values, the placeholders, the error table, a DLL module's library and function).
void LintModule(const ModuleRecord& record, const GroupCatalogue& catalogue, std::vector<LintFinding>& findings);

// Every ".kst" file of the catalogue's folder, in file-name order (letter case ignored, as the
// window lists modules): files that are not module
// files, names the tool would refuse, and LintModule's findings. Io when the catalogue or the
// folder cannot be read, Invalid when the catalogue is no catalogue (no findings then).
FileStatus LintCatalogue(const std::filesystem::path& cataloguePath, std::vector<LintFinding>& findings);

} // namespace kestrel
