#pragma once
// One reading of a command line for every program we build: -h/--help answers with the usage,
// an option the program does not know is refused with exit 64, and nothing that begins with
// '-' is ever taken for a file or folder ("--" ends the options for a name that does).
// Header only: the module runner links nothing of ours.
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {

// A command line the program does not take (EX_USAGE).
inline constexpr int kExitUsage = 64;

struct ProgramOption {
    std::string_view name; // with its dashes: "--demo"
    bool takesValue = false;
};

struct ProgramArguments {
    bool help = false;
    std::string error; // why the command line is refused; empty when it is not
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands;

    bool Has(std::string_view name) const {
        for (const auto& option : options)
            if (option.first == name)
                return true;
        return false;
    }
    // Refuses a command line without exactly count operands; what: how the usage names them.
    void ExpectOperands(std::size_t count, const char* what) {
        if (error.empty() && operands.size() != count)
            error = operands.size() < count ? std::string("missing ") + what : "too many arguments";
    }
    // The value given last.
    std::optional<std::string> Value(std::string_view name) const {
        std::optional<std::string> value;
        for (const auto& option : options)
            if (option.first == name)
                value = option.second;
        return value;
    }
};

// argv[1..]: "-" alone is an operand (standard input or output, where a program takes it);
// "--name=value" gives a value-taking option its value in one word.
inline ProgramArguments ParseProgramArguments(int argc, char* const* argv,
                                              std::initializer_list<ProgramOption> known = {}) {
    ProgramArguments parsed;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            parsed.operands.emplace_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "-h" || word == "--help") {
            parsed.help = true;
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string_view name = word.substr(0, equals);
        const ProgramOption* option = nullptr;
        for (const ProgramOption& candidate : known)
            if (candidate.name == name)
                option = &candidate;
        if (!option) {
            if (parsed.error.empty())
                parsed.error = "unknown option: " + std::string(word);
            continue;
        }
        if (!option->takesValue) {
            if (equals != std::string_view::npos && parsed.error.empty())
                parsed.error = "option " + std::string(name) + " takes no value";
            parsed.options.emplace_back(name, std::string());
            continue;
        }
        if (equals != std::string_view::npos) {
            parsed.options.emplace_back(name, word.substr(equals + 1));
        } else if (i + 1 < argc && argv[i + 1][0] != '\0' &&
                   (argv[i + 1][0] != '-' || std::string_view(argv[i + 1]) == "-")) {
            parsed.options.emplace_back(name, argv[++i]);
        } else if (parsed.error.empty()) {
            // The next word is an option, not this one's value: "--library --demo" loads no
            // library named "--demo".
            parsed.error = "option " + std::string(name) + " needs a value";
        }
    }
    return parsed;
}

// Help first (a help request is answered even beside a mistake), then a refused command line:
// the exit code to end with, or nothing when the program goes on.
inline std::optional<int> AnswerUsage(const ProgramArguments& arguments, const char* program, const char* usage) {
    if (arguments.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (!arguments.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", program, arguments.error.c_str());
        std::fputs(usage, stderr);
        return kExitUsage;
    }
    return std::nullopt;
}

} // namespace kestrel
