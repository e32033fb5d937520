#pragma once
// Module groups and the group catalogue file (".MGP") with its flow table.
#include "core/Status.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrel {

constexpr int kMaxGroups = 100;
inline constexpr char kCatalogueKeyword[] = "MODULE_GROUP";

struct GroupRecord {
    char identifier[11]; // 1 to 10 bytes, unique (case significant)
    char name[41];       // 1 to 40 bytes
};
static_assert(sizeof(GroupRecord) == 52);

// Entries "&ID=text" with every "&" of text doubled.
using FlowTable = std::string;

struct GroupCatalogue {
    std::filesystem::path path;
    char keyword[16]{};
    int32_t groupCount = 0;
    std::array<GroupRecord, kMaxGroups> groups{};
    FlowTable flowTable;

    // The folder of the module files: the catalogue file's folder.
    std::filesystem::path Folder() const { return path.parent_path(); }
    // Appends after the last group; false when 100 groups exist.
    bool AppendGroup(const GroupRecord& group);
    // Removes the group at index; later groups move up. Out of range does nothing.
    void RemoveGroup(int index);
    // Index of the group with exactly this identifier, or -1.
    int FindGroup(const std::string& identifier) const;
    // Makes an empty catalogue at path (keyword set, no groups, empty flow table).
    void Reset(const std::filesystem::path& newPath);
};

// Reads the file at path into catalogue (path set first, even on failure). Invalid: wrong
// keyword, group count negative or over 100, or the file shorter than its counts claim.
FileStatus LoadCatalogue(GroupCatalogue& catalogue, const std::filesystem::path& path);

// Parses catalogue bytes (the reader behind LoadCatalogue, for fuzzing and tools).
FileStatus ParseCatalogueBytes(GroupCatalogue& catalogue, const std::string& bytes);

// Writes the catalogue to its path atomically.
FileStatus SaveCatalogue(const GroupCatalogue& catalogue);

std::string SerializeCatalogue(const GroupCatalogue& catalogue);

// The stored flow text of a group (identifier matched ignoring case), or "".
std::string GetFlowText(const FlowTable& table, const std::string& identifier);

// Stores the flow text: the old entry (matched with case) is cut out and a new one appended.
void SetFlowText(FlowTable& table, const std::string& identifier, const std::string& text);

} // namespace kestrel
