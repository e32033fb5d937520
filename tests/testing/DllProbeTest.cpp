// The lint's look into a module library without loading it: every cut or doctored copy of a
// real library gets an answer (never a read past its end), and a bare name is looked up along
// LD_LIBRARY_PATH first, as the loader does.
#include "testing/DllProbe.h"

#include "support/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <elf.h>

namespace kestrel {
namespace {

using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::WriteBytes;

DllProbeResult Probe(const TempDir& dir, const std::string& bytes, const std::string& function) {
    WriteBytes(dir / "lib.so", bytes);
    return ProbeDllFunction(dir.Path(), "./lib.so", function);
}

TEST(DllProbe, DoctoredAndCutLibrariesGetAnAnswer) {
    TempDir dir;
    const std::string library = ReadBytes(TEST_MODULES_PATH);
    ASSERT_GT(library.size(), sizeof(Elf64_Ehdr));
    EXPECT_EQ(Probe(dir, library, "ReturnFive"), DllProbeResult::Found);
    EXPECT_EQ(Probe(dir, library, "NoSuchFunction"), DllProbeResult::NoFunction);

    Elf64_Ehdr header;
    std::memcpy(&header, library.data(), sizeof header);
    auto with = [&](auto change) {
        Elf64_Ehdr changed = header;
        change(changed);
        std::string bytes = library;
        std::memcpy(bytes.data(), &changed, sizeof changed);
        return bytes;
    };
    EXPECT_EQ(Probe(dir, with([](Elf64_Ehdr& h) { h.e_type = ET_EXEC; }), "ReturnFive"), DllProbeResult::NotALibrary);
    EXPECT_EQ(Probe(dir, with([](Elf64_Ehdr& h) { h.e_ident[EI_CLASS] = ELFCLASS32; }), "ReturnFive"),
              DllProbeResult::NotALibrary);
    EXPECT_EQ(Probe(dir, with([](Elf64_Ehdr& h) { h.e_ident[EI_DATA] = ELFDATA2MSB; }), "ReturnFive"),
              DllProbeResult::NotALibrary);
    EXPECT_EQ(Probe(dir, with([](Elf64_Ehdr& h) { h.e_shoff = 0; }), "ReturnFive"), DllProbeResult::SymbolsUnknown);
    EXPECT_EQ(Probe(dir, with([](Elf64_Ehdr& h) { h.e_shentsize = 12; }), "ReturnFive"),
              DllProbeResult::SymbolsUnknown);
    // A section table far past the end, or one that claims sections without end.
    EXPECT_EQ(Probe(dir, with([](Elf64_Ehdr& h) { h.e_shoff = ~Elf64_Off{0} - 8; }), "ReturnFive"),
              DllProbeResult::SymbolsUnknown);
    EXPECT_EQ(Probe(dir, with([](Elf64_Ehdr& h) { h.e_shnum = 0xffff; }), "ReturnFive"),
              DllProbeResult::Found); // the real symbol table still comes first

    // Cut anywhere: an answer each time, and "found" only while the symbols are all there.
    int found = 0;
    for (std::size_t size = 0; size < library.size(); size += library.size() / 97 + 1) {
        const DllProbeResult result = Probe(dir, library.substr(0, size), "ReturnFive");
        found += result == DllProbeResult::Found ? 1 : 0;
        EXPECT_NE(result, DllProbeResult::NoLibrary) << size;
    }
    EXPECT_LT(found, 97);
    EXPECT_EQ(Probe(dir, "", "ReturnFive"), DllProbeResult::NotALibrary);
}

TEST(DllProbe, ABareNameIsLookedUpAlongTheLibraryPathFirst) {
    TempDir dir;
    std::filesystem::create_directories(dir / "libs");
    WriteBytes(dir / "libs" / "libkestrel_probe_test.so", ReadBytes(TEST_MODULES_PATH));
    const char* previous = std::getenv("LD_LIBRARY_PATH");
    const std::string saved = previous ? previous : "";
    ::setenv("LD_LIBRARY_PATH", ("::" + (dir / "nowhere").string() + ":" + (dir / "libs").string()).c_str(), 1);
    std::filesystem::path where;
    const DllProbeResult result = ProbeDllFunction(dir.Path(), "libkestrel_probe_test.so", "CountCalls", &where);
    const DllProbeResult missing = ProbeDllFunction(dir.Path(), "libkestrel_probe_none.so", "CountCalls");
    if (previous)
        ::setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
    else
        ::unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(result, DllProbeResult::Found);
    EXPECT_EQ(where, dir / "libs" / "libkestrel_probe_test.so");
    EXPECT_EQ(missing, DllProbeResult::NoLibrary);
    EXPECT_EQ(ProbeDllFunction(dir.Path(), "", "CountCalls"), DllProbeResult::NoLibrary);
}

} // namespace
} // namespace kestrel
