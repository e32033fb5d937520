#include "testing/Variables.h"

#include "core/Clock.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/ModuleFile.h"
#include "testing/Placeholders.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>

namespace kestrel {

namespace {

const std::string& CaptionError() {
    static const std::string text = Utf8ToGbkLossy("错误");
    return text;
}

Fail<TestMessage> Refusal(std::string message) {
    return Fail(TestMessage{.text = std::move(message), .caption = CaptionError()});
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

double ReadDecimalNumber(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end && IsBlank(*p))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // from_chars takes no sign of its own and ignores the locale, so "3.14" reads the same in a
    // host whose locale writes decimal commas.
    if (p < end && (*p == '+' || *p == '-'))
        return 0.0;
    double value = 0.0;
    const auto result = std::from_chars(p, end, value, std::chars_format::general);
    if (result.ec == std::errc::invalid_argument)
        return 0.0;
    return negative ? -value : value;
}

bool IsValueAttribute(const TestVariable& entry) {
    return entry.attribute == kImport || entry.attribute == kConfig;
}

// The text form of an entry's value; false for a type that has none.
bool AppendValueText(const TestVariable& entry, std::string& out) {
    char buffer[64];
    std::to_chars_result result{};
    switch (entry.type) {
    case kByte:
        result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<unsigned>(entry.value.byteValue));
        break;
    case kShort:
        result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int>(entry.value.shortValue));
        break;
    case kInt:
        result = std::to_chars(buffer, buffer + sizeof buffer, entry.value.intValue);
        break;
    case kDouble: {
        // Fixed point with exactly two decimals, rounded; independent of the locale.
        result = std::to_chars(buffer, buffer + sizeof buffer, entry.value.doubleValue, std::chars_format::fixed, 2);
        if (result.ec != std::errc()) {
            // Larger than the buffer: take the long way round.
            std::string big(400, '\0');
            auto r = std::to_chars(big.data(), big.data() + big.size(), entry.value.doubleValue,
                                   std::chars_format::fixed, 2);
            out.append(big.data(), r.ptr);
            return true;
        }
        break;
    }
    case kChar: {
        if (entry.length > 0)
            out += FixedTextView(entry.value.text, static_cast<std::size_t>(entry.length));
        return true;
    }
    default:
        return false;
    }
    out.append(buffer, result.ptr);
    return true;
}

// The clock is read anew for every placeholder, but the local time is worked out again only
// when the second has changed: a text with thousands of time placeholders stays cheap.
class TimeOfDay {
public:
    std::string_view Now() {
        const std::time_t now = kestrel::Now();
        if (now != m_second || m_text[0] == 0) {
            m_second = now;
            tm local{};
            localtime_r(&m_second, &local);
            std::strftime(m_text, sizeof m_text, "%H:%M:%S", &local);
        }
        return std::string_view(m_text, 8);
    }

private:
    time_t m_second = 0;
    char m_text[16] = {};
};

// Look-up of the value variables by name, built once per filled table: for each distinct name
// of an Import or Config entry, the text that the last such entry with a known type gives
// (FormatVariableValue's rule), worked out once. The names are views of the table's entries.
class NameIndex {
public:
    explicit NameIndex(const TestVariableTable& table) {
        std::unordered_map<std::string_view, const TestVariable*> winners;
        const TestVariable* entries = table.Entries();
        for (int32_t i = 0; i < table.Count(); ++i) {
            const TestVariable& entry = entries[i];
            if (!IsValueAttribute(entry))
                continue;
            const TestVariable*& winner = winners[FieldView(entry.name)];
            if (entry.type <= kChar)
                winner = &entry;
        }
        m_values.reserve(winners.size());
        for (const auto& [name, winner] : winners) {
            std::string& text = m_values[name];
            if (winner)
                AppendValueText(*winner, text);
        }
    }

    bool Exists(std::string_view name) const { return m_values.find(name) != m_values.end(); }

    // The value text of name as FormatVariableValue gives it ("" for none).
    std::string_view Value(std::string_view name) const {
        const auto found = m_values.find(name);
        return found == m_values.end() ? std::string_view() : std::string_view(found->second);
    }

private:
    std::unordered_map<std::string_view, std::string> m_values;
};

// The first placeholder of text that cannot be filled: one without its "]" (nothing sound can
// be substituted), or one that names neither the time of day nor an Import or Config variable.
Placeholder<char> FirstUnfillable(std::string_view text, const NameIndex& index) {
    for (Placeholder<char> found = NextPlaceholder(text, 0); found.Found(); found = NextPlaceholder(text, found.End()))
        if (!found.Closed() || (!IsCurrentTimeName(found.name) && !index.Exists(found.name)))
            return found;
    return {};
}

bool CheckWith(std::string_view text, const NameIndex& index) {
    return !FirstUnfillable(text, index).Found();
}

