#pragma once
// The text form of a catalogue and its modules: UTF-8 files made for version control and
// review, read back into exactly the bytes the tool writes.
//
// A folder in text form holds "catalogue.toml" and, under "modules/", per module file NAME
// "NAME.toml" with its fields and, for an SQL module, "NAME.sql" with its SQL. A text whose
// bytes have no exact UTF-8 form (bytes that are not GBK, in files the tool did not write) is
// written as { hex = "..." } instead of a string, so nothing is lost or changed on the way.
#include "core/Status.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

inline constexpr char kCatalogueTextName[] = "catalogue.toml";
inline constexpr char kModuleTextFolder[] = "modules";
inline constexpr char kFieldsExtension[] = ".toml";
inline constexpr char kSqlExtension[] = ".sql";

// One refusal of a text file: the file (as named in the folder, UTF-8), its 1-based line (0
// when the file as a whole is meant) and an English message (UTF-8).
struct TextFinding {
    std::string file;
    int line = 0;
    std::string message;
};

struct ModuleText {
    std::string fields;             // the ".toml" file
    std::optional<std::string> sql; // the ".sql" file of an SQL module whose text has a UTF-8 form
};

ModuleText ModuleToText(const ModuleRecord& record);
std::string CatalogueToText(const GroupCatalogue& catalogue);

// Reads a module's text form into record (fileName left alone). sql is the ".sql" file's
// content when there is one. False, with findings, when a value is missing, unknown, of the
// wrong kind or does not fit its field.
bool ModuleFromText(std::string_view fields, const std::optional<std::string>& sql, const std::string& fieldsFile,
                    const std::string& sqlFile, ModuleRecord& record, std::vector<TextFinding>& findings);
bool CatalogueFromText(std::string_view text, const std::string& file, GroupCatalogue& catalogue,
                       std::vector<TextFinding>& findings);

// Writes the text form of the catalogue at cataloguePath and of every module of its groups
// into dir (created if missing). Text files of modules that are no longer there are removed,
// so exporting into the same folder twice gives the same tree. modules receives the count.
FileStatus ExportTextForm(const std::filesystem::path& cataloguePath, const std::filesystem::path& dir, int& modules);

// Reads every text file of dir and, only when all of them are valid, writes the catalogue to
// cataloguePath and the modules beside it, all at once (see CommitFolderFiles). Invalid with
// findings when any file is refused (nothing written then); Io when a file cannot be read or
// written, naming it (the folder is then as it was). A UTF-8 byte-order mark at the start of
// a text file is dropped.
FileStatus ImportTextForm(const std::filesystem::path& dir, const std::filesystem::path& cataloguePath,
                          std::vector<TextFinding>& findings, int& modules);

} // namespace kestrel
