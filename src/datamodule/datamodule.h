// The data-access module: the one holder of every database component.
#pragma once

#include "firebird/ib.h"
#include "paradox/table.h"

namespace qv {

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