// One pass that copies the text and replaces the placeholders on the way.
std::string SubstituteWith(std::string_view text, const NameIndex& index) {
    std::string result;
    result.reserve(text.size() + text.size() / 8);
    TimeOfDay clock;
    std::size_t from = 0;
    for (Placeholder<char> found = NextPlaceholder(text, 0); found.Found(); found = NextPlaceholder(text, from)) {
        if (!found.Closed())
            break; // an opening without its "]": the rest is copied unchanged
        result.append(text.substr(from, found.open - from));
        result += IsCurrentTimeName(found.name) ? clock.Now() : index.Value(found.name);
        from = found.End();
    }
    result.append(text.substr(from));
    return result;
}

// What LookupListValue gives for every name of list, from one pass over it.
std::unordered_map<std::string_view, std::string> ListValues(std::string_view list) {
    std::unordered_map<std::string_view, std::string> values;
    ForEachListLine(list, [&](std::string_view name, std::string_view value) { values[name].append(value); });
    return values;
}

} // namespace

struct TestVariableTable::Lookup {
    explicit Lookup(const TestVariableTable& table) : index(table) {}
    NameIndex index;
};

TestVariableTable::TestVariableTable() : m_entries(new TestVariable[kMaxTestVariables]()) {}

TestVariable* TestVariableTable::Entries() {
    m_lookup.reset();
    return m_entries.get();
}

const TestVariableTable::Lookup& TestVariableTable::Names() const {
    if (!m_lookup)
        m_lookup = std::make_unique<Lookup>(*this);
    return *m_lookup;
}

TestVariableTable::~TestVariableTable() = default;

TestVariable& TestVariableTable::Append() {
    // Callers check the count first; a full table hands back its last entry rather than
    // writing past the room.
    m_lookup.reset();
    if (m_count >= kMaxTestVariables)
        return m_entries[kMaxTestVariables - 1];
    TestVariable& entry = m_entries[m_count++];
    std::memset(&entry, 0, sizeof entry);
    return entry;
}

char* TestVariableTable::AllocateText(TestVariable& entry, int32_t length) {
    if (length <= 0)
        return nullptr;
    // calloc leaves untouched pages unmapped, so a generous length costs nothing until used.
    char* buffer = static_cast<char*>(std::calloc(static_cast<std::size_t>(length), 1));
    if (!buffer)
        return nullptr;
    m_buffers.emplace_back(buffer);
    entry.value.text = buffer;
    return buffer;
}

void TestVariableTable::FreeText::operator()(char* text) const {
    std::free(text);
}

void TestVariableTable::Release() {
    m_lookup.reset();
    m_buffers.clear();
    if (m_count > 0)
        std::memset(m_entries.get(), 0, sizeof(TestVariable) * static_cast<std::size_t>(m_count));
    m_count = 0;
}

int64_t ReadWholeNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Overflow wraps: callers keep only the low bits they need.
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    return static_cast<int64_t>(negative ? 0 - value : value);
}

FillResult FillTestVariables(TestVariableTable& table, const std::vector<VariableRow>& rows) {
    table.Release();
    if (rows.size() > static_cast<std::size_t>(kMaxTestVariables))
        return Refusal(Utf8ToGbkLossy("变量个数超过 " + std::to_string(kMaxTestVariables) + " 个，无法测试。"));

    const std::string shortOfRoom = Utf8ToGbkLossy("变量长度不足：");
    auto tooShort = [&](const VariableRow& row) {
        table.Release();
        return Refusal(shortOfRoom + row.name);
    };

    // First pass: names, kinds and the test values of Import and Config variables.
    for (const VariableRow& row : rows) {
        TestVariable& entry = table.Append();
        SetFieldText(entry.name, GbkPrefix(row.name, sizeof entry.name - 1));
        entry.attribute = static_cast<uint8_t>(row.attribute);
        entry.type = static_cast<uint8_t>(row.type);
        entry.length = row.length;
        const bool hasValue = entry.attribute == kImport || entry.attribute == kConfig;
        if (entry.type == kChar || entry.attribute == kReport) {
            if (entry.type != kChar || row.length <= 0)
                return tooShort(row);
            if (!table.AllocateText(entry, row.length)) {
                table.Release();
                return Refusal(Utf8ToGbkLossy("内存不足：") + row.name);
            }
        }
        if (!hasValue)
            continue;
        switch (entry.type) {
        case kByte:
            entry.value.byteValue = static_cast<uint8_t>(ReadWholeNumber(row.testValue));
            break;
        case kShort:
            entry.value.shortValue = static_cast<int16_t>(static_cast<uint16_t>(ReadWholeNumber(row.testValue)));
            break;
        case kInt:
            entry.value.intValue = static_cast<int32_t>(static_cast<uint32_t>(ReadWholeNumber(row.testValue)));
            break;
        case kDouble:
            entry.value.doubleValue = ReadDecimalNumber(row.testValue);
            break;
        case kChar:
            if (row.testValue.size() > static_cast<std::size_t>(row.length) - 1)
                return tooShort(row);
            std::memcpy(entry.value.text, row.testValue.data(), row.testValue.size());
            break;
        default:
            break;
        }
    }

    // Second pass: Report variables get the expansion of their remark. Placeholders may name
    // only Import and Config variables, all set by now, so the order does not matter.
    // The look-up covers only Import and Config values, so writing the expansions into the
    // Report buffers below leaves it valid for the rest of the run.
    TestVariable* entries = table.Entries();
    const NameIndex& index = table.Names().index;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const VariableRow& row = rows[r];
        if (static_cast<uint8_t>(row.attribute) != kReport)
            continue;
        if (!CheckWith(row.remark, index)) {
            table.Release();
            return Refusal(Utf8ToGbkLossy("报表变量错：") + row.name);
        }
        const std::string expansion = SubstituteWith(row.remark, index);
        TestVariable& entry = entries[r];
        if (expansion.size() > static_cast<std::size_t>(entry.length) - 1)
            return tooShort(row);
        std::memcpy(entry.value.text, expansion.data(), expansion.size());
    }
    return Ok();
}

