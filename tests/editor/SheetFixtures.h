#pragma once
// A host and grid helpers shared by the property sheet's tests.
#include "core/FixedText.h"
#include "editor/ModuleSheet.h"
#include "testing/widgets/CSpreadSheet.h"

#include "support/Builders.h"

#include <filesystem>

namespace kestrel::testsupport {

class FakeHost : public ModuleSheetHost {
public:
    explicit FakeHost(std::filesystem::path folder = std::filesystem::current_path()) : m_folder(std::move(folder)) {}
    FileStatus SaveCurrentModule() override {
        ++saves;
        if (failSave)
            return Fail(FileError::Io("disk full"));
        return Ok();
    }
    std::filesystem::path ModuleFolder() const override { return m_folder; }
    int saves = 0;
    bool failSave = false;

private:
    std::filesystem::path m_folder;
};

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

} // namespace kestrel::testsupport
