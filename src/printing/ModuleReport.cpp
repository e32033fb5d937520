#include "printing/ModuleReport.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleScan.h"

#include <QCollator>
#include <QCoreApplication>
#include <QLocale>

#include <algorithm>
#include <numeric>

namespace kestrel {

namespace {

// Section and field names of the layout, in the GBK the library is handed.
std::string Gbk(std::string_view utf8) {
    auto gbk = Utf8ToGbk(utf8);
    if (gbk)
        return *gbk;
    // A path with a character GBK lacks: keep what can be said rather than nothing.
    std::string ascii;
    for (char c : utf8)
        ascii += (static_cast<unsigned char>(c) < 0x80) ? c : '?';
    return ascii;
}

// The layout's section and field names, as the library is handed them.
struct Names {
    std::string header = Gbk("表头");
    std::string footer = Gbk("表尾");
    std::string module = Gbk("模块");
    std::string fileName = Gbk("文件名");
    std::string title = Gbk("标题");
    std::string creator = Gbk("建立者");
    std::string createdAt = Gbk("建立时间");
    std::string modifier = Gbk("最近修改人");
    std::string modifiedAt = Gbk("最近修改时间");
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
        return FMT_Fail(Gbk("没有打开的模块组目录。").c_str());
    std::filesystem::path folder = m_catalogue->Folder();
    if (folder.empty())
        folder = ".";
    const std::string folderText = Gbk(folder.string());

    std::vector<std::string> names;
    FileStatus status = ListModuleFileNames(folder, names);
    if (!status) {
        m_fileError = true;
        return FMT_Fail((Gbk("无法读取文件夹“") + folderText + Gbk("”：") + status.message).c_str());
    }
    if (names.empty())
        return FMT_Fail((Gbk("文件夹“") + folderText + Gbk("”中没有模块文件（*.kst）。")).c_str());

    for (const auto& name : names) {
        status = ReadModuleForReport(m_module, folder, name);
        if (status.IsInvalid()) {
            m_rows.clear();
            return FMT_Fail((Gbk("“") + name + Gbk("”不是模块文件。")).c_str());
        }
        if (!status) {
            m_rows.clear();
            m_fileError = true;
            return FMT_Fail((Gbk("无法读取“") + name + Gbk("”：") + status.message).c_str());
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
        keys.push_back(collator.sortKey(QString::fromStdString(GbkToUtf8(row.fileName))));
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
