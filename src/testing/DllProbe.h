#pragma once
// Whether a DLL module's library can be found and exports its function, read from the
// library's symbol table without loading it (loading would run the library's own code).
#include <filesystem>
#include <string>

namespace kestrel {

enum class DllProbeResult {
    Found,          // the library exports the function
    NoLibrary,      // no such file where the test would look
    NotALibrary,    // a file, but no 64-bit ELF shared object this program can read
    NoFunction,     // the library has no such exported function
    SymbolsUnknown, // the library carries no section table to look in
};

// library and function are GBK, as stored. A library name with a "/" is taken from folder
// (the module folder, where the test runs); a bare name is looked for in LD_LIBRARY_PATH and
// the system's library folders. found receives the file that was read.
DllProbeResult ProbeDllFunction(const std::filesystem::path& folder, const std::string& library,
                                const std::string& function, std::filesystem::path* found = nullptr);

} // namespace kestrel
