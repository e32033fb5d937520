// kestrel-make-demo FOLDER: writes a demo catalogue "demo.MGP" with groups, flow texts and
// SQL and DLL modules in every state into FOLDER, through the same writers the tool uses, and
// the SQLite audit database "audit.db" with the error table KSTError.
#include "accounts/Settings.h"
#include "core/Clock.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "core/ProgramArguments.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "testing/Variables.h"
#include "testing/db/Odbc.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

struct DemoVariable {
    const char* name;
    VariableAttribute attribute;
    VariableType type;
    int32_t length;
    const char* remark;
    const char* testValue;
};

struct DemoModule {
    const char* fileName;
    const char* groupId;
    const char* title;
    int32_t type;
    int32_t flags;
    const char* body;
    const char* description;
    std::vector<DemoVariable> variables;
};

bool WriteModule(const std::filesystem::path& folder, const DemoModule& demo) {
    ModuleRecord record;
    record.fileName = Utf8ToGbkLossy(demo.fileName);
    ModuleHeader& header = record.header;
    SetFieldText(header.keyword, kModuleKeyword);
    SetFieldText(header.groupId, demo.groupId);
    SetFieldText(header.title, Utf8ToGbkLossy(demo.title));
    SetFieldText(header.creator, "SA");
    SetFieldText(header.createdAt, CurrentTimeStamp());
    header.type = demo.type;
    header.flags = demo.flags;
    record.body = Utf8ToGbkLossy(demo.body);
    record.description = Utf8ToGbkLossy(demo.description);
    int index = 0;
    for (const DemoVariable& variable : demo.variables) {
        VariableDefinition& definition = record.variables[index++];
        SetFieldText(definition.name, variable.name);
        definition.attribute = variable.attribute;
        definition.type = variable.type;
        definition.length = variable.length;
        AppendListValue(record.remarks, variable.name, Utf8ToGbkLossy(variable.remark));
        AppendListValue(record.testValues, variable.name, Utf8ToGbkLossy(variable.testValue));
    }
    header.variableCount = index;
    const FileStatus saved = SaveModuleFile(record, "SA", folder);
    if (!saved)
        std::fprintf(stderr, "kestrel-make-demo: %s: %s\n", demo.fileName, saved.error().message.c_str());
    return static_cast<bool>(saved);
}

// Made through the SQLite ODBC driver the SQL tests use, so no other tool is needed.
bool MakeAuditDatabase(const std::filesystem::path& path) {
    if (std::filesystem::exists(path))
        return true;
    odbc::Connection connection;
    odbc::Status result = connection.Connect("Driver=SQLite3;Database=" + path.string());
    if (result) {
        odbc::Statement statement(connection);
        result = statement.Execute("CREATE TABLE KSTError(UserID INTEGER, ErrorCode INTEGER, ErrorMsg TEXT)");
    }
    if (!result)
        std::fprintf(stderr, "kestrel-make-demo: %s: %s\n", path.c_str(), result.error().Text().c_str());
    return static_cast<bool>(result);
}

} // namespace

