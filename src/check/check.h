// The pre-flight check: reads every ticked old table completely and tells
// what would stop a run or change values on the way, without writing
// anything anywhere and without the database engine.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv::check {

enum class Kind {
  // These end a run.
  missing_table,
  missing_field,
  corrupt_file,
  missing_required,  // a job-search record without a value the run needs
  too_long,          // longer than the temporary job-search field it passes through
  key_clash,
  empty_key,
  no_cp1252,
  bad_date,
  bad_number,
  fraction,  // a number with a fraction for an INTEGER column
  // These only change what arrives.
  merged,     // a lookup value already in the list
  shortened,  // longer than its CHAR column
  beyond_precision,  // more integer digits than the NUMERIC column declares
  time_dropped,  // a time of day, where the job-search temporary file keeps the date only
};
inline constexpr std::size_t kKinds = 15;

// True for the kinds that end a run.
bool stops_run(Kind kind);
// "key clash", "shortened", ...
const char* kind_name(Kind kind);

struct Finding {
  Kind kind;
  std::string table;   // old file, e.g. "CARRIER.db"
  std::int64_t row = 0;  // 1-based; 0 when it concerns the whole table
  std::string field;   // old field
  std::string value;   // as read (UTF-8)
  std::string detail;  // what happens to it
};

// "CARRIER.db, row 3, CARRIER: "Fedex" key clash: ..." (one line).
std::string format_finding(const Finding& f);

// The detail lines of a stream of findings, merged and shortened: a finding
// of the kind, table and field of the one before of its kind, in the next
// row, joins that one's line ("CITY.db, rows 12-40, CITY: "..." - ...
// (29 rows, the first shown)"); long values are cut.
class DetailLines {
 public:
  // True when `f` would join the line of the finding of its kind before it.
  bool joins(const Finding& f) const;
  void add(const Finding& f);
  // In the order their first findings came.
  std::vector<std::string> lines() const;

 private:
  struct Line {
    Finding first;
    std::int64_t last_row = 0, rows = 0;
  };
  std::vector<Line> lines_;
  std::array<std::size_t, kKinds> open_ = [] {
    std::array<std::size_t, kKinds> a{};
    a.fill(SIZE_MAX);
    return a;
  }();  // per kind, its last line
};

struct Report {
  std::array<std::int64_t, kKinds> counts{};
  std::int64_t rows_read = 0;
  // What the run would do with a file already at the database's path
  // (empty when there is none), and whether that stops it.
  std::string destination;
  bool destination_stops = false;
  bool stops() const;
  // The records read, one line per kind found, then what the run would do
  // with a database already there; the verdict is the caller's, said first.
  std::vector<std::string> summary_lines() const;
};

// What a run does with a database already at its path.
enum class Existing {
  Deleted,   // deleted first, then created afresh (the desktop program)
  Refused,   // the run is refused (the command without --replace)
  Replaced,  // built beside it, put in its place once the run completes
};

struct Options {
  std::string directory;   // the old data set (a program path)
  std::vector<bool> ticks;  // per check-list item; empty: every table
  int codepage = 0;        // instead of the tables' own, as the run would
  std::string database_name;  // the run's database; empty: the one the folder gives
  bool on_server = false;  // the run writes to a server: no local database to describe
  Existing existing = Existing::Deleted;
  // Called for every finding as it is found.
  std::function<void(const Finding&)> on_finding;
};

// Checks the ticked tables in check-list order. Only a folder that cannot be
// read at all raises; everything about a table is a finding.
Report run(const Options& options);

}  // namespace qv::check
