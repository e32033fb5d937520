#include "support/Builders.h"

#include "core/FixedText.h"
#include "support/Files.h"

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace kestrel::testsupport {

Bytes& Bytes::Text(std::string_view text, std::size_t width) {
    std::string field(text.substr(0, width));
    field.resize(width, '\0');
    m_data += field;
    return *this;
}

Bytes& Bytes::Raw(std::string_view raw) {
    m_data += raw;
    return *this;
}

Bytes& Bytes::Zeros(std::size_t n) {
    m_data.append(n, '\0');
    return *this;
}

Bytes& Bytes::I32(int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        m_data += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
}

Bytes& Bytes::U8(uint8_t value) {
    m_data += static_cast<char>(value);
    return *this;
}

void PutI32(std::string& bytes, std::size_t at, int32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
}

std::string ModuleBytes(const ModuleDraft& m) {
    Bytes b;
    b.Text(m.keyword, 12).Text(m.groupId, 11).Text(m.title, 51).Text(m.createdAt, 21).Text(m.creator, 10);
    b.Text(m.modifiedAt, 21).Text(m.modifier, 10);
    b.I32(m.type).I32(m.flags);
    b.I32(static_cast<int32_t>(m.description.size() + 1));
    b.I32(static_cast<int32_t>(m.variables.size()));
    b.I32(static_cast<int32_t>(m.body.size() + 1));
    b.I32(static_cast<int32_t>(m.remarks.size() + 1));
    b.Raw(m.body).Zeros(1).Raw(m.description).Zeros(1);
    for (const auto& v : m.variables)
        b.Text(v.name, 41).U8(v.attribute).U8(v.type).Zeros(13).I32(v.length).Zeros(4);
    b.Raw(m.remarks).Zeros(1);
    b.I32(static_cast<int32_t>(m.testValues.size() + 1)).Raw(m.testValues).Zeros(1);
    return b.Str();
}

bool WriteSparseModule(const std::filesystem::path& file, std::string header) {
    header.resize(160);
    PutI32(header, kBodyLengthAt, 0x7fffffff);
    PutI32(header, kDescriptionLengthAt, 0x7fffffff);
    PutI32(header, kRemarkLengthAt, 0x7fffffff);
    WriteBytes(file, header);
    return ::truncate(file.c_str(), off_t(64) << 30) == 0;
}

void WriteModule(const std::filesystem::path& folder, const std::string& fileName, const ModuleDraft& module) {
    WriteBytes(ModuleFilePath(folder, fileName), ModuleBytes(module));
}

std::string CatalogueBytes(const std::vector<GroupDraft>& groups, const std::string& flowTable,
                           std::string_view keyword) {
    Bytes b;
    b.Text(keyword, 16).I32(static_cast<int32_t>(groups.size()));
    for (const auto& g : groups)
        b.Text(g.identifier, 11).Text(g.name, 41);
    b.I32(static_cast<int32_t>(flowTable.size() + 1)).Raw(flowTable).Zeros(1);
    return b.Str();
}

GroupCatalogue WriteCatalogue(const std::filesystem::path& path, const std::vector<GroupDraft>& groups) {
    GroupCatalogue catalogue;
    catalogue.Reset(path);
    for (const auto& [identifier, name] : groups) {
        GroupRecord record{};
        SetFieldText(record.identifier, identifier);
        SetFieldText(record.name, name);
        catalogue.AppendGroup(record);
    }
    if (const FileStatus status = SaveCatalogue(catalogue); !status) {
        std::fprintf(stderr, "cannot write the test catalogue %s: %s\n", path.c_str(), status.error().message.c_str());
        std::abort();
    }
    return catalogue;
}

void SetStamps(ModuleRecord& record) {
    SetFieldText(record.header.creator, "SA");
    SetFieldText(record.header.createdAt, "2024-01-02 03:04:05");
    SetFieldText(record.header.modifier, "li");
    SetFieldText(record.header.modifiedAt, "2024-02-03 04:05:06");
}

ModuleRecord SqlRecord(const std::string& sql) {
    ModuleRecord record;
    SetFieldText(record.header.keyword, kModuleKeyword);
    SetFieldText(record.header.title, "SQL test module");
    record.header.type = kSqlModule;
    record.body = sql;
    record.description = "desc";
    SetStamps(record);
    return record;
}

ModuleRecord DllRecord(const std::string& library, const std::string& function) {
    ModuleRecord record;
    SetFieldText(record.header.keyword, kModuleKeyword);
    SetFieldText(record.header.title, "DLL test module");
    record.header.type = kDllModule;
    record.body = JoinDllBody(library, function);
    SetStamps(record);
    return record;
}

void AddVariable(ModuleRecord& record, const std::string& name, int attribute, int type, int32_t length,
                 const std::string& remark, const std::string& testValue) {
    VariableDefinition& variable = record.variables[static_cast<std::size_t>(record.header.variableCount++)];
    SetFieldText(variable.name, name);
    variable.attribute = static_cast<uint8_t>(attribute);
    variable.type = static_cast<uint8_t>(type);
    variable.length = length;
    if (!remark.empty())
        AppendListValue(record.remarks, name, remark);
    if (!testValue.empty())
        AppendListValue(record.testValues, name, testValue);
}

VariableRow Row(std::string name, int attribute, int type, std::string testValue, int32_t length, std::string remark) {
    VariableRow row;
    row.name = std::move(name);
    row.attribute = attribute;
    row.type = type;
    row.length = length;
    row.testValue = std::move(testValue);
    row.remark = std::move(remark);
    return row;
}

} // namespace kestrel::testsupport
