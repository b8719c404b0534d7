// Verify: reads the database a run made from an old data set and compares it
// with the old tables as the run's rules turn them into rows: every expected
// row present, no extra row, every value equal as the engine compares it.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "datamodule/datamodule.h"

namespace qv::verify {

// Verify cannot start: no database for the folder, or no valid folder.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Difference {
  std::string table;     // destination table, e.g. "CARRIER_4"
  std::string key;       // "PK 12", "CARRIER 'UPS'", "row 3"
  std::string column;    // empty for a whole row
  std::string expected;  // "(no row)" for an extra row
  std::string found;     // "(no row)" for a missing row
};

struct TableResult {
  std::string table;
  std::int64_t expected = 0, found = 0, missing = 0, extra = 0, differing = 0;
  std::vector<Difference> shown;  // the first max_shown
  // Old rows the run refused and left out, as its reject file lists them:
  // no difference. `refused_shown`: the first max_shown (key: the old file
  // and row, column: the field, found: the reason).
  std::int64_t refused = 0;
  std::vector<Difference> refused_shown;
  bool clean() const { return missing == 0 && extra == 0 && differing == 0; }
};

struct Report {
  std::string database;  // real path of the file compared
  std::string reject_file;  // the run's reject file read, if any
  // How the database's structure differs from what a run makes (key: the
  // object, e.g. "column MEMO", "index CATEGORY_"); first in the report.
  std::vector<Difference> structure;
  std::vector<TableResult> tables;
  bool clean() const;
  // The structure's line and differences, then per table a line and its
  // differences, then the total line.
  std::vector<std::string> lines() const;
  nlohmann::json to_json() const;
};

struct Options {
  std::string directory;    // the old data set (a program path)
  std::vector<bool> ticks;  // per check-list item; empty: every table
  int codepage = 0;         // instead of the tables' own, as the run would
  std::string database_name;  // the run's database; empty: the one the folder gives
  std::size_t max_shown = 20;
  // Set: the database is the one a run made on this server.
  std::optional<ServerDestination> server;
  // The reject file of a run that left refused rows out (a native path);
  // empty: the one beside the database (conv::reject_file), when it is
  // there. The rows it lists that the run's rules refuse are counted as
  // refused by the run, not as missing.
  std::string reject_file;
};

// Compares the ticked tables in check-list order. Raises Refused when the
// folder names no database or the database file is not there.
Report run(const Options& options);

}  // namespace qv::verify
