#include "firebird/transaction.h"

#include "firebird/transaction_impl.h"

namespace qv::fb {

using namespace Firebird;
using detail::add_to;

IBTransaction::IBTransaction() : impl_(std::make_unique<Impl>()) { impl_->self = this; }

IBTransaction::~IBTransaction() {
  // An active transaction ends with its action on close, commit.
  if (impl_->tra) {
    try {
      impl_->end(true);
    } catch (const std::exception&) {
    }
  }
}

IBTransaction::Impl& IBTransaction::impl() { return *impl_; }
bool IBTransaction::InTransaction() const { return static_cast<bool>(impl_->tra); }

void IBTransaction::StartTransaction() {
  if (impl_->tra) throw Error("Transaction is already active");
  if (!DefaultDatabase || !DefaultDatabase->Connected())
    throw Error("Cannot start a transaction: the database is not connected");
  try {
    impl_->tra = detail::start(*DefaultDatabase->impl().engine, DefaultDatabase->impl().att.get(), false);
  } catch (const FbException& e) {
    throw detail::error(e, "Cannot start a transaction");
  }
  impl_->db = DefaultDatabase;
  add_to(DefaultDatabase->impl().transactions, this);
}

void IBTransaction::Commit() {
  if (!impl_->tra) throw Error("Transaction is not active");
  impl_->end(true);
}

void IBTransaction::Rollback() {
  if (!impl_->tra) throw Error("Transaction is not active");
  impl_->end(false);
}

}  // namespace qv::fb
