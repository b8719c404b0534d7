// The failure every part of the destination database layer raises.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace qv::fb {

// Every failure of this layer. what() carries the engine's message plus,
// where known, table, column and row number.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& msg, long gds_code = 0, bool no_such_file = false)
      : std::runtime_error(msg), gds_code_(gds_code), no_such_file_(no_such_file) {}
  long gds_code() const { return gds_code_; }
  bool is_duplicate_key() const;  // primary or unique key violation
  bool is_in_use() const;         // another attachment holds the object
  bool is_no_such_file() const { return no_such_file_; }  // the database file is not there
  // The connection to the database (a server's network link, or an
  // attachment shut down) is gone: nothing more can be done or committed on it.
  bool is_connection_lost() const { return connection_lost_; }
  void set_connection_lost() { connection_lost_ = true; }
  // The tag of the row the failure belongs to (IBTable::Post), which may be
  // a row posted before the call that raised it.
  std::optional<std::int64_t> row_tag() const { return row_tag_; }
  void set_row_tag(std::int64_t tag) { row_tag_ = tag; }
  // A value or the key of a row that the column or the table does not take
  // (a conversion, a range, a required value, a key already there), as
  // opposed to a failure of the engine, its files or the connection.
  bool is_refused_value() const { return refused_value_; }
  void set_refused_value() { refused_value_ = true; }
  // The column whose value was refused, when the engine's message tells.
  const std::string& column() const { return column_; }
  void set_column(std::string column) { column_ = std::move(column); }

 private:
  long gds_code_;
  bool no_such_file_;
  bool connection_lost_ = false;
  bool refused_value_ = false;
  std::optional<std::int64_t> row_tag_;
  std::string column_;
};

}  // namespace qv::fb
