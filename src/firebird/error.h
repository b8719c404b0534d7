// The failure every part of the destination database layer raises.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

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

 private:
  long gds_code_;
  bool no_such_file_;
  bool connection_lost_ = false;
  std::optional<std::int64_t> row_tag_;
};

}  // namespace qv::fb
