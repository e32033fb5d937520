// The one order of module lists: the window's list, check, lint and grep.
#include "repository/ModuleOrder.h"

#include "core/FixedText.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct Listed {
    std::string name;
    ModuleHeader header{};
};

Listed Module(std::string name, std::string_view title = {}, int32_t flags = 0) {
    Listed module{std::move(name)};
    SetFieldText(module.header.title, title);
    module.header.flags = flags;
    return module;
}

std::vector<std::string> Sorted(std::vector<Listed> modules) {
    SortInListOrder(modules, [](const Listed& m) { return ModuleListText(m.name, m.header); });
    std::vector<std::string> names;
    for (const Listed& m : modules)
        names.push_back(m.name);
    return names;
}

} // namespace

TEST(ModuleOrder, FileNamesWithLetterCaseIgnoredDigitsByTheirBytesChineseLast) {
    // GBK: 审计 C9F3 BCC6, 丄 8141 and 乤 8161 (trail bytes 'A' and 'a', which are no letters).
    const std::vector<std::string> expected = {"a.kst",        "B.kst",        "b2.kst",
                                               "M10.kst",      "m9.kst",       "z.kst",
                                               "\x81\x41.kst", "\x81\x61.kst", "\xC9\xF3\xBC\xC6.kst"};
    std::vector<Listed> modules;
    for (auto it = expected.rbegin(); it != expected.rend(); ++it)
        modules.push_back(Module(*it, "T"));
    EXPECT_EQ(Sorted(modules), expected);
}

TEST(ModuleOrder, NamesEqualButForCaseGoByTheRestOfTheirLineThenAsTheyCame) {
    // The line goes on with the required mark, the state and the title.
    EXPECT_EQ(Sorted({Module("abc.kst", "zeta"), Module("ABC.KST", "alpha")}),
              (std::vector<std::string>{"ABC.KST", "abc.kst"}));
    EXPECT_EQ(Sorted({Module("abc.kst", "Same"), Module("ABC.KST", "same"), Module("Abc.kst", "SAME")}),
              (std::vector<std::string>{"abc.kst", "ABC.KST", "Abc.kst"}));
    // "√ " (A1CC) before "□ " (A1F5): a required module first.
    EXPECT_EQ(Sorted({Module("x.kst", "t"), Module("X.kst", "t", kFlagRequired)}),
              (std::vector<std::string>{"X.kst", "x.kst"}));
}

TEST(ModuleOrder, LongNamesAndNamesThatArePrefixesKeepFileNameOrder) {
    EXPECT_EQ(Sorted({Module("a_long_module_name.kst", "a"), Module("a.kst", "z"), Module("a_long.kst", "b")}),
              (std::vector<std::string>{"a.kst", "a_long.kst", "a_long_module_name.kst"}));
}

TEST(ModuleOrder, KeyFoldsOnlyLatinLetters) {
    EXPECT_EQ(ModuleOrderKey("AbC.KST \xA1\xCC [OK] Title"), "abc.kst \xA1\xCC [ok] title");
    EXPECT_NE(ModuleOrderKey("\x81\x41"), ModuleOrderKey("\x81\x61"));
}
