#pragma once
// One call of the export: load users, log in, run the editor, remember the catalogue.
#include <string>

namespace kestrel {

// Returns when the login was cancelled or the editor closed. Needs a QApplication.
void RunDesignSession();

// The editor step of the call: runs the main editor window modally for userName (as typed at
// the login), starting from lastFile, and returns the catalogue file in use when it closed.
// Defined with the editor, which builds on the accounts, not the other way round.
std::string RunModuleEditor(const std::string& userName, const std::string& lastFile);

} // namespace kestrel
