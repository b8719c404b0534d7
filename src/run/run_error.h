// The error a run ends on, and whether it lost the connection. Raised by the
// converters (namespace conv), read by the run's end.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace qv::conv {

// An error of a run, its message naming the old file, the row and the field
// or column where it happened.
class RunError : public std::runtime_error {
 public:
  explicit RunError(const std::string& what, bool connection_lost = false)
      : std::runtime_error(what), connection_lost_(connection_lost) {}
  // Caused by the loss of the connection to the database.
  bool connection_lost() const { return connection_lost_; }

 private:
  bool connection_lost_;
};

// True when the exception lost the connection to the database.
bool connection_lost(std::exception_ptr error);

}  // namespace qv::conv
