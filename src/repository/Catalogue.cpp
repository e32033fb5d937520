#include "repository/Catalogue.h"

#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/Bytes.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace kestrel {

namespace {

constexpr std::size_t kKeywordBytes = 16;
constexpr std::size_t kHeadBytes = kKeywordBytes + 4;

// Position of the next single "&" at or after from (pairs "&&" are an escaped ampersand), or
// the end of the table.
std::size_t NextSingleAmpersand(const std::string& table, std::size_t from) {
    std::size_t at = from;
    while (at < table.size()) {
        if (table[at] == '&') {
            if (at + 1 < table.size() && table[at + 1] == '&') {
                at += 2;
                continue;
            }
            return at;
        }
        ++at;
    }
    return table.size();
}

// The entry whose head ("&" + identifier + "=") matches, walking entry by entry: a head
// inside a flow text has its "&" doubled and is not the start of an entry.
template <typename SameHead> std::size_t FindEntry(const std::string& table, std::size_t headSize, SameHead same) {
    for (std::size_t at = NextSingleAmpersand(table, 0); at < table.size(); at = NextSingleAmpersand(table, at + 1))
        if (table.size() - at >= headSize && same(std::string_view(table).substr(at, headSize)))
            return at;
    return std::string::npos;
}

} // namespace

bool GroupCatalogue::AppendGroup(const GroupRecord& group) {
    if (groupCount < 0 || groupCount >= kMaxGroups)
        return false;
    groups[static_cast<std::size_t>(groupCount)] = group;
    ++groupCount;
    return true;
}

void GroupCatalogue::RemoveGroup(int index) {
    if (index < 0 || index >= groupCount || groupCount > kMaxGroups)
        return;
    for (int i = index; i + 1 < groupCount; ++i)
        groups[static_cast<std::size_t>(i)] = groups[static_cast<std::size_t>(i) + 1];
    groups[static_cast<std::size_t>(groupCount) - 1] = GroupRecord{};
    --groupCount;
}

int GroupCatalogue::FindGroup(const std::string& identifier) const {
    const int count = std::clamp(groupCount, 0, kMaxGroups);
    for (int i = 0; i < count; ++i)
        if (FieldText(groups[static_cast<std::size_t>(i)].identifier) == identifier)
            return i;
    return -1;
}

void GroupCatalogue::Reset(const std::filesystem::path& newPath) {
    path = newPath;
    std::memset(keyword, 0, sizeof keyword);
    SetFieldText(keyword, kCatalogueKeyword);
    groupCount = 0;
    groups = {};
    flowTable.clear();
}

FileStatus ParseCatalogueBytes(GroupCatalogue& catalogue, const std::string& bytes) {
    // Parsed aside and taken over only whole: a refused file leaves the open catalogue as it was.
    if (bytes.size() < kHeadBytes)
        return Fail(FileError::Invalid("shorter than a catalogue head"));
    char keyword[kKeywordBytes];
    std::memcpy(keyword, bytes.data(), kKeywordBytes);
    if (FieldText(keyword) != kCatalogueKeyword)
        return Fail(FileError::Invalid("wrong keyword"));
    const int32_t count = ReadLe32(bytes.data() + kKeywordBytes);
    if (count < 0 || count > kMaxGroups)
        return Fail(FileError::Invalid("group count out of range"));
    const std::size_t lengthAt = kHeadBytes + sizeof(GroupRecord) * static_cast<std::size_t>(count);
    if (bytes.size() < lengthAt + 4)
        return Fail(FileError::Invalid("catalogue shorter than its group count claims"));
    const int32_t flowLength = ReadLe32(bytes.data() + lengthAt);
    if (flowLength < 0 || bytes.size() - (lengthAt + 4) < static_cast<std::size_t>(flowLength))
        return Fail(FileError::Invalid("catalogue shorter than its flow table length claims"));

    std::memcpy(catalogue.keyword, keyword, kKeywordBytes);
    catalogue.groupCount = count;
    catalogue.groups = {};
    std::memcpy(catalogue.groups.data(), bytes.data() + kHeadBytes,
                sizeof(GroupRecord) * static_cast<std::size_t>(count));
    const char* flow = bytes.data() + lengthAt + 4;
    catalogue.flowTable = FixedTextView(flow, static_cast<std::size_t>(flowLength));
    return Ok();
}

