// Destination database client layer: connection, transaction, statement and
// table, on a Firebird 3 engine running embedded in this process (SQL dialect
// 1, character set NONE). Text is UTF-8 in the program and reaches the
// database as Windows-1252 bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv::fb {

// The longest text a number or date column takes (IBField, IBTypedReader):
// the engine converts at most this many bytes.
inline constexpr unsigned kMaxConvertedText = 255;

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

class Engine;
class IBTransaction;

// A database server reached over the network, and the login it is reached
// with. The password stays here: no message of this layer shows it.
struct Server {
  std::string host;  // "host" or "host/port"
  std::string user = "SYSDBA";
  std::string password;
  std::string wire_crypt = "Required";  // as the WireCrypt setting: Required, Enabled or Disabled
};

// Lays out an engine root folder at `root` (an existing folder): links to the
// installed engine's plugins, character sets and messages, and its settings
// with ours and then `extra_settings` lines appended. Pointing the FIREBIRD
// variable at it before the engine starts makes the engine use it. False when
// the installed engine is laid out otherwise or the folder cannot be used.
bool lay_out_engine_root(const std::filesystem::path& root, std::string_view extra_settings);

class IBTable;

// The connection (`IBDatabase2`).
class IBDatabase {
 public:
  IBDatabase();  // on the installed engine
  explicit IBDatabase(std::shared_ptr<const Engine> engine);
  ~IBDatabase();  // closes, committing an active transaction
  IBDatabase(const IBDatabase&) = delete;
  IBDatabase& operator=(const IBDatabase&) = delete;

  // Parameter list: for CreateDatabase its lines are the clauses of CREATE
  // DATABASE ("USER 'SYSDBA'", "PAGE_SIZE 4096", ...); for Open they are
  // name=value lines ("user_name=SYSDBA", "password=...").
  std::vector<std::string> Params;
  // The program's path of the file ("C:\MyData\...\x.gdb" or a native path);
  // mapped through the drive root. On a server: the database's path on the
  // server's machine, in its own syntax, used as it stands.
  std::string DatabaseName;
  // Set: the database lives on this server, reached with its login (the
  // user and password of Params are not used); unset: a local file.
  std::optional<Server> RemoteServer;
  bool LoginPrompt = false;  // there is no login dialog; kept for the settings
  int SQLDialect = 1;
  int IdleTimer = 0;
  // Rows a table sends to the engine in one call (one EXECUTE BLOCK); 0:
  // the default for where the database is, one for a local file (the engine
  // runs in this process, so a call costs little) and kServerRowsPerCall on
  // a server (every call is a round trip over the network).
  int RowsPerCall = 0;
  static constexpr int kServerRowsPerCall = 20;
  std::size_t rows_per_call() const;
  IBTransaction* DefaultTransaction = nullptr;

  // Sends CREATE DATABASE '<file>' with the parameter lines and leaves the
  // connection open on the new file.
  void CreateDatabase();
  void Open();
  // Commits an active default transaction, closes open tables, detaches, and
  // makes the file durable (forced writes back on when a load turned them off).
  void Close();
  bool Connected() const;

  // The real file path the connection uses; on a server "host:path".
  std::string real_path() const;

  // Closes the connection, attaches to the database named and drops it.
  // False when there is no such database; a database in use by another
  // attachment raises Error with is_in_use().
  bool DropDatabase();

  // Forced writes off for a bulk load; Close turns them back on.
  void set_bulk_load(bool on);

  // Makes the indexes of `table` that belong to no constraint inactive until
  // Close, which (after committing) activates them again, so that a bulk
  // load builds each of them once instead of row by row. Call while the
  // table is not in use by an active transaction.
  void defer_indexes(std::string_view table);

  // Reads rows with a statement of its own in a read-only transaction of its
  // own; NULL is nullopt; text comes back UTF-8 (from Windows-1252).
  std::vector<std::vector<std::optional<std::string>>> Query(std::string_view sql);
  // Runs one statement in a transaction of its own, committed at once.
  void ExecuteImmediate(std::string_view sql);

 private:
  struct Impl;
  Impl& impl();
  std::unique_ptr<Impl> impl_;
  friend class IBTransaction;
  friend class IBSQL;
  friend class IBTable;
  friend class IBTypedReader;
};

// The transaction (`IBTransaction1`). Its action when the connection closes
// while it is active is commit.
class IBTransaction {
 public:
  IBTransaction();
  ~IBTransaction();
  IBTransaction(const IBTransaction&) = delete;
  IBTransaction& operator=(const IBTransaction&) = delete;

  IBDatabase* DefaultDatabase = nullptr;

  void StartTransaction();  // error when already active
  void Commit();
  void Rollback();
  bool InTransaction() const;

 private:
  struct Impl;
  Impl& impl();
  std::unique_ptr<Impl> impl_;
  friend class IBDatabase;
  friend class IBSQL;
  friend class IBTable;
};

// The statement (`IBSQL1`): the SQL lines form one statement, joined with CR LF.
class IBSQL {
 public:
  IBSQL();
  ~IBSQL();
  IBSQL(const IBSQL&) = delete;
  IBSQL& operator=(const IBSQL&) = delete;

  IBDatabase* Database = nullptr;
  IBTransaction* Transaction = nullptr;
  std::vector<std::string> SQL;
  bool ParamCheck = true;

  std::string Text() const;  // the lines joined with CR LF
  void Close();
  void Prepare();
  bool Prepared() const;
  void ExecQuery();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

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

// The table (`IBTable1`): appends rows through one prepared INSERT per column
// set, reused for every row.
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

// The engine shuts itself down on SIGINT and SIGTERM, under the feet of a
// running load. After this call it declines to: the program's own handlers
// (installed before the first connection; the engine calls them too) decide
// what a signal does.
// It also starts the watch of stop signals: stop_signal_arrived(), called
// from a stop signal's handler, makes sure the program ends even when its
// run sits in an engine call that does not return. A few seconds after the
// signal, if no engine call was made meanwhile, the calls of every
// attachment are cancelled (the run then ends as a stop does:
// cancelled_on_stop() tells it so); if the process has still not ended a
// few seconds later, it ends with 128 + the signal and a line saying where
// it stopped (note_activity()) and that the database may be incomplete.
void keep_engine_running_on_signals();
void stop_signal_arrived(int sig) noexcept;  // async-signal-safe
bool cancelled_on_stop() noexcept;
void note_activity(const std::string& where);

// Ends the engine once the program's work is done: every connection and
// object of it must be gone. Shuts it down (once), removes this process's
// engine folders and returns `code`. Should the shutdown not end within
// 10 seconds, the process ends with `code` and a line on standard error.
int end_engine(int code);

}  // namespace qv::fb
