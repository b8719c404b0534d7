// The transaction of the destination database layer.
#pragma once

#include <memory>

namespace qv::fb {

class IBDatabase;

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

}  // namespace qv::fb
