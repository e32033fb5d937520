// Writes the module catalogue report of a sample catalogue as PDF into the output folder and
// turns its first page into PNG, for people to look at.
#include "core/ProgramArguments.h"
#include "printing/report/ModuleReport.h"

#include "support/Builders.h"
#include "support/Environment.h"
#include "support/Files.h"
#include "support/Text.h"

#include <QGuiApplication>
#include <QProcess>

#include <cstdio>
#include <filesystem>

namespace {

using kestrel::testsupport::Gbk;

struct Sample {
    const char* file;
    const char* group;
    const char* title;
    const char* creator;
    const char* created;
    const char* modifier;
    const char* modified;
};

const Sample kSamples[] = {
    {"xjrjz.kst", "FIN", "现金日记账与总账核对", "张伟", "2023-03-01 09:12:44", "李娜", "2024-05-20 16:03:11"},
    {"yhdz.kst", "FIN", "银行存款余额调节表检查", "张伟", "2023-03-01 10:05:02", "张伟", "2024-04-11 08:45:30"},
    {"gdzc_zj.kst", "FIN", "固定资产折旧计提复核", "王芳", "2023-04-17 14:22:10", "SA", "2024-06-02 10:00:00"},
    {"yszk_zl.kst", "FIN", "应收账款账龄分析", "王芳", "2023-04-18 11:40:55", "王芳", "2023-11-30 17:20:41"},
    {"fp_cf.kst", "FIN", "重复报销发票检查", "刘洋", "2023-05-09 08:30:00", "刘洋", "2024-01-15 13:14:15"},
    {"gz_ff.kst", "HR", "工资发放与考勤记录比对", "陈静", "2023-06-01 09:00:00", "陈静", "2024-03-08 09:30:12"},
    {"sb_js.kst", "HR", "社会保险缴费基数核查", "陈静", "2023-06-02 15:16:17", "SA", "2024-02-28 18:00:00"},
    {"rzlz.kst", "HR", "入职离职人员名单核对", "杨磊", "2023-07-21 10:10:10", "杨磊", "2023-07-21 10:10:10"},
    {"CGHT_jg.kst", "FIN", "采购合同价格异常检查", "赵敏", "2023-08-08 08:08:08", "李娜", "2024-06-18 11:11:11"},
    {"gys_zc.kst", "FIN", "供应商主数据重复注册检查", "赵敏", "2023-08-09 09:09:09", "赵敏", "2024-01-02 03:04:05"},
    {"quarterly_revenue_recognition_cutoff_test_long_name.kst", "FIN", "收入确认截止性测试（季度末前后十日凭证）", "SA",
     "2023-09-30 23:59:59", "SA", "2024-07-01 00:00:01"},
    {"kc_pd.kst", "FIN", "存货盘点差异分析", "周杰", "2023-10-10 10:00:00", "周杰", "2024-05-05 05:05:05"},
    {"jb_ff.kst", "HR", "加班费发放合规性检查", "杨磊", "2023-11-11 11:11:11", "陈静", "2024-04-04 04:04:04"},
    {"other.kst", "AUDIT2", "另一目录的模块（不应出现）", "SA", "2023-01-01 00:00:00", "SA", "2023-01-01 00:00:00"},
};

} // namespace

int main(int argc, char** argv) {
    // Before Qt, which would take options of its own.
    kestrel::ProgramArguments arguments = kestrel::ParseProgramArguments(argc, argv);
    arguments.ExpectOperands(1, "OUTPUT_FOLDER");
    if (const std::optional<int> exit =
            kestrel::AnswerUsage(arguments, "screenshots_printing",
                                 "usage: screenshots_printing [--] OUTPUT_FOLDER\n"
                                 "Renders sample pages of the module catalogue report to PNG files.\n"
                                 "  -h, --help  this text\n"))
        return *exit;
    const kestrel::testsupport::TestEnvironment environment;
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    const std::filesystem::path out = std::filesystem::absolute(arguments.operands[0]);
    std::filesystem::create_directories(out);
    const kestrel::testsupport::TempDir folder;

    const kestrel::GroupCatalogue catalogue = kestrel::testsupport::WriteCatalogue(
        folder / "sample.MGP", {{"FIN", Gbk("财务审计")}, {"HR", Gbk("人事审计")}});
    auto write = [&](const Sample& s, const std::string& suffix) {
        kestrel::testsupport::ModuleDraft module;
        module.groupId = s.group;
        module.title = Gbk(s.title) + suffix;
        module.creator = Gbk(s.creator);
        module.createdAt = s.created;
        module.modifier = Gbk(s.modifier);
        module.modifiedAt = s.modified;
        std::string fileName = Gbk(s.file);
        if (!suffix.empty())
            fileName.insert(fileName.size() - 4, suffix);
        kestrel::testsupport::WriteModule(folder.Path(), fileName, module);
    };
    for (const auto& sample : kSamples)
        write(sample, "");
    // Enough further modules for a second page.
    for (int i = 1; i <= 20; ++i)
        write(kSamples[i % 13], "_" + std::to_string(i));

    kestrel::ModuleReport report(kestrel::DefaultReportLayoutPath().string().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    const std::filesystem::path pdf = out / "printing_report.pdf";
    int status = 0;
    if (const auto written = report.RunToPdf(pdf); !written) {
        std::fprintf(stderr, "report failed: %s\n", written.error().text.toUtf8().constData());
        status = 1;
    } else {
        const int rc = QProcess::execute(
            QStringLiteral("pdftoppm"),
            {QStringLiteral("-png"), QStringLiteral("-r"), QStringLiteral("110"), QStringLiteral("-f"),
             QStringLiteral("1"), QStringLiteral("-l"), QStringLiteral("1"), QStringLiteral("-singlefile"),
             QString::fromStdString(pdf.string()), QString::fromStdString((out / "printing_report").string())});
        if (rc != 0) {
            std::fputs("pdftoppm failed\n", stderr);
            status = 1;
        } else {
            std::printf("%s\n", (out / "printing_report.png").c_str());
        }
    }
    return status;
}
