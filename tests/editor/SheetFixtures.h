#pragma once
// Records, a host and small helpers shared by the property sheet's tests.
#include "core/FixedText.h"
#include "editor/ModuleSheet.h"
#include "testing/CSpreadSheet.h"

#include <QTemporaryDir>

#include <string>

namespace kestrel::test {

class FakeHost : public ModuleSheetHost {
public:
    explicit FakeHost(std::filesystem::path folder = std::filesystem::current_path()) : m_folder(std::move(folder)) {}
    FileStatus SaveCurrentModule() override {
        ++saves;
        return failSave ? FileStatus::Io("disk full") : FileStatus::Ok();
    }
    std::filesystem::path ModuleFolder() const override { return m_folder; }
    int saves = 0;
    bool failSave = false;

private:
    std::filesystem::path m_folder;
};

inline void SetStamps(ModuleRecord& record) {
    SetFieldText(record.header.creator, "SA");
    SetFieldText(record.header.createdAt, "2024-01-02 03:04:05");
    SetFieldText(record.header.modifier, "li");
    SetFieldText(record.header.modifiedAt, "2024-02-03 04:05:06");
}

inline void AddVariable(ModuleRecord& record, const std::string& name, uint8_t attribute, uint8_t type, int32_t length,
                        const std::string& remark, const std::string& testValue) {
    VariableDefinition& variable = record.variables[static_cast<size_t>(record.header.variableCount++)];
    SetFieldText(variable.name, name);
    variable.attribute = attribute;
    variable.type = type;
    variable.length = length;
    if (!remark.empty())
        record.remarks += name + "," + remark + "\n";
    if (!testValue.empty())
        record.testValues += name + "," + testValue + "\n";
}

inline ModuleRecord SqlRecord(const std::string& sql = "SELECT 1") {
    ModuleRecord record;
    SetFieldText(record.header.keyword, "MODULE_ITEM");
    SetFieldText(record.header.title, "SQL test module");
    record.header.type = kSqlModule;
    record.body = sql;
    record.description = "desc";
    SetStamps(record);
    return record;
}

inline ModuleRecord DllRecord(const std::string& library, const std::string& function) {
    ModuleRecord record;
    SetFieldText(record.header.keyword, "MODULE_ITEM");
    SetFieldText(record.header.title, "DLL test module");
    record.header.type = kDllModule;
    record.body = library + "," + function;
    SetStamps(record);
    return record;
}

// Writes one grid row the way the sheet fills it (no CellChanged).
inline void PutRow(CSpreadSheet& grid, int row, const QString& name, int attribute, int type, int length,
                   const QString& remark, const QString& testValue) {
    grid.SetRow(row);
    grid.SetCol(1);
    grid.SetCellText(name);
    grid.SetCol(2);
    grid.SetListIndex(static_cast<int16_t>(attribute));
    grid.SetCol(3);
    grid.SetListIndex(static_cast<int16_t>(type));
    grid.SetCol(4);
    grid.SetCellText(QString::number(length));
    grid.SetCol(5);
    grid.SetCellText(remark);
    grid.SetCol(6);
    grid.SetCellText(testValue);
}

inline QString Cell(CSpreadSheet& grid, int row, int col) {
    grid.SetRow(row);
    grid.SetCol(col);
    return grid.GetCellText();
}

} // namespace kestrel::test
