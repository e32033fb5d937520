#pragma once
// The module catalogue report: one row per module of the open catalogue's groups, in file-name
// order, between the layout's header and footer.
#include "printing/FormatPrn.h"
#include "repository/ModuleFile.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

struct GroupCatalogue;

// One row: the file name as the directory listed it and the module's header as stored. The
// header's texts are kept again as zero-terminated copies, since a full-width field has no
// terminating zero of its own and the library reads up to one.
struct ReportEntry {
    std::string fileName;
    ModuleHeader header{};
    std::string title;
    std::string creator;
    std::string createdAt;
    std::string modifier;
    std::string modifiedAt;
};

class ModuleReport : public FormatPrn {
public:
    ModuleReport(const char* layoutPath, const char* documentName);

    // The catalogue whose groups select the rows; it must outlive the run.
    void SetCatalogue(const GroupCatalogue& catalogue);

    int WriteHeader(int page) override;
    int WriteFooter(int page, int pageCount) override;
    int WriteBody() override;

    // The rows of the last WriteBody, in printed order.
    const std::vector<ReportEntry>& Rows() const { return m_rows; }
    // Whether the last WriteBody failed because a file or the folder could not be read (not
    // because of what a file holds).
    bool FailedOnFileError() const { return m_fileError; }

private:
    const GroupCatalogue* m_catalogue = nullptr;
    ModuleRecord m_module; // the file being read; only its header is used
    std::vector<ReportEntry> m_rows;
    bool m_fileError = false;
};

// The installed layout: "KSTPRN.FMT" beside the report library, else beside the executable.
std::filesystem::path DefaultReportLayoutPath();

} // namespace kestrel
