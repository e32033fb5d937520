#include "core/ProgramArguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kestrel;

namespace {

ProgramArguments Parse(std::vector<std::string> words, std::initializer_list<ProgramOption> known = {}) {
    words.insert(words.begin(), "program");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return ParseProgramArguments(static_cast<int>(words.size()), argv.data(), known);
}

} // namespace

TEST(ProgramArguments, NothingThatBeginsWithADashIsAnOperand) {
    for (const char* word : {"--help", "-h", "--x", "-x"}) {
        const ProgramArguments parsed = Parse({word});
        EXPECT_TRUE(parsed.operands.empty()) << word;
        EXPECT_TRUE(parsed.help || !parsed.error.empty()) << word;
    }
    // After "--" a name may begin with a dash; "-" alone is an operand.
    const ProgramArguments named = Parse({"-", "--", "--help", "-x"});
    EXPECT_FALSE(named.help);
    EXPECT_EQ(named.error, "");
    EXPECT_EQ(named.operands, (std::vector<std::string>{"-", "--help", "-x"}));
}

TEST(ProgramArguments, TheFirstMistakeIsReportedAndHelpStillAnswers) {
    const ProgramArguments parsed = Parse({"folder", "--bogus", "-q", "--help"});
    EXPECT_TRUE(parsed.help);
    EXPECT_EQ(parsed.error, "unknown option: --bogus");
    EXPECT_EQ(parsed.operands, std::vector<std::string>{"folder"});
}

TEST(ProgramArguments, ValuesAreNeverOptions) {
    const std::initializer_list<ProgramOption> known = {{"--demo"}, {"--library", true}};
    ProgramArguments parsed = Parse({"--library", "a.so", "--demo", "--library=b.so"}, known);
    EXPECT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.Has("--demo"));
    EXPECT_EQ(parsed.Value("--library"), "b.so");
    EXPECT_EQ(Parse({"--library", "-"}, known).Value("--library"), "-");

    EXPECT_EQ(Parse({"--library", "--demo"}, known).error, "option --library needs a value");
    EXPECT_EQ(Parse({"--library"}, known).error, "option --library needs a value");
    EXPECT_EQ(Parse({"--demo=yes"}, known).error, "option --demo takes no value");
    EXPECT_FALSE(Parse({"--library=x"}, known).Has("--demo"));
}

TEST(ProgramArguments, OperandCountsAreChecked) {
    ProgramArguments none = Parse({});
    none.ExpectOperands(1, "FOLDER");
    EXPECT_EQ(none.error, "missing FOLDER");
    ProgramArguments two = Parse({"a", "b"});
    two.ExpectOperands(1, "FOLDER");
    EXPECT_EQ(two.error, "too many arguments");
    // An earlier mistake is the one reported.
    ProgramArguments both = Parse({"--x"});
    both.ExpectOperands(1, "FOLDER");
    EXPECT_EQ(both.error, "unknown option: --x");
}
