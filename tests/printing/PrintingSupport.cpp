#include "PrintingSupport.h"

#include "core/AtomicFile.h"
#include "printing/report/ModuleReport.h"

#include "support/Builders.h"
#include "support/Text.h"

#include <QProcess>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

namespace kestrel::printingtest {

using testsupport::Gbk;
using testsupport::Utf8;

void WriteReportModule(const std::filesystem::path& folder, const ReportModule& module) {
    testsupport::ModuleDraft draft;
    draft.groupId = Gbk(module.groupId);
    draft.title = Gbk(module.title);
    draft.creator = Gbk(module.creator);
    draft.createdAt = Gbk(module.createdAt);
    draft.modifier = Gbk(module.modifier);
    draft.modifiedAt = Gbk(module.modifiedAt);
    draft.body = "select 1";
    testsupport::WriteModule(folder, Gbk(module.fileName), draft);
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

std::string PdfFailure(FormatPrn& report, const std::filesystem::path& pdf) {
    const auto written = report.RunToPdf(pdf);
    return written ? std::string() : written.error().text.toStdString();
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

} // namespace kestrel::printingtest
