#pragma once
// The variables grid as test-time variables: its rows in neutral form, and the test table
// filled from them.
#include "testing/Variables.h"

#include <vector>

namespace kestrel {

class CSpreadSheet;

// Every row of the grid, in row order, as it stands (empty rows included). attribute and
// type are the low byte of GetListIndex, so a drop-down with nothing chosen reads 0xFF.
std::vector<VariableRow> ReadGridRows(CSpreadSheet& grid);

// Whether a row's attribute and type name real items (a drop-down with nothing chosen
// does not).
bool RowHasChoices(const VariableRow& row);

// Fills table from the grid for one test run. Rows whose attribute or type has nothing
// chosen stay out of the test. On failure the result carries the one message to show.
FillResult ReadTestVariables(CSpreadSheet& grid, TestVariableTable& table);

} // namespace kestrel
