#pragma once
// Test-time variables: the table handed to SQL substitution and to DLL module functions.
#include "core/Result.h"
#include "kestrel/ModuleFunction.h"
#include "repository/ModuleFile.h" // the remark and test-value lists
#include "testing/TestOutcome.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// The values are those of the module header, which module authors see too.
constexpr int kMaxTestVariables = KESTREL_MAX_TEST_VARIABLES;

enum VariableAttribute { kImport = KESTREL_IMPORT, kConfig = KESTREL_CONFIG, kReport = KESTREL_REPORT };
enum VariableType {
    kByte = KESTREL_BYTE,
    kShort = KESTREL_SHORT,
    kInt = KESTREL_INT,
    kDouble = KESTREL_DOUBLE,
    kChar = KESTREL_CHAR
};

// One grid row in neutral form: what the variables grid shows, or what a stored module holds.
// attribute and type are the low byte of what the drop-down reported (values outside 0-2 /
// 0-4 mean nothing was chosen); length is column 4 read as a whole number.
struct VariableRow {
    std::string name; // GBK
    int attribute = 0;
    int type = 0;
    int32_t length = 0;
    std::string remark;    // column 5
    std::string testValue; // column 6
};

// Whether a row's attribute and type name real items (a drop-down with nothing chosen does
// not): rows without stay out of a test run.
bool RowHasChoices(const VariableRow& row);
// Whether a placeholder may name the row: an Import or Config variable with its choices made.
bool RowFillsPlaceholders(const VariableRow& row);

// Owner of the entries and of the "char" buffers: releasing cannot be forgotten.
class TestVariableTable {
public:
    TestVariableTable();
    ~TestVariableTable();
    TestVariableTable(const TestVariableTable&) = delete;
    TestVariableTable& operator=(const TestVariableTable&) = delete;

    // Writing through the entries drops the name look-up (it is built again when next needed).
    TestVariable* Entries();
    const TestVariable* Entries() const { return m_entries.get(); }
    int32_t Count() const { return m_count; }

    // Internal: the look-up of the Import and Config values by name that the check, the
    // substitution and FormatVariableValue use. Built once for a filled table, so one test
    // run (the Report expansions, the SQL check and substitution, the user number) builds it
    // once; not for concurrent first use from two threads.
    struct Lookup;
    const Lookup& Names() const;

    // Internal: used by the filling routines. Append hands out the next cleared entry (callers
    // check Count() against kMaxTestVariables first); AllocateText gives entry a zero-filled
    // buffer of length bytes (nullptr for length <= 0 or no memory); Release frees everything.
    TestVariable& Append();
    char* AllocateText(TestVariable& entry, int32_t length);
    void Release();

private:
    std::unique_ptr<TestVariable[]> m_entries; // room for kMaxTestVariables
    int32_t m_count = 0;
    struct FreeText {
        void operator()(char* text) const;
    };
    std::vector<std::unique_ptr<char, FreeText>> m_buffers; // calloc'ed "char" buffers
    mutable std::unique_ptr<Lookup> m_lookup;
};

// Outcome of filling the table: the refusal is a GBK message with its caption ("错误").
using FillResult = Result<void, TestMessage>;

// Whole-number reading: blanks, optional sign, digits up to the first other character.
int64_t ReadWholeNumber(const std::string& text);

// Fills table from rows (first pass: names, types, values; second pass: Report expansion).
// Refuses more than kMaxTestVariables rows, buffers too small for their text ("变量长度不足：" + name) and
// Report remarks with a bad placeholder ("报表变量错：" + name); nothing is ever written past
// a buffer. On failure the table is released.
FillResult FillTestVariables(TestVariableTable& table, const std::vector<VariableRow>& rows);
// FillTestVariables for one test run: rows whose attribute or type has nothing chosen stay out.
FillResult FillChosenVariables(TestVariableTable& table, std::vector<VariableRow> rows);

// Rows of a stored module: Import/Config test values from the test-value list, remarks from
// the remark list (LookupListValue).
struct ModuleRecord;
std::vector<VariableRow> RowsOfModule(const ModuleRecord& record);
// The reverse, as the sheet stores its grid: every row as it stands (at most kMaxVariables,
// which the caller checks), variableCount, the remark and test-value lists rebuilt in row
// order from the rows' non-empty texts, and remarkLength.
void StoreRowsInModule(ModuleRecord& record, const std::vector<VariableRow>& rows);

bool CheckPlaceholders(const std::string& text, const TestVariableTable& table);
// The first placeholder that CheckPlaceholders refuses (none: the check passes). name is its
// name, or for a "[?:" without "]" the rest of the text.
struct UnfillablePlaceholder {
    bool unclosed = false;
    std::string name;
};
std::optional<UnfillablePlaceholder> FirstUnfillablePlaceholder(const std::string& text,
                                                                const TestVariableTable& table);
std::string SubstitutePlaceholders(const std::string& text, const TestVariableTable& table);
std::string FormatVariableValue(const std::string& name, const TestVariableTable& table);

} // namespace kestrel
