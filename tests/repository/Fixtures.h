#pragma once
// Module and catalogue files written byte by byte from the stored layouts, independently of
// the writers under test.
#include "core/TestSupport.h"

#include <string>
#include <vector>

namespace kestrel::test {

struct VariableSpec {
    std::string name;
    uint8_t attribute = 0;
    uint8_t type = 0;
    int32_t length = 0;
};

struct ModuleSpec {
    std::string keyword = "MODULE_ITEM";
    std::string groupId = "G1";
    std::string title = "title";
    std::string createdAt = "2024-01-02 03:04:05";
    std::string creator = "SA";
    std::string modifiedAt = "2024-01-02 03:04:06";
    std::string modifier = "SA";
    int32_t type = 0;
    int32_t flags = 0;
    std::string body;
    std::string description;
    std::vector<VariableSpec> variables;
    std::string remarks;
    std::string testValues;
};

inline std::string ModuleBytes(const ModuleSpec& m) {
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

// Header field offsets, for damaging a file in place.
constexpr std::size_t kDescriptionLengthAt = 144;
constexpr std::size_t kVariableCountAt = 148;
constexpr std::size_t kBodyLengthAt = 152;
constexpr std::size_t kRemarkLengthAt = 156;

inline void PutI32(std::string& bytes, std::size_t at, int32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
}

struct GroupSpec {
    std::string identifier;
    std::string name;
};

inline std::string CatalogueBytes(const std::vector<GroupSpec>& groups, const std::string& flowTable,
                                  std::string keyword = "MODULE_GROUP") {
    Bytes b;
    b.Text(keyword, 16).I32(static_cast<int32_t>(groups.size()));
    for (const auto& g : groups)
        b.Text(g.identifier, 11).Text(g.name, 41);
    b.I32(static_cast<int32_t>(flowTable.size() + 1)).Raw(flowTable).Zeros(1);
    return b.Str();
}

} // namespace kestrel::test
