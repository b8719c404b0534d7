// The table of the destination database layer, which appends rows, several
// in one call of the engine where the connection says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "firebird/error.h"

namespace qv::fb {

class IBDatabase;
class IBTransaction;
class IBTable;

class IBField {
 public:
  const std::string& Name() const { return name_; }
  // The text is converted by the engine to the column's type; an empty text
  // is NULL in non-text columns and an empty string in CHAR columns; a text
  // longer than its CHAR column is shortened to the width and counted.
  void SetAsString(std::string_view utf8);
  void SetAsInteger(std::int64_t v);
  void Clear();  // no value

  // Internal to the table.
  IBField(IBTable* t, std::size_t index, std::string name) : table_(t), index_(index), name_(std::move(name)) {}

 private:
  IBTable* table_;
  std::size_t index_;
  std::string name_;
};

// The table (`IBTable1`): appends rows through one compiled store request
// per column set (the INSERT it stands for, without the SQL layer), started
// once and then sent row after row until the next commit, rollback, count,
// flush or close; into a server, several rows to a call.
class IBTable {
 public:
  IBTable();
  ~IBTable();
  IBTable(const IBTable&) = delete;
  IBTable& operator=(const IBTable&) = delete;

  IBDatabase* Database = nullptr;
  IBTransaction* Transaction = nullptr;
  bool CachedUpdates = false;
  std::string TableName;  // matched without regard to case

  void Open();  // starts the default transaction when none is active
  void Close();
  bool Active() const;
  void SetActive(bool on) { on ? Open() : Close(); }

  void Append();
  IBField& FieldByName(std::string_view column);  // case-insensitive
  // Inserts the appended row. Where the connection sends several rows per
  // call (IBDatabase::rows_per_call) the row waits until that many have been
  // posted, or until Flush, RecordCount, PostUnlessDuplicate, Close or the
  // end of the transaction. A call that fails stores none of its rows; they
  // are then sent one by one, so that the rows before the failing one are
  // stored, and nothing after it. A key clash or a refused value raises
  // Error naming the table, the column where known and the row (the number
  // of rows this table has stored since Open, plus one), carrying `tag` of
  // the row it belongs to (row_tag()), which may be a row posted before.
  void Post(std::int64_t tag = 0);
  // Set: a row that Post or Flush sends and the engine refuses
  // (Error::is_refused_value) is passed to it first.
  // When it returns true the row is left out, uncounted, and the rows after
  // it are sent as usual; false, or an exception of its own, ends the
  // sending there as without it.
  std::function<bool(const Error&)> OnRefused;
  // Sends the rows that wait; a failure raises as Post does.
  void Flush();
  std::size_t Waiting() const;  // rows posted and not sent yet
  // As Post, but sent at once (after the rows that wait), and a primary or
  // unique key clash returns false (nothing stored) instead of raising.
  bool PostUnlessDuplicate();

  std::int64_t RecordCount();  // rows the table holds (SELECT COUNT(*))
  // Values shortened and rows posted since Open, those that wait included
  // (a failure takes the rows it leaves out back out of both).
  std::int64_t Shortened() const;
  std::int64_t Posted() const;

 private:
  struct Impl;
  Impl& impl();
  std::unique_ptr<Impl> impl_;
  friend class IBField;
  friend class IBTransaction;
};

}  // namespace qv::fb
