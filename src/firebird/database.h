// The connection of the destination database layer, to a local file through
// the engine in this process or to a database server.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firebird/error.h"

namespace qv::fb {

class Engine;
class IBTransaction;
class IBSQL;
class IBTable;

// A database server reached over the network, and the login it is reached
// with. The password stays here: no message of this layer shows it.
struct Server {
  std::string host;  // "host" or "host/port"
  std::string user = "SYSDBA";
  std::string password;
  std::string wire_crypt = "Required";  // as the WireCrypt setting: Required, Enabled or Disabled
};

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
  // What Close does but detaching: closes the open tables and statements,
  // commits the open transactions and builds the deferred indexes. The
  // connection stays open.
  void FinishWork();
  // Connected to the database DatabaseName and RemoteServer now name.
  bool ConnectedToNamed() const;

  // The real file path the connection uses; on a server "host:path".
  std::string real_path() const;

  // Closes the connection, attaches to the database named and drops it.
  // False when there is no such database; a database in use by another
  // attachment raises Error with is_in_use().
  bool DropDatabase();

  // Forced writes off for a bulk load; Close turns them back on.
  void set_bulk_load(bool on);

  // Makes the indexes of `table` that belong to no constraint inactive until
  // FinishWork or Close, which (after committing) activates them again, so
  // that a bulk load builds each of them once instead of row by row. Call
  // while the table is not in use by an active transaction.
  void defer_indexes(std::string_view table);

  // Reads rows with a statement of its own in a read-only transaction of its
  // own; NULL is nullopt; text comes back UTF-8 (from Windows-1252).
  std::vector<std::vector<std::optional<std::string>>> Query(std::string_view sql);
  // Runs one statement in a transaction of its own, committed at once.
  void ExecuteImmediate(std::string_view sql);

 private:
  struct Impl;
  Impl& impl();
  // FinishWork's steps, each tried when one before it fails; the first
  // failure is left in `first`.
  void finish_work(std::optional<Error>& first, const std::string& context);
  // Activates the indexes defer_indexes made inactive (after the commit).
  void build_deferred_indexes();
  std::unique_ptr<Impl> impl_;
  friend class IBTransaction;
  friend class IBSQL;
  friend class IBTable;
  friend class IBTypedReader;
};

}  // namespace qv::fb
