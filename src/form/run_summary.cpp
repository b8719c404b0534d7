#include "form/run_summary.h"

#include <fmt/format.h>

#include "registry/registry.h"

namespace qv {

std::string skip_reason(const std::string& table) {
  for (const registry::Item& item : registry::items()) {
    if (item.dest_table != table) continue;
    if (!item.rule || item.rule->skip == registry::Skip::None) return "none: every row is copied";
    std::string fields;
    const auto& columns = item.rule->columns;
    for (std::size_t i = 0; i < columns.size(); ++i)
      fields += std::string(i == 0 ? "" : i + 1 == columns.size() ? " or " : ", ") + std::string(columns[i].old_field);
    return "a blank " + fields;
  }
  return "none: every row is copied";
}

std::vector<std::string> table_summary_lines(const std::vector<TableStats>& tables) {
  std::vector<std::string> lines;
  for (const TableStats& t : tables) {
    lines.push_back(fmt::format("{}: {} old rows, {} new rows", t.table, t.old_rows, t.new_rows));
    lines.push_back(fmt::format("    skipped ({}): {}", skip_reason(t.table), t.skipped));
    if (t.merged) lines.push_back(fmt::format("    merged (the same value as an earlier row): {}", t.merged));
    if (t.shortened)
      lines.push_back(fmt::format("    shortened (too long for their columns; the rows are kept): {}", t.shortened));
    if (const std::int64_t missing = t.old_rows - t.skipped - t.merged - t.new_rows; missing > 0)
      lines.push_back(fmt::format("    not in the database (the run ended before them): {}", missing));
  }
  return lines;
}

}  // namespace qv
