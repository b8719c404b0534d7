// The eighteen items of the check list as one table: the old file, the
// destination table and its definition, the rule that turns old rows into
// new ones (every item but the job-search table, which goes its own way
// through temporary files).
// The form, the converters, the check and verify read their table lists
// from here (the builder creates the tables of its schema, in this order). Core code: no engine is needed to read it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "builder/schema.h"

namespace qv::registry {

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

// One table's conversion on the converter frame, as data.
struct TableRule {
  std::string_view old_file;    // e.g. "CARRIER.db"
  std::string_view dest_table;  // e.g. "CARRIER_4" (as the converter names it)
  std::string_view heading;     // e.g. "CARRIER table..........."
  std::vector<Column> columns;
  Skip skip = Skip::None;
  bool merge_duplicates = false;  // lookup lists: a value already stored is merged
  std::size_t key_columns = 0;    // the first n columns form the destination key
};

struct Item {
  std::string_view item;        // the check-list text, e.g. "carrier.db"
  std::string_view old_file;    // e.g. "CARRIER.db"
  std::string dest_table;       // e.g. "CARRIER_4"
  std::optional<TableRule> rule;  // none: the job-search table
  const builder::TableDef* definition;  // of dest_table
};

inline constexpr std::size_t kItems = 18;

// The items in check-list order, which is also the order of creation and of
// conversion.
const std::array<Item, kItems>& items();

// The item of a destination table ("CARRIER_4"); std::logic_error for none.
const Item& item(std::string_view dest_table);

// The job-search item (the one without a rule).
const Item& job_search();

}  // namespace qv::registry
