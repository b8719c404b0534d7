// The error a run ends on, and whether it lost the connection. Raised by the
// converters (namespace conv), read by the run's end.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace qv::conv {

// An error of a run, its message naming the old file, the row and the field
// or column where it happened.
class RunError : public std::runtime_error {
 public:
  explicit RunError(const std::string& what, bool connection_lost = false, std::string field = {},
                    bool refused = false)
      : std::runtime_error(what), connection_lost_(connection_lost), field_(std::move(field)), refused_(refused) {}
  // Caused by the loss of the connection to the database.
  bool connection_lost() const { return connection_lost_; }
  // The old field or the new column(s) the error names; empty when none.
  const std::string& field() const { return field_; }
  // The row's values were refused (a value or a key the destination does
  // not take), rather than the run failing on its own.
  bool refused() const { return refused_; }

 private:
  bool connection_lost_;
  std::string field_;
  bool refused_;
};

// True when the exception lost the connection to the database.
bool connection_lost(std::exception_ptr error);

}  // namespace qv::conv
