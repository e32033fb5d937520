#pragma once
// What a batch check writes about its modules: the result line of each, the closing counts,
// and the JUnit and CSV reports (UTF-8), the same bytes wherever the run came from.
#include "testing/batch/BatchPlan.h"
#include "testing/batch/BatchRun.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// "PASS", "FAIL", "ERROR", "NOTRUN".
const char* VerdictWord(Verdict verdict);

struct BatchCounts {
    int passed = 0;
    int failed = 0;
    int errors = 0;
    int notRun = 0;
    double seconds = 0;
    void Add(const ModuleResult& result);
    int Total() const { return passed + failed + errors + notRun; }
};

// Seconds with three decimals and a point, whatever the locale says.
std::string SecondsText(double seconds);
// The text on one line: no line break, tab or other control character.
std::string OneLine(std::string_view text);
// "file  group  VERDICT  code  message  seconds" (no line break).
std::string ResultLine(const BatchModule& module, const ModuleResult& result);
// The result's message on one line, as JUnit's message attribute holds it for every kind of
// result; "Error code:N" for a module that failed without a word.
std::string SummaryText(const ModuleResult& result);
// "N passed, N failed, N could not run[, N not run]" (no line break).
std::string CountsLine(const BatchCounts& counts);

// results: by plan index, one for each module of the plan.
std::string JUnitXml(const std::string& catalogueName, const BatchPlan& plan, const std::vector<ModuleResult>& results);
// The JUnit report of a run without module results: an empty suite, or with why, the reason
// the run could not start as an error of its own.
std::string JUnitXmlWithoutResults(const std::string& catalogueName, const std::string& why);
std::string CsvText(const BatchPlan& plan, const std::vector<ModuleResult>& results);

} // namespace kestrel
