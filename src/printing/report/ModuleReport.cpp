#include "printing/report/ModuleReport.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleScan.h"
#include "ui/GbkText.h"

#include <QCollator>
#include <QCoreApplication>
#include <QLocale>

#include <algorithm>
#include <numeric>

namespace kestrel {

namespace {

// The layout's section and field names, as the library is handed them.
struct Names {
    std::string header = Utf8ToGbkLossy("表头");
    std::string footer = Utf8ToGbkLossy("表尾");
    std::string module = Utf8ToGbkLossy("模块");
    std::string fileName = Utf8ToGbkLossy("文件名");
    std::string title = Utf8ToGbkLossy("标题");
    std::string creator = Utf8ToGbkLossy("建立者");
    std::string createdAt = Utf8ToGbkLossy("建立时间");
    std::string modifier = Utf8ToGbkLossy("最近修改人");
    std::string modifiedAt = Utf8ToGbkLossy("最近修改时间");
};

const Names& N() {
    static const Names names;
    return names;
}

} // namespace

ModuleReport::ModuleReport(const char* layoutPath, const char* documentName) : FormatPrn(layoutPath, documentName) {}

void ModuleReport::SetCatalogue(const GroupCatalogue& catalogue) {
    m_catalogue = &catalogue;
}

int ModuleReport::WriteHeader(int) {
    FMT_Begin(N().header.c_str());
    return FMT_Commit() ? 1 : 0;
}

int ModuleReport::WriteFooter(int, int) {
    FMT_Begin(N().footer.c_str());
    return FMT_Commit() ? 1 : 0;
}

int ModuleReport::WriteBody() {
    // One object may run more than once (a second Run, a repeated PDF); each run lists the
    // folder afresh instead of appending to the rows of the one before.
    m_rows.clear();
    m_fileError = false;
    if (!m_catalogue)
        return FMT_Fail(Utf8ToGbkLossy("没有打开的模块组目录。").c_str());
    std::filesystem::path folder = m_catalogue->Folder();
    if (folder.empty())
        folder = ".";
    const std::string folderText = Utf8ToGbkLossy(folder.string());

    std::vector<std::string> names;
    std::vector<ScanFailure> unnamed;
    FileStatus status = ListModuleFileNames(folder, names, &unnamed);
    if (status && !unnamed.empty()) {
        // A module whose name cannot be shown is not left out of the report without a word.
        m_fileError = true;
        return FMT_Fail((Utf8ToGbkLossy("无法读取“") + unnamed.front().fileName + Utf8ToGbkLossy("”：") +
                         unnamed.front().status.error().message)
                            .c_str());
    }
    if (!status) {
        m_fileError = true;
        return FMT_Fail(
            (Utf8ToGbkLossy("无法读取文件夹“") + folderText + Utf8ToGbkLossy("”：") + status.error().message).c_str());
    }
    if (names.empty())
        return FMT_Fail(
            (Utf8ToGbkLossy("文件夹“") + folderText + Utf8ToGbkLossy("”中没有模块文件（*.kst）。")).c_str());

    for (const auto& name : names) {
        status = ReadModuleForReport(m_module, folder, name);
        if (IsInvalidFailure(status)) {
            m_rows.clear();
            return FMT_Fail((Utf8ToGbkLossy("“") + name + Utf8ToGbkLossy("”不是模块文件。")).c_str());
        }
        if (!status) {
            m_rows.clear();
            m_fileError = true;
            return FMT_Fail(
                (Utf8ToGbkLossy("无法读取“") + name + Utf8ToGbkLossy("”：") + status.error().message).c_str());
        }
        const std::string groupId = FieldText(m_module.header.groupId);
        bool member = false;
        for (int g = 0; g < m_catalogue->groupCount && !member; ++g)
            member = FieldText(m_catalogue->groups[g].identifier) == groupId;
        if (!member)
            continue;
        ReportEntry row;
        row.fileName = name;
        row.header = m_module.header;
        row.title = FieldText(row.header.title);
        row.creator = FieldText(row.header.creator);
        row.createdAt = FieldText(row.header.createdAt);
        row.modifier = FieldText(row.header.modifier);
        row.modifiedAt = FieldText(row.header.modifiedAt);
        m_rows.push_back(std::move(row));
    }

    // The user's collation, letter case significant; texts it counts as equal are told apart
    // by their bytes, so only the same name compares equal.
    QCollator collator{QLocale()};
    collator.setCaseSensitivity(Qt::CaseSensitive);
    collator.setNumericMode(false);
    std::vector<QCollatorSortKey> keys;
    keys.reserve(m_rows.size());
    for (const auto& row : m_rows)
        keys.push_back(collator.sortKey(ui::FromGbk(row.fileName)));
    std::vector<size_t> order(m_rows.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const int c = keys[a].compare(keys[b]);
        return c != 0 ? c < 0 : m_rows[a].fileName < m_rows[b].fileName;
    });
    std::vector<ReportEntry> sorted;
    sorted.reserve(m_rows.size());
    for (size_t i : order)
        sorted.push_back(std::move(m_rows[i]));
    m_rows = std::move(sorted);

    for (const auto& row : m_rows) {
        FMT_Begin(N().module.c_str());
        FMT_String(N().fileName.c_str()) = row.fileName.c_str();
        FMT_String(N().title.c_str()) = row.title.c_str();
        FMT_String(N().creator.c_str()) = row.creator.c_str();
        FMT_String(N().createdAt.c_str()) = row.createdAt.c_str();
        FMT_String(N().modifier.c_str()) = row.modifier.c_str();
        FMT_String(N().modifiedAt.c_str()) = row.modifiedAt.c_str();
        if (!FMT_Commit())
            return 0;
    }
    return 1;
}

std::filesystem::path DefaultReportLayoutPath() {
    const std::filesystem::path besideLibrary = FormatPrn::LibraryFolder() / "KSTPRN.FMT";
    std::error_code ec;
    if (std::filesystem::exists(besideLibrary, ec))
        return besideLibrary;
    if (QCoreApplication::instance()) {
        const std::filesystem::path besideProgram =
            std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / "KSTPRN.FMT";
        if (std::filesystem::exists(besideProgram, ec))
            return besideProgram;
    }
    return besideLibrary;
}

} // namespace kestrel
