// The converter frame shared by every table converter: reconnect to the
// destination, log the heading, open both tables, log the old row count, copy
// row by row, log the closing counts, close the old table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "form/conversion_form.h"

namespace qv::conv {

// How a value is written to its destination column.
enum class Write {
  AsRead,   // the text exactly as read
  Upper,    // upper-cased, untrimmed
  TrueFlag  // integer 1 when the upper-cased text equals "TRUE", else 0
};

// Which rows are left out.
enum class Skip {
  None,      // every row is copied
  AnyBlank   // a row with any mapped value blank (codes 0 to 32 only) is skipped
};

struct Column {
  std::string_view old_field;
  std::string_view dest_column;
  Write write = Write::AsRead;
};

// One table's conversion, as data.
struct TableRule {
  std::string_view old_file;    // e.g. "CARRIER.db"
  std::string_view dest_table;  // e.g. "CARRIER_4" (as the converter names it)
  std::string_view heading;     // e.g. "CARRIER table..........."
  std::vector<Column> columns;
  Skip skip = Skip::None;
  bool merge_duplicates = false;  // lookup lists: a value already stored is merged
  std::size_t key_columns = 0;    // the first n columns form the destination key
};

// An error of a run, its message naming the old file, the row and the field
// or column where it happened.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text given to the destination for a value read as `value`.
std::string written_text(Write how, const std::string& value);

// The number a text stands for as the database reads it (blanks around it
// allowed); nullopt when it is no number.
std::optional<double> read_number(std::string_view text);

// True for a number with a fraction ("2.5"): an INTEGER column refuses it
// rather than rounding it, which would change the value (and a key).
bool has_fraction(std::string_view text);

// The rule of check-list item i (0 to 17); nullptr for the job-search table,
// which has a converter of its own.
const TableRule* rule_for_item(std::size_t check_list_index);

// Reconnects DataModule2->IBDatabase2 to the destination database of
// `dbname` (closing, and so committing, what was open). True when connected.
bool connect_destination(const std::string& dbname);

// Runs the whole frame for one table.
void convert_table(Tconversion_form& form, const std::string& dbname, const TableRule& rule);

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
