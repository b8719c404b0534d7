// The typed reader of the destination database layer: a table's values in
// their own types, and texts converted to those types.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::fb {

class IBDatabase;

// The longest text a number or date column takes (IBField, IBTypedReader):
// the engine converts at most this many bytes.
inline constexpr unsigned kMaxConvertedText = 255;

// A value in its column's own type as the engine holds it, as bytes that are
// equal exactly when the engine's values are (text without its trailing
// blanks); nullopt is NULL.
using TypedValue = std::optional<std::string>;
using TypedRow = std::vector<TypedValue>;

// Reads columns of a table in their own types, in a read-only transaction of
// its own, and converts texts to those types as the engine does when a row
// is posted: for comparing what a table holds with what it should hold,
// without tolerance.
class IBTypedReader {
 public:
  // `columns` of `table`, rows in the order of `order_by` (SQL; empty: as
  // stored).
  IBTypedReader(IBDatabase& db, std::string_view table, const std::vector<std::string>& columns,
                std::string_view order_by);
  ~IBTypedReader();
  IBTypedReader(const IBTypedReader&) = delete;
  IBTypedReader& operator=(const IBTypedReader&) = delete;

  // The next stored row; false after the last.
  bool Next(TypedRow& row);
  // The texts as IBField::SetAsString would store them, converted by the
  // engine to the columns' types; columns past the texts given are NULL.
  // Raises Error when a text is refused.
  void Convert(const std::vector<std::string>& texts, TypedRow& row);
  // As Convert for many rows, BatchRows() of them in each call of the
  // engine. Raises Error when any text is refused (Convert then tells
  // which).
  void ConvertRows(const std::vector<std::vector<std::string>>& texts, std::vector<TypedRow>& rows);
  std::size_t BatchRows() const;
  // Readable text of a value of column i (UTF-8; "NULL" for NULL).
  std::string Display(std::size_t column, const TypedValue& value) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::fb
