#pragma once
// Modules, catalogues and variable rows for tests. The byte builders write the stored layouts
// field by field, independently of the program's own writers, so a test of a reader or writer
// compares against something it did not make itself.
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "testing/Variables.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::testsupport {

// Little-endian layouts written field by field.
class Bytes {
public:
    // text cut or zero-padded to exactly width bytes (a full field has no terminating zero).
    Bytes& Text(std::string_view text, std::size_t width);
    Bytes& Raw(std::string_view raw);
    Bytes& Zeros(std::size_t n);
    Bytes& I32(int32_t value);
    Bytes& U8(uint8_t value);
    const std::string& Str() const { return m_data; }
    operator const std::string&() const { return m_data; }
    operator std::string_view() const { return m_data; }

private:
    std::string m_data;
};

// Overwrites four bytes at `at` with a little-endian value (for damaging a file in place).
void PutI32(std::string& bytes, std::size_t at, int32_t value);

// Header field offsets of a module file.
constexpr std::size_t kDescriptionLengthAt = 144;
constexpr std::size_t kVariableCountAt = 148;
constexpr std::size_t kBodyLengthAt = 152;
constexpr std::size_t kRemarkLengthAt = 156;

struct VariableDraft {
    std::string name;
    uint8_t attribute = 0;
    uint8_t type = 0;
    int32_t length = 0;
};

// One module file's fields, all GBK, in the order the file holds them.
struct ModuleDraft {
    std::string keyword = "MODULE_ITEM";
    std::string groupId = "G1";
    std::string title = "title";
    std::string createdAt = "2024-01-02 03:04:05";
    std::string creator = "SA";
    std::string modifiedAt = "2024-01-02 03:04:06";
    std::string modifier = "SA";
    int32_t type = 0;
    int32_t flags = 0;
    std::string body = {};
    std::string description = {};
    std::vector<VariableDraft> variables = {};
    std::string remarks = {};
    std::string testValues = {};
};

std::string ModuleBytes(const ModuleDraft& module);

// A module file that claims gigabytes: header (the first 160 bytes of a module) with all three
// lengths 0x7fffffff, then holes up to 64 GiB. False when the file system refuses that size.
bool WriteSparseModule(const std::filesystem::path& file, std::string header);

// Writes module's bytes as the module file fileName (GBK) in folder.
void WriteModule(const std::filesystem::path& folder, const std::string& fileName, const ModuleDraft& module);

struct GroupDraft {
    std::string identifier; // GBK
    std::string name;       // GBK
};

std::string CatalogueBytes(const std::vector<GroupDraft>& groups, const std::string& flowTable,
                           std::string_view keyword = "MODULE_GROUP");

// Writes a catalogue file at path with these groups (through the program's writer, as a
// catalogue the user made would be) and returns it as the editor holds it.
GroupCatalogue WriteCatalogue(const std::filesystem::path& path, const std::vector<GroupDraft>& groups);

// --- records in memory ------------------------------------------------------------------

// Fixed creator, modifier and their times.
void SetStamps(ModuleRecord& record);
ModuleRecord SqlRecord(const std::string& sql = "SELECT 1");
ModuleRecord DllRecord(const std::string& library, const std::string& function);
// Appends a variable definition, with its remark and test value when they are not empty.
void AddVariable(ModuleRecord& record, const std::string& name, int attribute, int type, int32_t length,
                 const std::string& remark = {}, const std::string& testValue = {});

// One row of the variables grid as a test run reads it.
VariableRow Row(std::string name, int attribute, int type, std::string testValue, int32_t length = 0,
                std::string remark = {});

} // namespace kestrel::testsupport
