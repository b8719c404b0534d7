#include "datamodule/datamodule.h"

#include <cstdio>

namespace qv {

TDataModule2* DataModule2 = nullptr;

TDataModule2::TDataModule2() {
  IBDatabase2.Params = {"user_name=sysdba", "password=tarnwheel", ""};
  IBDatabase2.LoginPrompt = false;
  IBDatabase2.DefaultTransaction = &IBTransaction1;
  IBDatabase2.IdleTimer = 0;
  IBDatabase2.SQLDialect = 1;
  IBTransaction1.DefaultDatabase = &IBDatabase2;
  IBSQL1.Database = &IBDatabase2;
  IBSQL1.Transaction = &IBTransaction1;
  IBSQL1.ParamCheck = true;
  IBTable1.Database = &IBDatabase2;
  IBTable1.Transaction = &IBTransaction1;
  IBTable1.CachedUpdates = false;
  PDTable1.ReadOnly = true;
  PDTable2.ReadOnly = false;
}

TDataModule2::~TDataModule2() {
  // Components are destroyed in reverse order of declaration; close the
  // connection first so that the open transaction is committed.
  try {
    IBDatabase2.Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Closing the database failed: %s\n", e.what());
  }
}

DataModuleScope::DataModuleScope() { DataModule2 = new TDataModule2(); }
DataModuleScope::~DataModuleScope() {
  delete DataModule2;
  DataModule2 = nullptr;
}

}  // namespace qv
