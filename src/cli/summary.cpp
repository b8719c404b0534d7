#include "cli/summary.h"

#include <ctime>

#include <fmt/format.h>

namespace qv::cli {

namespace {
const char* outcome_name(Outcome o) {
  switch (o) {
    case Outcome::Completed: return "completed";
    case Outcome::Refused: return "refused";
    case Outcome::Failed: return "failed";
  }
  return "failed";
}
}  // namespace

void print_summary(std::FILE* out, const RunSummary& s) {
  // The refused rows' column only for a run that leaves them out.
  const auto refused = [&](auto value) { return s.on_error_skip ? fmt::format(" {:>9}", value) : std::string(); };
  if (!s.tables.empty()) {
    fmt::print(out, "{:<16} {:>10} {:>10} {:>9}{} {:>9} {:>9} {:>9}\n", "table", "old rows", "new rows", "skipped",
               refused("refused"), "shortened", "merged", "seconds");
    std::int64_t refused_rows = 0;
    for (const TableStats& t : s.tables) {
      fmt::print(out, "{:<16} {:>10} {:>10} {:>9}{} {:>9} {:>9} {:>9.2f}\n", t.table, t.old_rows, t.new_rows,
                 t.skipped, refused(t.refused), t.shortened, t.merged, t.seconds);
      refused_rows += t.refused;
    }
    if (s.on_error_skip)
      fmt::print(out, "Rows refused and left out: {}{}\n", refused_rows,
                 refused_rows ? ", listed in " + s.reject_file : std::string());
  }
  if (!s.database.empty())
    fmt::print(out, "{}: {}\n", s.outcome == Outcome::Completed ? "Database written" : "Database as the run left it",
               s.database);
  std::fflush(out);
}

nlohmann::json to_json(const RunSummary& s) {
  nlohmann::json tables = nlohmann::json::array();
  for (const TableStats& t : s.tables)
    tables.push_back({{"table", t.table},
                      {"old_rows", t.old_rows},
                      {"new_rows", t.new_rows},
                      {"skipped", t.skipped},
                      {"shortened", t.shortened},
                      {"merged", t.merged},
                      {"refused", t.refused},
                      {"seconds", t.seconds}});
  nlohmann::json j = {{"old_table_directory", s.old_table_directory},
                      {"database", s.database},
                      {"outcome", outcome_name(s.outcome)},
                      {"tables", tables}};
  if (!s.error.empty()) j["error"] = s.error;
  if (s.on_error_skip) j["reject_file"] = s.reject_file;
  return j;
}

std::string utc_time(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  ::gmtime_r(&secs, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return fmt::format("{}.{:03}Z", text, ms % 1000);
}

}  // namespace qv::cli