namespace {

// Reads what the head declares and no more, each length checked against the file's real size
// before anything is allocated.
FileStatus ReadDeclared(GroupCatalogue& catalogue, const std::filesystem::path& path) {
    StoredFile file;
    if (FileStatus opened = file.Open(path); !opened)
        return opened;
    if (file.Size() < kHeadBytes)
        return Fail(FileError::Invalid("shorter than a catalogue head"));
    std::string head;
    if (FileStatus read = file.ReadAt(0, kHeadBytes, head); !read)
        return read;
    char keyword[kKeywordBytes];
    std::memcpy(keyword, head.data(), kKeywordBytes);
    if (FieldText(keyword) != kCatalogueKeyword)
        return Fail(FileError::Invalid("wrong keyword"));
    const int32_t count = ReadLe32(head.data() + kKeywordBytes);
    if (count < 0 || count > kMaxGroups)
        return Fail(FileError::Invalid("group count out of range"));
    const uint64_t lengthAt = kHeadBytes + sizeof(GroupRecord) * static_cast<uint64_t>(count);
    std::string lengthBytes;
    if (FileStatus read = file.ReadAt(lengthAt, 4, lengthBytes); !read)
        return Fail(FileError::Invalid("catalogue shorter than its group count claims"));
    const int32_t flowLength = ReadLe32(lengthBytes.data());
    if (flowLength < 0)
        return Fail(FileError::Invalid("catalogue shorter than its flow table length claims"));
    const uint64_t declared = lengthAt + 4 + static_cast<uint64_t>(flowLength);
    if (declared > file.Size())
        return Fail(FileError::Invalid("catalogue shorter than its flow table length claims"));
    if (declared > kMaxStoredFileBytes)
        return FileTooLarge();
    std::string bytes;
    if (FileStatus read = file.ReadAt(0, declared, bytes); !read)
        return read;
    return ParseCatalogueBytes(catalogue, bytes);
}

} // namespace

FileStatus LoadCatalogue(GroupCatalogue& catalogue, const std::filesystem::path& path) {
    catalogue.path = path;
    return AboutFile(ReadDeclared(catalogue, path), FileNameForMessage(path));
}

std::string SerializeCatalogue(const GroupCatalogue& catalogue) {
    const int32_t count = std::clamp(catalogue.groupCount, 0, kMaxGroups);
    std::string bytes;
    bytes.reserve(kHeadBytes + sizeof(GroupRecord) * static_cast<std::size_t>(count) + 4 + catalogue.flowTable.size() +
                  1);
    char keyword[kKeywordBytes]{};
    SetFieldText(keyword, kCatalogueKeyword);
    bytes.append(keyword, kKeywordBytes);
    AppendLe32(bytes, count);
    for (int32_t i = 0; i < count; ++i) {
        GroupRecord group = catalogue.groups[static_cast<std::size_t>(i)];
        ClearFieldTail(group.identifier);
        ClearFieldTail(group.name);
        bytes.append(reinterpret_cast<const char*>(&group), sizeof group);
    }
    AppendLe32(bytes, static_cast<int32_t>(catalogue.flowTable.size() + 1));
    bytes.append(catalogue.flowTable).push_back('\0');
    return bytes;
}

FileStatus SaveCatalogue(const GroupCatalogue& catalogue) {
    if (catalogue.flowTable.size() >= static_cast<std::size_t>(INT32_MAX))
        return Fail(FileError::Invalid("flow table too long"));
    return AboutFile(WriteFileAtomic(catalogue.path, SerializeCatalogue(catalogue)),
                     FileNameForMessage(catalogue.path));
}

std::string GetFlowText(const FlowTable& table, const std::string& identifier) {
    // A group's own entry wins; the case-blind match serves files whose keys differ in case
    // from their groups. Taking the first case-blind match alone would give g1 the flow of G1.
    const std::string head = "&" + identifier + "=";
    std::size_t entry = FindEntry(table, head.size(), [&](std::string_view candidate) { return candidate == head; });
    if (entry == std::string::npos) {
        const std::string upperHead = GbkUpperLatin(head);
        entry = FindEntry(table, head.size(),
                          [&](std::string_view candidate) { return GbkUpperLatin(candidate) == upperHead; });
    }
    if (entry == std::string::npos)
        return {};
    const std::size_t valueStart = entry + head.size();
    const std::size_t end = NextSingleAmpersand(table, entry + 1);
    if (end <= valueStart)
        return {};
    return ReplaceAll(std::string_view(table).substr(valueStart, end - valueStart), "&&", "&");
}

void SetFlowText(FlowTable& table, const std::string& identifier, const std::string& text) {
    const std::string head = "&" + identifier + "=";
    const std::size_t entry =
        FindEntry(table, head.size(), [&](std::string_view candidate) { return candidate == head; });
    if (entry != std::string::npos)
        table.erase(entry, NextSingleAmpersand(table, entry + 1) - entry);
    // A damaged table may end in a lone "&" (an entry without identifier or text); appended
    // to as it is, that "&" would pair with the new entry's own and hide it.
    std::size_t last = NextSingleAmpersand(table, 0);
    while (last + 1 < table.size())
        last = NextSingleAmpersand(table, last + 1);
    if (last + 1 == table.size() && table[last] == '&')
        table.pop_back();
    table += head;
    table += ReplaceAll(text, "&", "&&");
}

} // namespace kestrel
