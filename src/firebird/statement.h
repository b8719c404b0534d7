// The statement of the destination database layer.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qv::fb {

class IBDatabase;
class IBTransaction;

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

}  // namespace qv::fb
