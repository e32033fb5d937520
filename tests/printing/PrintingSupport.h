#pragma once
// Temporary module folders, catalogues and module files, and reading PDFs back as text.
#include "printing/FormatPrn.h"
#include "repository/Catalogue.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::testing {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// UTF-8 literal to the GBK the stored files hold.
std::string Gbk(const std::string& utf8);
std::string Utf8(const std::string& gbk);

struct ModuleSpec {
    std::string fileName; // UTF-8
    std::string groupId;
    std::string title = "模块";
    std::string creator = "SA";
    std::string createdAt = "2024-01-02 03:04:05";
    std::string modifier = "SA";
    std::string modifiedAt = "2024-02-03 04:05:06";
};

// Writes a module file with exactly these stamps (no stamping on save).
void WriteModule(const std::filesystem::path& folder, const ModuleSpec& module);

// A catalogue file "test.MGP" in folder with these groups (identifier, UTF-8 name).
GroupCatalogue MakeCatalogue(const std::filesystem::path& folder,
                             const std::vector<std::pair<std::string, std::string>>& groups);

// pdftotext of a PDF (one page, or all with page 0), UTF-8.
std::string PdfText(const std::filesystem::path& pdf, int page = 0, bool layout = false);
int PdfPageCount(const std::filesystem::path& pdf);

// Words of a PDF with the left edge of each, in points (pdftotext -bbox).
struct PdfWord {
    std::string text;
    double x = 0;
    double y = 0;
};
std::vector<PdfWord> PdfWords(const std::filesystem::path& pdf);

// The shipped layout beside the report library.
std::string ShippedLayout();

// Writes a layout file into folder and returns its path.
std::string WriteLayout(const std::filesystem::path& folder, const std::string& text);

// Records the section operations Run calls and every FMT_ call with its values, in UTF-8:
// "WriteBody", "WriteHeader(1)", "WriteFooter(1,0)", "Begin 模块 -> 1", "String 标题",
// "Commit 文件名=a.kst|标题=... -> 1".
class CallLog : public FormatPrnObserver {
public:
    std::vector<std::string> events;
    void OnBegin(const std::string& section, int result) override;
    void OnString(const std::string& field) override;
    void OnCommit(const std::vector<std::pair<std::string, std::string>>& fields, int result) override;
    // Events that start with prefix, in order.
    std::vector<std::string> Only(const std::string& prefix) const;
};

} // namespace kestrel::testing
