// The data-access module: the one holder of every database component.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "firebird/ib.h"
#include "paradox/table.h"

namespace qv {

// The fixed administrator login every local database is made and opened with.
inline constexpr const char* kAdminUser = "SYSDBA";
inline constexpr const char* kAdminPassword = "tarnwheel";
// That login as connection parameters ("user_name=...", "password=...").
std::vector<std::string> admin_login();

// A new database made on a database server instead of as a local file: the
// server with its login, and the folder on the server's machine (in its own
// path syntax) that the database goes into.
struct ServerDestination {
  fb::Server server;
  std::string directory;
  // The path on the server of the database file `file_name`.
  std::string database(const std::string& file_name) const;

  // Why `host` cannot name a server ("HOST" or "HOST/PORT"); empty when it can.
  static std::string host_problem(const std::string& host);
  // The login as Firebird's tools take it from the environment: ISC_USER
  // (else SYSDBA) and ISC_PASSWORD. False, with the user set, when
  // ISC_PASSWORD is not set.
  bool login_from_environment();
};

class TDataModule2 {
 public:
  TDataModule2();
  ~TDataModule2();  // closes the connection, committing an open transaction
  TDataModule2(const TDataModule2&) = delete;
  TDataModule2& operator=(const TDataModule2&) = delete;

  fb::IBTransaction IBTransaction1;
  fb::IBDatabase IBDatabase2;
  fb::IBSQL IBSQL1;
  fb::IBTable IBTable1;
  pdx::PDTable PDTable1;  // the old tables (read-only)
  pdx::PDTable PDTable2;  // the temporary job-search files

  // Set: runs make their database on this server (the temporary job-search
  // files stay local); unset: a local file.
  std::optional<ServerDestination> Server;
};

// The one instance, created by the program entry (and by tests) through
// DataModuleScope.
extern TDataModule2* DataModule2;

// Creates the global module for its lifetime.
class DataModuleScope {
 public:
  DataModuleScope();
  ~DataModuleScope();
  DataModuleScope(const DataModuleScope&) = delete;
  DataModuleScope& operator=(const DataModuleScope&) = delete;
};

}  // namespace qv