bool RowHasChoices(const VariableRow& row) {
    return row.attribute >= kImport && row.attribute <= kReport && row.type >= kByte && row.type <= kChar;
}

bool RowFillsPlaceholders(const VariableRow& row) {
    return RowHasChoices(row) && (row.attribute == kImport || row.attribute == kConfig);
}

FillResult FillChosenVariables(TestVariableTable& table, std::vector<VariableRow> rows) {
    std::erase_if(rows, [](const VariableRow& row) { return !RowHasChoices(row); });
    return FillTestVariables(table, rows);
}

std::vector<VariableRow> RowsOfModule(const ModuleRecord& record) {
    std::vector<VariableRow> rows;
    const int32_t count = std::clamp<int32_t>(record.header.variableCount, 0, kMaxVariables);
    rows.reserve(static_cast<std::size_t>(count));
    // Each list is read once, not once per variable.
    const auto remarks = ListValues(record.remarks);
    const auto testValues = ListValues(record.testValues);
    auto valueOf = [](const std::unordered_map<std::string_view, std::string>& values, const std::string& name) {
        const auto found = values.find(name);
        return found == values.end() ? std::string() : found->second;
    };
    for (int32_t i = 0; i < count; ++i) {
        const VariableDefinition& definition = record.variables[static_cast<std::size_t>(i)];
        VariableRow row;
        row.name = FieldText(definition.name);
        row.attribute = definition.attribute;
        row.type = definition.type;
        row.length = definition.length;
        // What the grid of an opened module shows: the remark of Config and Report variables,
        // the test value of Import and Config variables.
        if (row.attribute == kConfig || row.attribute == kReport)
            row.remark = valueOf(remarks, row.name);
        if (row.attribute == kImport || row.attribute == kConfig)
            row.testValue = valueOf(testValues, row.name);
        rows.push_back(std::move(row));
    }
    return rows;
}

void StoreRowsInModule(ModuleRecord& record, const std::vector<VariableRow>& rows) {
    const std::size_t count = std::min<std::size_t>(rows.size(), kMaxVariables);
    record.header.variableCount = static_cast<int32_t>(count);
    record.remarks.clear();
    record.testValues.clear();
    record.variables.fill(VariableDefinition{});
    for (std::size_t i = 0; i < count; ++i) {
        const VariableRow& row = rows[i];
        VariableDefinition& variable = record.variables[i];
        SetFieldText(variable.name, row.name);
        variable.attribute = static_cast<uint8_t>(row.attribute);
        variable.type = static_cast<uint8_t>(row.type);
        variable.length = row.length;
        if (!row.remark.empty())
            AppendListValue(record.remarks, row.name, row.remark);
        if (!row.testValue.empty())
            AppendListValue(record.testValues, row.name, row.testValue);
    }
    record.header.remarkLength = static_cast<int32_t>(record.remarks.size() + 1);
}

bool CheckPlaceholders(const std::string& text, const TestVariableTable& table) {
    return CheckWith(text, table.Names().index);
}

std::optional<UnfillablePlaceholder> FirstUnfillablePlaceholder(const std::string& text,
                                                                const TestVariableTable& table) {
    const Placeholder<char> found = FirstUnfillable(text, table.Names().index);
    if (!found.Found())
        return std::nullopt;
    return UnfillablePlaceholder{!found.Closed(), std::string(found.name)};
}

std::string SubstitutePlaceholders(const std::string& text, const TestVariableTable& table) {
    return SubstituteWith(text, table.Names().index);
}

std::string FormatVariableValue(const std::string& name, const TestVariableTable& table) {
    return std::string(table.Names().index.Value(name));
}

} // namespace kestrel
