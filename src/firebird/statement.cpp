#include "firebird/statement.h"

#include "firebird/transaction_impl.h"
#include "platform/text.h"

namespace qv::fb {

using namespace Firebird;
using detail::Status;
using detail::add_to;
using detail::remove_from;

struct IBSQL::Impl {
  detail::Statement stmt;
  IBDatabase* db = nullptr;  // the connection the statement is prepared on
  std::string text;          // the text that was prepared
};

IBSQL::IBSQL() : impl_(std::make_unique<Impl>()) {}
IBSQL::~IBSQL() { Close(); }

std::string IBSQL::Text() const {
  std::string text;
  for (std::size_t i = 0; i < SQL.size(); ++i) {
    if (i) text += "\r\n";
    text += SQL[i];
  }
  return text;
}

void IBSQL::Close() {
  if (!impl_->stmt) return;
  impl_->stmt.reset();
  remove_from(impl_->db->impl().statements, this);
  impl_->db = nullptr;
}

bool IBSQL::Prepared() const { return impl_->stmt && impl_->text == Text(); }

namespace {

// The statement's first non-blank line, to name it in errors.
std::string first_line(const std::vector<std::string>& lines) {
  for (const std::string& l : lines)
    if (!platform::is_blank(l)) return std::string(platform::trim(l));
  return {};
}

}  // namespace

void IBSQL::Prepare() {
  Close();
  const std::string context = "Cannot prepare \"" + first_line(SQL) + "\"";
  if (!Database || !Database->Connected()) throw Error(context + ": the database is not connected");
  ITransaction* tra = IBTransaction::Impl::active(Transaction, context);
  std::string text = Text();
  Status st(*Database->impl().engine);
  try {
    impl_->stmt = detail::Statement(Database->impl().att->prepare(st.get(), tra, static_cast<unsigned>(text.size()),
                                                                  text.c_str(),
                                                                  static_cast<unsigned>(Database->SQLDialect), 0));
  } catch (const FbException& e) {
    throw detail::error(e, context);
  }
  impl_->text = std::move(text);
  impl_->db = Database;
  add_to(Database->impl().statements, this);
}

void IBSQL::ExecQuery() {
  if (!Prepared()) Prepare();
  std::string context = "\"";
  context += first_line(SQL);
  context += "\" failed";
  ITransaction* tra = IBTransaction::Impl::active(Transaction, context);
  Status st(*impl_->db->impl().engine);
  try {
    impl_->stmt->execute(st.get(), tra, nullptr, nullptr, nullptr, nullptr);
  } catch (const FbException& e) {
    throw detail::error(e, context);
  }
}

}  // namespace qv::fb