int main(int argc, char** argv) {
    ProgramArguments arguments = ParseProgramArguments(argc, argv);
    arguments.ExpectOperands(1, "FOLDER");
    if (const std::optional<int> exit =
            AnswerUsage(arguments, "kestrel-make-demo",
                        "usage: kestrel-make-demo [--] FOLDER\n"
                        "Writes the demo workspace into FOLDER (made if need be): the catalogue demo.MGP with its\n"
                        "modules and the SQLite database audit.db. A catalogue made before is kept as it is.\n"
                        "  -h, --help  this text\n"))
        return *exit;
    const std::filesystem::path folder = arguments.operands[0];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "kestrel-make-demo: %s: %s\n", folder.c_str(), error.message().c_str());
        return 1;
    }

    bool ok = MakeAuditDatabase(std::filesystem::absolute(folder / "audit.db"));
    GroupCatalogue catalogue;
    catalogue.Reset(folder / "demo.MGP");
    if (std::filesystem::exists(catalogue.path))
        return ok ? 0 : 1; // made before; the user's changes stay
    const struct {
        const char* id;
        const char* name;
        const char* flow;
    } groups[] = {
        {"XS", "销售审计", "1. 核对销售收入与发票\r\n2. 检查发票连号\r\n\r\n3. 退货异常复核（R&D 部门除外）"},
        {"CG", "采购审计", "供应商名单 -> 重复付款检查 -> 价格波动分析"},
        {"KC", "库存盘点", "月末盘点：\r\n  账面数量与实盘数量逐项核对"},
        {"KONG", "空组（可删除）", ""},
    };
    for (const auto& group : groups) {
        GroupRecord record{};
        SetFieldText(record.identifier, group.id);
        SetFieldText(record.name, Utf8ToGbkLossy(group.name));
        catalogue.AppendGroup(record);
        SetFlowText(catalogue.flowTable, group.id, Utf8ToGbkLossy(group.flow));
    }
    if (const FileStatus saved = SaveCatalogue(catalogue); !saved) {
        std::fprintf(stderr, "kestrel-make-demo: %s\n", saved.error().message.c_str());
        return 1;
    }

    const DemoVariable userId{"UserID", kImport, kInt, 4, "审计员编号", "1"};
    const std::vector<DemoModule> modules = {
        {"xs001.kst",
         "XS",
         "销售收入核对",
         kSqlModule,
         kFlagRequired | kFlagTested | kFlagPassed,
         "-- 销售收入与发票金额核对\r\nINSERT INTO KSTError(UserID, ErrorCode, ErrorMsg)\r\n"
         "VALUES([?:UserID], 0, 'OK')",
         "按月汇总销售收入，与已开发票金额比较。",
         {userId}},
        {"xs002.kst",
         "XS",
         "发票连号检查",
         kSqlModule,
         kFlagTested,
         "INSERT INTO KSTError(UserID, ErrorCode, ErrorMsg) VALUES([?:UserID], [?:Code], 'gap')",
         "检查发票号码是否连续。",
         {userId, {"Code", kConfig, kInt, 4, "返回的错误码", "0"}}},
        {"xs003.kst", "XS", "退货异常", kSqlModule, 0, "SELECT 1", "尚未完成。", {}},
        {"CG001.kst",
         "CG",
         "供应商重复付款（DLL）",
         kDllModule,
         kFlagRequired | kFlagTested | kFlagPassed,
         "./libsample_module.so,SampleAudit",
         "由示例动态库完成的检查。",
         {{"Amount", kImport, kInt, 4, "付款金额", "1200"}, {"Account", kImport, kChar, 20, "科目", "1001 现金"}}},
        {"cg002.kst",
         "CG",
         "采购价格波动",
         kSqlModule,
         kFlagRequired,
         "INSERT INTO KSTError(UserID, ErrorCode, ErrorMsg) VALUES([?:UserID], 0, 'OK')",
         "",
         {userId}},
        {"kc001.kst",
         "KC",
         "库存账实核对（DLL，报错示例）",
         kDllModule,
         0,
         "./libsample_module.so,SampleAudit",
         "金额为负时示例函数返回 2。",
         {{"Amount", kImport, kInt, 4, "盘亏金额", "-5"}, {"Account", kImport, kChar, 20, "科目", "1403"}}},
        {"盘点差异.kst",
         "KC",
         "盘点差异汇总",
         kSqlModule,
         kFlagTested,
         "INSERT INTO KSTError(UserID, ErrorCode, ErrorMsg) VALUES([?:UserID], 0, 'OK')",
         "",
         {userId}},
        {"old001.kst", "OLD", "已撤销模块组的模块", kSqlModule, 0, "SELECT 1", "", {}},
    };
    for (const DemoModule& module : modules)
        ok &= WriteModule(folder, module);

    // The open dialog starts at the demo catalogue, unless a catalogue was used already.
    if (ReadLastFile() == kDefaultLastFile) {
        const std::string path = Utf8ToGbk(std::filesystem::absolute(catalogue.path).string()).value_or("");
        if (!path.empty() && path.size() <= kLastFileMax)
            ok &= static_cast<bool>(WriteLastFile(path));
    }
    return ok ? 0 : 1;
}
