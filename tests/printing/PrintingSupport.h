#pragma once
// Module files as the report lists them, report layouts, the report library's calls, and
// reading PDFs back as text.
#include "printing/FormatPrn.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::printingtest {

// A module as the report lists it; all texts UTF-8.
struct ReportModule {
    std::string fileName;
    std::string groupId;
    std::string title = "模块";
    std::string creator = "SA";
    std::string createdAt = "2024-01-02 03:04:05";
    std::string modifier = "SA";
    std::string modifiedAt = "2024-02-03 04:05:06";
};

// Writes a module file with exactly these stamps (no stamping on save).
void WriteReportModule(const std::filesystem::path& folder, const ReportModule& module);

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

// Runs report into pdf: "" when the PDF was written, else why not (UTF-8).
std::string PdfFailure(FormatPrn& report, const std::filesystem::path& pdf);

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

} // namespace kestrel::printingtest
