#include "testing/widgets/GridVariables.h"

#include "testing/widgets/CSpreadSheet.h"
#include "ui/GbkText.h"

namespace kestrel {

std::vector<VariableRow> ReadGridRows(CSpreadSheet& grid, std::vector<QString>* names) {
    std::vector<VariableRow> rows;
    const int32_t count = grid.GetRowCount();
    rows.reserve(static_cast<size_t>(std::max(count, 0)));
    if (names) {
        names->clear();
        names->reserve(static_cast<size_t>(std::max(count, 0)));
    }
    for (int32_t r = 1; r <= count; ++r) {
        grid.SetRow(r);
        VariableRow row;
        grid.SetCol(CSpreadSheet::kNameColumn);
        const QString name = grid.GetCellText();
        row.name = ui::ToGbkChecked(name);
        if (names)
            names->push_back(name);
        grid.SetCol(CSpreadSheet::kAttributeColumn);
        row.attribute = static_cast<uint8_t>(grid.GetListIndex());
        grid.SetCol(CSpreadSheet::kTypeColumn);
        row.type = static_cast<uint8_t>(grid.GetListIndex());
        grid.SetCol(CSpreadSheet::kLengthColumn);
        row.length = static_cast<int32_t>(ReadWholeNumber(ui::ToGbkChecked(grid.GetCellText())));
        grid.SetCol(CSpreadSheet::kRemarkColumn);
        row.remark = ui::ToGbkChecked(grid.GetCellText());
        grid.SetCol(CSpreadSheet::kTestValueColumn);
        row.testValue = ui::ToGbkChecked(grid.GetCellText());
        rows.push_back(std::move(row));
    }
    return rows;
}

void WriteGridRows(CSpreadSheet& grid, const std::vector<VariableRow>& rows) {
    grid.SetRowCount(static_cast<int32_t>(rows.size()));
    for (size_t i = 0; i < rows.size(); ++i) {
        const VariableRow& row = rows[i];
        grid.SetRow(static_cast<int32_t>(i + 1));
        grid.SetCol(CSpreadSheet::kNameColumn);
        grid.SetCellText(ui::FromGbk(row.name));
        grid.SetCol(CSpreadSheet::kAttributeColumn);
        grid.SetListIndex(static_cast<int16_t>(row.attribute));
        grid.SetCol(CSpreadSheet::kTypeColumn);
        grid.SetListIndex(static_cast<int16_t>(row.type));
        grid.SetCol(CSpreadSheet::kLengthColumn);
        grid.SetCellText(QString::number(row.length));
        // RowsOfModule leaves the texts empty that an opened module does not show.
        if (!row.remark.empty()) {
            grid.SetCol(CSpreadSheet::kRemarkColumn);
            grid.SetCellText(ui::FromGbk(row.remark));
        }
        if (!row.testValue.empty()) {
            grid.SetCol(CSpreadSheet::kTestValueColumn);
            grid.SetCellText(ui::FromGbk(row.testValue));
        }
    }
}

} // namespace kestrel
