// The figures of a run as a person adds them up, per table: the old rows,
// the new rows, and each share in between with its reason ("skipped (a
// blank CARRIER): 3"). Made from the same per-table figures as the
// headless command's summary.
#pragma once

#include <string>
#include <vector>

#include "run/context.h"

namespace qv {

// The reason a table's rows are skipped, "a blank CARRIER", or "none: every
// row is copied"; `table` is the destination table, "CARRIER_4".
std::string skip_reason(const std::string& table);

// Per table: "CARRIER_4: 18 old rows, 13 new rows" and indented below it
// "skipped (why): n", then "merged (why): n", "shortened (why): n" and the
// rows not in the database when there are any.
std::vector<std::string> table_summary_lines(const std::vector<TableStats>& tables);

}  // namespace qv
