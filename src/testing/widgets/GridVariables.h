#pragma once
// The variables grid as test-time variables: its rows in neutral form.
#include "testing/Variables.h"

#include <QString>

#include <vector>

namespace kestrel {

class CSpreadSheet;

// Every row of the grid, in row order, as it stands (empty rows included). attribute and
// type are the low byte of GetListIndex, so a drop-down with nothing chosen reads 0xFF.
// names, when given, receives column 1 as shown (for checks that need the text before its
// conversion to GBK).
std::vector<VariableRow> ReadGridRows(CSpreadSheet& grid, std::vector<QString>* names = nullptr);

// Shows rows (RowsOfModule of an opened module) in the grid, one row each.
void WriteGridRows(CSpreadSheet& grid, const std::vector<VariableRow>& rows);

} // namespace kestrel
