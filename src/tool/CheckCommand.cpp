// kestrel-tool check: every module of a catalogue tested with its stored test values, as the
// property sheet's test would run it, for nightly runs and CI. Never asks, never changes a
// module file; every message goes to the line of its module.
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleScan.h"
#include "testing/ModuleTest.h"
#include "tool/ToolCommands.h"
#include "ui/GbkText.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace kestrel::tool {

namespace {

constexpr int kExitAllPassed = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitCannotWrite = 3;

struct CheckOptions {
    std::filesystem::path catalogue;
    std::string group; // GBK; empty: every group of the catalogue
    bool hasGroup = false;
    std::string connection;
    std::filesystem::path junit;
    std::filesystem::path csv;
};

struct ModuleResult {
    std::string fileName; // UTF-8 from here on
    std::string groupId;
    bool passed = false;
    int32_t code = -1;
    std::string message;     // the full message, as the property sheet would show it
    std::string failureText; // for JUnit: the module's ErrorMsg, or the engine's message
    double seconds = 0;
};

struct GroupResults {
    std::string groupId; // UTF-8
    std::string name;
    std::vector<ModuleResult> modules;
};

std::string OneLine(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r')
            continue;
        out += text[i] == '\n' ? ' ' : text[i];
    }
    return out;
}

bool ParseArguments(const QStringList& args, CheckOptions& options) {
    bool haveCatalogue = false;
    bool haveConnection = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        auto value = [&](QString& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        QString text;
        if (arg == QLatin1String("--group")) {
            if (!value(text))
                return false;
            auto gbk = ui::ToGbk(text);
            if (!gbk)
                return false;
            options.group = *gbk;
            options.hasGroup = true;
        } else if (arg == QLatin1String("--connect")) {
            if (!value(text))
                return false;
            options.connection = text.toStdString();
            haveConnection = true;
        } else if (arg == QLatin1String("--junit")) {
            if (!value(text))
                return false;
            options.junit = text.toStdString();
        } else if (arg == QLatin1String("--csv")) {
            if (!value(text))
                return false;
            options.csv = text.toStdString();
        } else if (arg.startsWith(QLatin1String("--")) || haveCatalogue) {
            return false;
        } else {
            options.catalogue = arg.toStdString();
            haveCatalogue = true;
        }
    }
    return haveCatalogue && haveConnection;
}

std::string XmlEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            break;
        default:
            // Control characters are not allowed in XML 1.0 at all.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                out += ' ';
            else
                out += c;
        }
    }
    return out;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

std::string Seconds(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
    return buffer;
}

std::string JUnitXml(const std::string& catalogueName, const std::vector<GroupResults>& groups) {
    int total = 0;
    int failures = 0;
    double time = 0;
    for (const GroupResults& group : groups)
        for (const ModuleResult& module : group.modules) {
            ++total;
            failures += module.passed ? 0 : 1;
            time += module.seconds;
        }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuites name=\"" + XmlEscaped(catalogueName) + "\" tests=\"" + std::to_string(total) +
           "\" failures=\"" + std::to_string(failures) + "\" time=\"" + Seconds(time) + "\">\n";
    for (const GroupResults& group : groups) {
        int groupFailures = 0;
        double groupTime = 0;
        for (const ModuleResult& module : group.modules) {
            groupFailures += module.passed ? 0 : 1;
            groupTime += module.seconds;
        }
        xml += "  <testsuite name=\"" + XmlEscaped(group.groupId) + "\" tests=\"" +
               std::to_string(group.modules.size()) + "\" failures=\"" + std::to_string(groupFailures) +
               "\" errors=\"0\" time=\"" + Seconds(groupTime) + "\">\n";
        xml += "    <properties><property name=\"groupName\" value=\"" + XmlEscaped(group.name) + "\"/></properties>\n";
        for (const ModuleResult& module : group.modules) {
            xml += "    <testcase classname=\"" + XmlEscaped(group.groupId) + "\" name=\"" +
                   XmlEscaped(module.fileName) + "\" time=\"" + Seconds(module.seconds) + "\"";
            if (module.passed) {
                xml += "/>\n";
                continue;
            }
            xml += ">\n      <failure message=\"" + XmlEscaped(module.failureText) + "\" type=\"" +
                   std::to_string(module.code) + "\">" + XmlEscaped(module.message) + "</failure>\n    </testcase>\n";
        }
        xml += "  </testsuite>\n";
    }
    xml += "</testsuites>\n";
    return xml;
}

std::string CsvText(const std::vector<GroupResults>& groups) {
    std::string csv = "file,group,result,code,message,seconds\r\n";
    for (const GroupResults& group : groups)
        for (const ModuleResult& module : group.modules)
            csv += CsvField(module.fileName) + "," + CsvField(module.groupId) + "," +
                   (module.passed ? "PASS" : "FAIL") + "," + std::to_string(module.code) + "," +
                   CsvField(module.message) + "," + Seconds(module.seconds) + "\r\n";
    return csv;
}

class Checker : private ModuleTestHost {
public:
    Checker(const CheckOptions& options, std::filesystem::path folder)
        : m_options(options), m_folder(std::move(folder)) {}

    // Opens the data source; false (with the driver's text on stderr) when it cannot.
    bool Connect() {
        const TestOutcome open = m_session.Open(m_options.connection);
        if (open.code == 0)
            return true;
        std::fprintf(stderr, "kestrel-tool check: cannot connect: %s\n", OneLine(GbkToUtf8(open.message.text)).c_str());
        return false;
    }

