#include "testing/batch/BatchReport.h"

#include "testing/batch/XmlWriter.h"

#include <charconv>

namespace kestrel {

const char* VerdictWord(Verdict verdict) {
    switch (verdict) {
    case Verdict::kPassed:
        return "PASS";
    case Verdict::kFailed:
        return "FAIL";
    case Verdict::kError:
        return "ERROR";
    case Verdict::kNotRun:
        return "NOTRUN";
    }
    return "";
}

void BatchCounts::Add(const ModuleResult& result) {
    switch (result.verdict) {
    case Verdict::kPassed:
        ++passed;
        break;
    case Verdict::kFailed:
        ++failed;
        break;
    case Verdict::kError:
        ++errors;
        break;
    case Verdict::kNotRun:
        ++notRun;
        break;
    }
    seconds += result.seconds;
}

std::string SecondsText(double seconds) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed, 3);
    return std::string(buffer, end.ptr);
}

// Fields of a line are separated by two blanks, one line per module, so nothing in a field
// may break it.
std::string OneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            continue;
        out += byte < 0x20 || byte == 0x7F ? ' ' : c;
    }
    return out;
}

std::string ResultLine(const BatchModule& module, const ModuleResult& result) {
    return OneLine(module.shown) + "  " + OneLine(module.groupId) + "  " + VerdictWord(result.verdict) + "  " +
           std::to_string(result.code) + "  " + (result.message.empty() ? "-" : OneLine(result.message)) + "  " +
           SecondsText(result.seconds) + "s";
}

std::string SummaryText(const ModuleResult& result) {
    std::string text = OneLine(result.message);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text.empty() && result.verdict != Verdict::kPassed ? "Error code:" + std::to_string(result.code) : text;
}

std::string CountsLine(const BatchCounts& counts) {
    std::string line = std::to_string(counts.passed) + " passed, " + std::to_string(counts.failed) + " failed, " +
                       std::to_string(counts.errors) + " could not run";
    if (counts.notRun > 0)
        line += ", " + std::to_string(counts.notRun) + " not run";
    return line;
}

namespace {

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

// The rows a module wrote for its user, when it wrote more than the one that decided.
std::string RowsText(const ModuleResult& result) {
    if (result.rows.size() < 2)
        return {};
    std::string text = "rows written for the user (" + std::to_string(result.rows.size()) +
                       (result.rowsCut ? " kept, more were written" : "") + "):\n";
    for (const ErrorRow& row : result.rows)
        text += row.codeText + ": " + row.message + "\n";
    return text;
}

void WriteCounts(XmlWriter& writer, const BatchCounts& c) {
    writer.Attribute("tests", std::to_string(c.Total()));
    writer.Attribute("failures", std::to_string(c.failed));
    writer.Attribute("errors", std::to_string(c.errors));
    writer.Attribute("skipped", std::to_string(c.notRun));
    writer.Attribute("time", SecondsText(c.seconds));
}

} // namespace

std::string JUnitXml(const std::string& catalogueName, const BatchPlan& plan,
                     const std::vector<ModuleResult>& results) {
    XmlWriter writer;
    BatchCounts all;
    std::vector<BatchCounts> perGroup(plan.groups.size());
    for (std::size_t i = 0; i < plan.modules.size(); ++i) {
        all.Add(results[i]);
        perGroup[plan.modules[i].groupIndex].Add(results[i]);
    }
    writer.StartElement("testsuites");
    writer.Attribute("name", catalogueName);
    WriteCounts(writer, all);
    for (std::size_t g = 0; g < plan.groups.size(); ++g) {
        if (perGroup[g].Total() == 0)
            continue;
        const BatchGroup& group = plan.groups[g];
        writer.StartElement("testsuite");
        writer.Attribute("name", group.groupId);
        WriteCounts(writer, perGroup[g]);
        writer.StartElement("properties");
        writer.EmptyElement("property");
        writer.Attribute("name", "groupName");
        writer.Attribute("value", group.name);
        writer.EndElement();
        for (std::size_t i = 0; i < plan.modules.size(); ++i) {
            if (plan.modules[i].groupIndex != g)
                continue;
            const ModuleResult& result = results[i];
            const std::string rows = RowsText(result);
            writer.StartElement("testcase");
            writer.Attribute("classname", group.groupId);
            writer.Attribute("name", plan.modules[i].shown);
            writer.Attribute("time", SecondsText(result.seconds));
            switch (result.verdict) {
            case Verdict::kPassed:
                break;
            case Verdict::kFailed:
            case Verdict::kError:
                writer.StartElement(result.verdict == Verdict::kFailed ? "failure" : "error");
                writer.Attribute("message", SummaryText(result));
                writer.Attribute("type", std::to_string(result.code));
                writer.Characters(rows.empty() ? result.message : result.message + "\n\n" + rows);
                writer.EndElement();
                break;
            case Verdict::kNotRun:
                writer.EmptyElement("skipped");
                writer.Attribute("message", "not run");
                break;
            }
            if (!result.output.empty())
                writer.TextElement("system-out", result.output);
            else if (result.verdict == Verdict::kPassed && !rows.empty())
                writer.TextElement("system-out", rows);
            if (!result.errorOutput.empty())
                writer.TextElement("system-err", result.errorOutput);
            writer.EndElement();
        }
        writer.EndElement();
    }
    writer.EndElement();
    return writer.Finish();
}

std::string JUnitXmlWithoutResults(const std::string& catalogueName, const std::string& why) {
    XmlWriter writer;
    BatchCounts counts;
    counts.errors = why.empty() ? 0 : 1;
    writer.StartElement("testsuites");
    writer.Attribute("name", catalogueName);
    WriteCounts(writer, counts);
    if (!why.empty()) {
        writer.StartElement("testsuite");
        writer.Attribute("name", "kestrel-tool check");
        WriteCounts(writer, counts);
        writer.StartElement("testcase");
        writer.Attribute("classname", "kestrel-tool check");
        writer.Attribute("name", "start");
        writer.Attribute("time", SecondsText(0));
        writer.StartElement("error");
        writer.Attribute("message", OneLine(why));
        writer.Attribute("type", "2");
        writer.Characters(why);
        writer.EndElement();
        writer.EndElement();
        writer.EndElement();
    }
    writer.EndElement();
    return writer.Finish();
}

std::string CsvText(const BatchPlan& plan, const std::vector<ModuleResult>& results) {
    std::string csv = "file,group,result,code,message,seconds\r\n";
    for (std::size_t i = 0; i < plan.modules.size(); ++i) {
        const ModuleResult& result = results[i];
        csv += CsvField(plan.modules[i].shown) + "," + CsvField(plan.modules[i].groupId) + "," +
               VerdictWord(result.verdict) + "," + std::to_string(result.code) + "," + CsvField(result.message) + "," +
               SecondsText(result.seconds) + "\r\n";
    }
    return csv;
}

} // namespace kestrel
