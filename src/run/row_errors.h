// What a run does with a row that the conversion or the engine refuses (a
// value its column cannot take, a key already there). Without a RowErrors
// the run stops at the first such row; with one it leaves each out, records
// it in the reject file, and stops only at one row too many.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qv::conv {

// A row the run left out, as the reject file lists it.
struct RefusedRow {
  std::string old_file;  // e.g. "CITY.db"
  std::int64_t row = 0;  // record of the old table, from 1
  std::string field;     // the old field or the new column, when known
  std::string value;     // its text, when known
  std::string reason;    // the error's message
};

class RowErrors {
 public:
  // `max_rows`: rows left out before the next refused one stops the run (0:
  // no limit). `record` writes a row to the reject file; when it raises,
  // the run stops on that.
  RowErrors(std::int64_t max_rows, std::function<void(const RefusedRow&)> record)
      : max_rows_(max_rows), record_(std::move(record)) {}

  // Call from a catch block with the row's failure in flight. Returns once
  // the row is recorded as left out; rethrows the failure when the run is
  // to stop on it: a lost connection, a stop, or the row past the limit.
  // Safe from any thread.
  void leave_out(std::string_view old_file, std::int64_t row, std::string_view field, std::string_view value);

  std::int64_t count() const;
  // True once a refused row went past the limit (the run then stopped).
  bool over_limit() const;
  std::int64_t max_rows() const { return max_rows_; }

 private:
  const std::int64_t max_rows_;
  std::function<void(const RefusedRow&)> record_;
  mutable std::mutex mu_;
  std::int64_t count_ = 0;
  bool over_limit_ = false;
};

// The reject file of a run into database `dbname`, beside it:
// "C:\\...\\db\\NAME.rejects.csv" (a program path).
std::string reject_file(const std::string& dbname);

// The reject file: CSV with this header line, then one line per row left
// out, UTF-8, lines ended by CR LF.
inline constexpr std::string_view kRejectHeader = "old_file,row,field,value,reason\r\n";
std::string reject_line(const RefusedRow& r);
// The rows a reject file lists. Raises when it cannot be read or is not
// a reject file.
std::vector<RefusedRow> read_rejects(const std::filesystem::path& file);

}  // namespace qv::conv
