#include "testing/GridVariables.h"

#include "testing/CSpreadSheet.h"
#include "ui/GbkText.h"

namespace kestrel {

std::vector<VariableRow> ReadGridRows(CSpreadSheet& grid) {
    std::vector<VariableRow> rows;
    const int32_t count = grid.GetRowCount();
    rows.reserve(static_cast<size_t>(std::max(count, 0)));
    for (int32_t r = 1; r <= count; ++r) {
        grid.SetRow(r);
        VariableRow row;
        grid.SetCol(1);
        row.name = ui::ToGbkChecked(grid.GetCellText());
        grid.SetCol(2);
        row.attribute = static_cast<uint8_t>(grid.GetListIndex());
        grid.SetCol(3);
        row.type = static_cast<uint8_t>(grid.GetListIndex());
        grid.SetCol(4);
        row.length = static_cast<int32_t>(ReadWholeNumber(ui::ToGbkChecked(grid.GetCellText())));
        grid.SetCol(5);
        row.remark = ui::ToGbkChecked(grid.GetCellText());
        grid.SetCol(6);
        row.testValue = ui::ToGbkChecked(grid.GetCellText());
        rows.push_back(std::move(row));
    }
    return rows;
}

bool RowHasChoices(const VariableRow& row) {
    return row.attribute >= kImport && row.attribute <= kReport && row.type >= kByte && row.type <= kChar;
}

FillResult ReadTestVariables(CSpreadSheet& grid, TestVariableTable& table) {
    std::vector<VariableRow> rows = ReadGridRows(grid);
    std::erase_if(rows, [](const VariableRow& row) { return !RowHasChoices(row); });
    return FillTestVariables(table, rows);
}

} // namespace kestrel
