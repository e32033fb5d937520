#include "testing/DllProbe.h"

#include "core/AtomicFile.h"
#include "core/Gbk.h"

#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <vector>

namespace kestrel {

namespace {

template <class T> bool ReadAt(const std::string& bytes, uint64_t at, T& value) {
    if (at > bytes.size() || bytes.size() - at < sizeof(T))
        return false;
    std::memcpy(&value, bytes.data() + at, sizeof(T));
    return true;
}

DllProbeResult FindSymbol(const std::string& bytes, const std::string& function) {
    Elf64_Ehdr header;
    if (!ReadAt(bytes, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_type != ET_DYN)
        return DllProbeResult::NotALibrary;
    if (header.e_shoff == 0 || header.e_shnum == 0 || header.e_shentsize != sizeof(Elf64_Shdr))
        return DllProbeResult::SymbolsUnknown;
    auto section = [&](uint32_t index, Elf64_Shdr& out) {
        return index < header.e_shnum && ReadAt(bytes, header.e_shoff + uint64_t{index} * sizeof(Elf64_Shdr), out);
    };
    for (uint32_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr symbols;
        Elf64_Shdr names;
        if (!section(i, symbols) || symbols.sh_type != SHT_DYNSYM || !section(symbols.sh_link, names) ||
            symbols.sh_entsize != sizeof(Elf64_Sym) || names.sh_offset > bytes.size() ||
            bytes.size() - names.sh_offset < names.sh_size)
            continue;
        const std::string_view table(bytes.data() + names.sh_offset, names.sh_size);
        for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= symbols.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            if (!ReadAt(bytes, symbols.sh_offset + at, symbol))
                break;
            if (symbol.st_shndx == SHN_UNDEF || symbol.st_name >= table.size())
                continue;
            const std::string_view name = table.substr(symbol.st_name);
            if (name.substr(0, name.find('\0')) == function)
                return DllProbeResult::Found;
        }
        return DllProbeResult::NoFunction;
    }
    return DllProbeResult::SymbolsUnknown;
}

std::vector<std::filesystem::path> SearchFolders() {
    std::vector<std::filesystem::path> folders;
    if (const char* paths = std::getenv("LD_LIBRARY_PATH")) {
        std::string_view rest(paths);
        while (!rest.empty()) {
            const std::size_t colon = rest.find(':');
            if (colon != 0)
                folders.emplace_back(std::string(rest.substr(0, colon)));
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    for (const char* folder : {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64", "/lib",
                               "/usr/lib", "/usr/local/lib"})
        folders.emplace_back(folder);
    return folders;
}

} // namespace

DllProbeResult ProbeDllFunction(const std::filesystem::path& folder, const std::string& library,
                                const std::string& function, std::filesystem::path* found) {
    if (library.empty())
        return DllProbeResult::NoLibrary;
    const std::filesystem::path name(GbkToUtf8(library));
    std::vector<std::filesystem::path> candidates;
    if (library.find('/') != std::string::npos)
        candidates.push_back(name.is_absolute() ? name : folder / name);
    else
        for (const auto& place : SearchFolders())
            candidates.push_back(place / name);
    for (const auto& candidate : candidates) {
        std::string bytes;
        // Libraries may be far larger than any stored file.
        if (!ReadWholeFile(candidate, bytes, std::uint64_t{1} << 30))
            continue;
        if (found)
            *found = candidate;
        return FindSymbol(bytes, function);
    }
    return DllProbeResult::NoLibrary;
}

} // namespace kestrel
