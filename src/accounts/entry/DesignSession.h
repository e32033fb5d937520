#pragma once
// One call of the export: load users, log in, run the editor, remember the catalogue.
namespace kestrel {

// Returns when the login was cancelled or the editor closed. Needs a QApplication.
void RunDesignSession();

} // namespace kestrel
