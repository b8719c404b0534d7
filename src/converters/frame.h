// The converter frame shared by every table converter: reconnect to the
// destination, log the heading, open both tables, log the old row count, copy
// row by row, log the closing counts, close the old table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "form/conversion_form.h"
#include "registry/registry.h"

namespace qv::conv {

// An error of a run, its message naming the old file, the row and the field
// or column where it happened.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reconnects DataModule2->IBDatabase2 to the destination database of
// `dbname` (closing, and so committing, what was open). True when connected.
bool connect_destination(const std::string& dbname);

// Runs the whole frame for one item with a rule.
void convert_table(Tconversion_form& form, const std::string& dbname, const registry::Item& item);

// Rethrows the exception in flight as a RunError whose message is
// "<file>, row <n>, <field>: <cause>" (a part that is empty / 0 is left
// out); a RunError already in flight passes unchanged. Call from a catch
// block.
[[noreturn]] void rethrow_in_context(std::string_view file, std::int64_t row, std::string_view field);

// Runs `f`; an error it raises is passed on naming file, row and field.
template <class F>
decltype(auto) in_context(std::string_view file, std::int64_t row, std::string_view field, F&& f) {
  try {
    return f();
  } catch (...) {
    rethrow_in_context(file, row, field);
  }
}

}  // namespace qv::conv
