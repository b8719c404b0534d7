// The destination database's tables and indexes as data, and the text of the
// statements that create them. Core code: no engine is needed to read it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::builder {

// How a table's CREATE TABLE statement is laid out.
//   wide:   four blanks, the column name filled to 46 characters, the type.
//   narrow: the lines indented by 7 (parentheses) and 9 (columns, key)
//           blanks, name and type separated by one blank.
enum class Layout { wide, narrow };

struct ColumnDef {
  std::string_view name;
  std::string_view type;               // as sent, e.g. "CHAR(40)", "CHAR  (2)"
  std::string_view default_value = {};  // as sent, e.g. "'N/A'"; empty: none
  bool not_null = false;
  bool blank_before_comma = false;     // the line ends " ," instead of ","
};

struct TableDef {
  std::string_view name;  // "CARRIER_4"
  Layout layout;
  std::vector<ColumnDef> columns;
  std::string_view key;   // as sent inside PRIMARY KEY (...); empty: no key

  const ColumnDef* find_column(std::string_view column) const;  // case-insensitive
  std::vector<std::string> key_columns() const;
};

// The eighteen tables, in the order in which they are created.
const std::vector<TableDef>& schema();
// The table of that name (case-insensitive), or nullptr.
const TableDef* find_table(std::string_view name);

// The lines of a table's CREATE TABLE statement.
std::vector<std::string> create_statement(const TableDef& table);
// The log line written before a table is created.
std::string create_log_line(const TableDef& table);

// A column type read from its text.
struct ColumnType {
  enum class Kind { character, integer, numeric, date, text_blob, other };
  Kind kind = Kind::other;
  int length = 0;     // characters of CHAR(n)
  int precision = 0;  // NUMERIC(p,s)
  int scale = 0;
  int segment_size = 0;  // BLOB ... SEGMENT SIZE n
};
ColumnType parse_type(std::string_view type);
// The width of a CHAR column, nullopt for other types.
std::optional<int> char_width(const ColumnDef& column);

// A secondary index as data; its CREATE INDEX statement is built from it.
struct IndexDef {
  std::string_view name;   // "CATEGORY_"
  std::string_view table;  // "QUORVEL_4"
  std::vector<std::string_view> columns;
  bool descending = false;
  bool unique = false;
  std::string_view log_line;
  // The statement's layout: "ON" starts at this column (blanks fill the
  // gap after the name, at least one).
  std::size_t on_column = 50;

  std::string statement() const;
};
// The secondary indexes, in the order in which they are created.
const std::vector<IndexDef>& indexes();

}  // namespace qv::builder
