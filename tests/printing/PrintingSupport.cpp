#include "PrintingSupport.h"

#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "printing/ModuleReport.h"
#include "repository/ModuleFile.h"

#include <QProcess>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace kestrel::testing {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-print-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        ADD_FAILURE() << "mkdtemp failed";
    m_path = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string Gbk(const std::string& utf8) {
    auto gbk = Utf8ToGbk(utf8);
    EXPECT_TRUE(gbk.has_value()) << utf8;
    return gbk.value_or(std::string());
}

std::string Utf8(const std::string& gbk) {
    return GbkToUtf8(gbk);
}

namespace {
template <std::size_t N> void Put(char (&field)[N], const std::string& utf8) {
    const std::string gbk = Gbk(utf8);
    if (gbk.size() == N) {
        // A field filled to its full width, without a terminating zero.
        std::memcpy(field, gbk.data(), N);
        return;
    }
    ASSERT_TRUE(SetFieldText(field, gbk)) << utf8;
}
} // namespace

void WriteModule(const std::filesystem::path& folder, const ModuleSpec& module) {
    ModuleRecord record;
    Put(record.header.groupId, module.groupId);
    Put(record.header.title, module.title);
    Put(record.header.creator, module.creator);
    Put(record.header.createdAt, module.createdAt);
    Put(record.header.modifier, module.modifier);
    Put(record.header.modifiedAt, module.modifiedAt);
    record.body = "select 1";
    record.fileName = Gbk(module.fileName);
    // A plain write: the durable rename costs a disk flush per file, and fixtures write thousands.
    const std::string bytes = SerializeModule(record);
    std::ofstream out(ModuleFilePath(folder, record.fileName), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << module.fileName;
}

GroupCatalogue MakeCatalogue(const std::filesystem::path& folder,
                             const std::vector<std::pair<std::string, std::string>>& groups) {
    GroupCatalogue catalogue;
    catalogue.Reset(folder / "test.MGP");
    for (const auto& [id, name] : groups) {
        GroupRecord group{};
        SetFieldText(group.identifier, Gbk(id));
        SetFieldText(group.name, Gbk(name));
        catalogue.AppendGroup(group);
    }
    const FileStatus status = SaveCatalogue(catalogue);
    EXPECT_TRUE(status) << status.message;
    return catalogue;
}

std::string PdfText(const std::filesystem::path& pdf, int page, bool layout) {
    QStringList args;
    if (layout)
        args << QStringLiteral("-layout");
    if (page > 0)
        args << QStringLiteral("-f") << QString::number(page) << QStringLiteral("-l") << QString::number(page);
    args << QString::fromStdString(pdf.string()) << QStringLiteral("-");
    QProcess process;
    process.start(QStringLiteral("pdftotext"), args);
    EXPECT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput().toStdString();
}

int PdfPageCount(const std::filesystem::path& pdf) {
    QProcess process;
    process.start(QStringLiteral("pdfinfo"), {QString::fromStdString(pdf.string())});
    EXPECT_TRUE(process.waitForFinished(60000));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    const auto match = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(out);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

std::vector<PdfWord> PdfWords(const std::filesystem::path& pdf) {
    QProcess process;
    process.start(QStringLiteral("pdftotext"),
                  {QStringLiteral("-bbox"), QString::fromStdString(pdf.string()), QStringLiteral("-")});
    EXPECT_TRUE(process.waitForFinished(60000));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    static const QRegularExpression word(
        QStringLiteral("<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\"[^>]*>([^<]*)</word>"));
    std::vector<PdfWord> words;
    for (auto it = word.globalMatch(out); it.hasNext();) {
        const auto match = it.next();
        words.push_back({match.captured(3).toStdString(), match.captured(1).toDouble(), match.captured(2).toDouble()});
    }
    return words;
}

std::string ShippedLayout() {
    return DefaultReportLayoutPath().string();
}

std::string WriteLayout(const std::filesystem::path& folder, const std::string& text) {
    const std::filesystem::path path = folder / "layout.fmt";
    EXPECT_TRUE(WriteFileAtomic(path, text));
    return path.string();
}

void CallLog::OnBegin(const std::string& section, int result) {
    events.push_back("Begin " + Utf8(section) + " -> " + std::to_string(result));
}

void CallLog::OnString(const std::string& field) {
    events.push_back("String " + Utf8(field));
}

void CallLog::OnCommit(const std::vector<std::pair<std::string, std::string>>& fields, int result) {
    std::string text = "Commit ";
    for (size_t i = 0; i < fields.size(); ++i)
        text += (i ? "|" : "") + Utf8(fields[i].first) + "=" + Utf8(fields[i].second);
    events.push_back(text + " -> " + std::to_string(result));
}

std::vector<std::string> CallLog::Only(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : events) {
        if (e.rfind(prefix, 0) == 0)
            out.push_back(e);
    }
    return out;
}

} // namespace kestrel::testing
