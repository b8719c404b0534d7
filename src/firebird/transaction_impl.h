// The transaction's inside, for the statement and the table that run in it.
// Private to src/firebird.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "firebird/database_impl.h"
#include "firebird/transaction.h"

namespace qv::fb {

struct IBTransaction::Impl {
  detail::Transaction tra;
  IBDatabase* db = nullptr;  // the connection it runs on while active

  // Ends the transaction; on failure it is rolled back and the error raised.
  void end(bool commit) {
    settle_tables(commit);
    detail::Transaction t = std::move(tra);
    IBDatabase* d = std::exchange(db, nullptr);
    detail::remove_from(d->impl().transactions, self);
    detail::Status st(*d->impl().engine);
    try {
      t.end([&](Firebird::ITransaction* p) { commit ? p->commit(st.get()) : p->rollback(st.get()); });
    } catch (const Firebird::FbException& e) {
      throw detail::error(e, commit ? "Commit failed" : "Rollback failed");
    }
  }
  IBTransaction* self = nullptr;

  // Rows that wait in the tables writing in this transaction are sent before
  // a commit and dropped by a rollback. Defined with the table.
  void settle_tables(bool commit);

  // The engine transaction of a component's transaction, which must be active.
  static Firebird::ITransaction* active(IBTransaction* t, std::string_view who) {
    if (!t || !t->InTransaction()) throw Error(std::string(who) + ": the transaction is not active");
    return t->impl().tra.get();
  }
};

}  // namespace qv::fb
