// A private drive root with one database file, for the tests of the client
// layer and of the data module.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firebird/ib.h"
#include "platform/paths.h"
#include "support/testsupport.h"

namespace qv::test {

inline const std::string kDbFolder = "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db";
inline const std::string kDbName = kDbFolder + "\\abcd1234.gdb";

// Creates the database at kDbName as the program does, with the given
// statements each committed, and closes it.
inline void create_database(const std::vector<std::string>& ddl) {
  platform::force_directories(kDbFolder);
  fb::IBDatabase db;
  db.DatabaseName = kDbName;
  db.Params = {"USER 'SYSDBA'", "PASSWORD 'tarnwheel'", "PAGE_SIZE 4096", ""};
  db.CreateDatabase();
  for (const std::string& s : ddl) db.ExecuteImmediate(s);
  db.Close();
}

// The first value of the first row of a query, on a connection of its own.
inline std::string scalar(const std::string& sql) {
  fb::IBDatabase db;
  db.DatabaseName = kDbName;
  db.Params = {"user_name=SYSDBA", "password=tarnwheel"};
  db.Open();
  return db.Query(sql).at(0).at(0).value_or("<null>");
}

}  // namespace qv::test