    ModuleResult Check(const std::string& fileName, const std::string& groupId) {
        const auto started = std::chrono::steady_clock::now();
        ModuleResult result;
        result.fileName = GbkToUtf8(fileName);
        result.groupId = GbkToUtf8(groupId);
        const TestOutcome outcome = Run(fileName);
        result.code = outcome.code;
        result.passed = outcome.code == 0 && !outcome.cancelled;
        if (outcome.message.present)
            result.message = GbkToUtf8(outcome.message.text);
        result.failureText = outcome.moduleMessage.empty() ? result.message : GbkToUtf8(outcome.moduleMessage);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    }

private:
    static TestOutcome Failure(const std::string& gbkText) {
        TestOutcome outcome;
        outcome.message.present = true;
        outcome.message.text = gbkText;
        return outcome;
    }

    TestOutcome Run(const std::string& fileName) {
        const FileStatus load = LoadModuleFile(m_record, m_folder, fileName);
        if (!load)
            return Failure(load.message.empty() ? Utf8ToGbkLossy("模块文件无法读取") : load.message);
        const ModuleTestResult result = RunModuleTest(ModuleUnderTestOf(m_record, m_folder), m_table, *this);
        // The one message of the tool's own (the README says so): the sheet fails a module whose
        // SQL names a placeholder it cannot fill without a word, but a line of a batch run that
        // nobody watches has to say why it failed. The run itself stays the sheet's.
        if (result.stage == TestStage::kPlaceholders)
            return Failure(Utf8ToGbkLossy("SQL 中有无效的变量占位符"));
        return result.outcome;
    }

    // A connection lost by an earlier module is opened again for this one.
    SqlTestSession* OpenSession(TestOutcome& failure) override {
        if (!m_session.IsOpen()) {
            failure = m_session.Open(m_options.connection);
            if (failure.code != 0)
                return nullptr;
        }
        return &m_session;
    }

    const CheckOptions& m_options;
    std::filesystem::path m_folder;
    ModuleRecord m_record;
    TestVariableTable m_table;
    SqlTestSession m_session;
};

} // namespace

int CheckCommand(const QStringList& args) {
    CheckOptions options;
    if (!ParseArguments(args, options)) {
        std::fputs("usage: kestrel-tool check CATALOGUE [--group ID] --connect CONNSTR [--junit FILE] [--csv FILE]\n",
                   stderr);
        return kExitUsage;
    }

    GroupCatalogue catalogue;
    const FileStatus loaded = LoadCatalogue(catalogue, options.catalogue);
    if (!loaded) {
        std::fprintf(stderr, "kestrel-tool check: %s: %s\n", options.catalogue.c_str(),
                     loaded.IsInvalid() ? ("not a group catalogue (" + GbkToUtf8(loaded.message) + ")").c_str()
                                        : GbkToUtf8(loaded.message).c_str());
        return kExitCannotStart;
    }
    std::vector<int> groupIndexes;
    for (int i = 0; i < catalogue.groupCount; ++i)
        if (!options.hasGroup || FieldText(catalogue.groups[static_cast<std::size_t>(i)].identifier) == options.group)
            groupIndexes.push_back(i);
    if (options.hasGroup && groupIndexes.empty()) {
        std::fprintf(stderr, "kestrel-tool check: no group %s in %s\n", GbkToUtf8(options.group).c_str(),
                     options.catalogue.c_str());
        return kExitCannotStart;
    }

    std::error_code error;
    const std::filesystem::path folder =
        std::filesystem::absolute(catalogue.Folder().empty() ? "." : catalogue.Folder(), error);
    Checker checker(options, folder);
    if (!checker.Connect())
        return kExitCannotStart;

    ModuleIndex index;
    std::vector<GroupResults> results;
    int passed = 0;
    int failed = 0;
    for (int i : groupIndexes) {
        const GroupRecord& group = catalogue.groups[static_cast<std::size_t>(i)];
        const std::string groupId = FieldText(group.identifier);
        GroupResults groupResults;
        groupResults.groupId = GbkToUtf8(groupId);
        groupResults.name = GbkToUtf8(FieldText(group.name));
        std::vector<ModuleListEntry> entries;
        const FileStatus listed = index.ListGroup(folder, groupId, entries);
        if (!listed) {
            std::fprintf(stderr, "kestrel-tool check: %s: %s\n", folder.c_str(), GbkToUtf8(listed.message).c_str());
            return kExitCannotStart;
        }
        std::sort(entries.begin(), entries.end(),
                  [](const ModuleListEntry& a, const ModuleListEntry& b) { return a.fileName < b.fileName; });
        for (const ModuleListEntry& entry : entries) {
            ModuleResult result = checker.Check(entry.fileName, groupId);
            (result.passed ? passed : failed) += 1;
            std::printf("%s  %s  %s  %d  %s  %ss\n", result.fileName.c_str(), result.groupId.c_str(),
                        result.passed ? "PASS" : "FAIL", static_cast<int>(result.code),
                        result.message.empty() ? "-" : OneLine(result.message).c_str(),
                        Seconds(result.seconds).c_str());
            std::fflush(stdout);
            groupResults.modules.push_back(std::move(result));
        }
        results.push_back(std::move(groupResults));
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);

    int exitCode = failed > 0 ? kExitSomeFailed : kExitAllPassed;
    auto write = [&](const std::filesystem::path& path, const std::string& text) {
        if (path.empty())
            return;
        const FileStatus written = WriteFileAtomic(path, text);
        if (!written) {
            std::fprintf(stderr, "kestrel-tool check: %s: %s\n", path.c_str(), GbkToUtf8(written.message).c_str());
            exitCode = kExitCannotWrite;
        }
    };
    write(options.junit, JUnitXml(options.catalogue.filename().string(), results));
    write(options.csv, CsvText(results));
    return exitCode;
}

} // namespace kestrel::tool
