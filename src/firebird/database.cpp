#include "firebird/database.h"

#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <ibase.h>
#include <unistd.h>

#include "firebird/database_impl.h"
#include "firebird/statement.h"
#include "firebird/table.h"
#include "firebird/transaction.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace qv::fb {

using namespace Firebird;
using detail::Status;
using detail::detach;
using detail::valid_name;

namespace {

// Writes the file's data and its folder entry to disk.
void sync_file(const std::string& path) {
  for (const std::string& p : {path, std::filesystem::path(path).parent_path().string()}) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

IBDatabase::IBDatabase() : IBDatabase(installed_engine()) {}

IBDatabase::IBDatabase(std::shared_ptr<const Engine> engine) : impl_(std::make_unique<Impl>()) {
  impl_->engine = std::move(engine);
}

IBDatabase::~IBDatabase() {
  try {
    Close();
  } catch (const std::exception&) {
    // Nothing more can be done here; Close has let go of everything.
  }
}

IBDatabase::Impl& IBDatabase::impl() { return *impl_; }
bool IBDatabase::Connected() const { return static_cast<bool>(impl_->att); }
std::size_t IBDatabase::rows_per_call() const {
  if (RowsPerCall > 0) return static_cast<std::size_t>(RowsPerCall);
  return RemoteServer ? kServerRowsPerCall : 1;
}
std::string IBDatabase::real_path() const {
  return RemoteServer ? RemoteServer->host + ":" + DatabaseName : platform::map_path(DatabaseName).string();
}

// The path the engine is given: the local file, or the path on the server.
static std::string engine_path(const IBDatabase& db) {
  return db.RemoteServer ? db.DatabaseName : db.real_path();
}

bool IBDatabase::DropDatabase() {
  // Whatever the connection had open is closed first: only the database
  // named is dropped.
  Close();
  const std::string name = real_path();
  Impl& d = *impl_;
  try {
    d.att = detail::attach(*d.engine, engine_path(*this), RemoteServer ? &*RemoteServer : nullptr);
  } catch (const FbException& e) {
    if (detail::no_such_file(e.getStatus())) return false;
    throw detail::error(e, "Cannot open database " + name);
  }
  d.path = engine_path(*this);
  d.server = RemoteServer;
  Status st(*d.engine);
  try {
    d.att.end([&](IAttachment* a) { a->dropDatabase(st.get()); });
  } catch (const FbException& e) {
    // Another attachment holds it: it stays as it is, and so does ours, let go.
    Error err = detail::error(e, "Cannot remove database " + name);
    if (detail::has_code(e.getStatus(), isc_obj_in_use)) err = Error(err.what(), isc_obj_in_use);
    d.att.reset();
    throw err;
  }
  return true;
}

void IBDatabase::CreateDatabase() {
  if (Connected()) throw Error("Cannot create database " + DatabaseName + ": the connection is open");
  const std::string path = engine_path(*this);
  // The parameter lines are the clauses of CREATE DATABASE. The embedded
  // engine always works as SYSDBA and checks no password, so USER and
  // PASSWORD are accepted and not used; PAGE_SIZE sets the page size.
  int page_size = 0;
  for (const std::string& raw : Params) {
    const std::string line = platform::ascii_upper(platform::trim(raw));
    if (line.empty() || line.rfind("USER ", 0) == 0 || line.rfind("PASSWORD ", 0) == 0) continue;
    int value = 0;
    if (std::sscanf(line.c_str(), "PAGE_SIZE %d", &value) == 1 || std::sscanf(line.c_str(), "PAGE_SIZE = %d", &value) == 1) {
      page_size = value;
      continue;
    }
    throw Error("Cannot create database " + path + ": unsupported clause \"" + std::string(platform::trim(raw)) + "\"");
  }
  try {
    impl_->att = detail::create(*impl_->engine, path, RemoteServer ? &*RemoteServer : nullptr, SQLDialect, page_size);
  } catch (const FbException& e) {
    throw detail::error(e, "Cannot create database " + real_path());
  }
  impl_->path = path;
  impl_->server = RemoteServer;
  if (impl_->bulk) {
    impl_->set_force_write(false);
    impl_->forced_off = true;
  }
}

void IBDatabase::Open() {
  if (Connected()) return;
  for (const std::string& raw : Params) {
    const std::string_view line = platform::trim(raw);
    if (line.empty()) continue;
    const std::string name = platform::ascii_lower(platform::trim(line.substr(0, line.find('='))));
    // The embedded engine does not check passwords and the connection is
    // always made as SYSDBA, so both are accepted and not used.
    if (name != "user_name" && name != "password")
      throw Error("Cannot open database " + DatabaseName + ": unknown connection parameter \"" + std::string(line) + "\"");
  }
  const std::string path = engine_path(*this);
  try {
    impl_->att = detail::attach(*impl_->engine, path, RemoteServer ? &*RemoteServer : nullptr,
                                impl_->bulk ? std::optional<bool>(false) : std::nullopt);
  } catch (const FbException& e) {
    // The engine opens the file for one process only.
    if (detail::has_code(e.getStatus(), isc_already_opened))
      throw detail::error(e, "Cannot open database " + real_path() + ": it is in use by another program");
    throw detail::error(e, "Cannot open database " + real_path());
  }
  impl_->path = path;
  impl_->server = RemoteServer;
  impl_->forced_off = impl_->bulk;
}

// Runs `step`; a failure is kept in `first` unless one is there already.
template <class F>
static void attempt(std::optional<Error>& first, const std::string& context, F&& step) {
  try {
    step();
  } catch (const Error& e) {
    if (!first) first = e;
  } catch (const FbException& e) {
    if (!first) first = detail::error(e, context);
  }
}

void IBDatabase::finish_work(std::optional<Error>& first, const std::string& context) {
  Impl& d = *impl_;
  while (!d.tables.empty()) attempt(first, context, [&] { d.tables.back()->Close(); });
  while (!d.statements.empty()) attempt(first, context, [&] { d.statements.back()->Close(); });
  while (!d.transactions.empty()) attempt(first, context, [&] { d.transactions.back()->Commit(); });
  attempt(first, context, [&] { build_deferred_indexes(); });
}

void IBDatabase::FinishWork() {
  if (!impl_->att) return;
  std::optional<Error> first;
  finish_work(first, "Committing the work on database " + impl_->path);
  if (first) throw *first;
}

void IBDatabase::Close() {
  Impl& d = *impl_;
  if (!d.att) return;
  // Everything below runs even when a step fails; the first failure is
  // reported once the connection is gone.
  std::optional<Error> first;
  const std::string context = "Closing database " + d.path;
  finish_work(first, context);
  attempt(first, context, [&] { detach(*d.engine, d.att); });
  d.att.reset();
  if (d.forced_off) {
    attempt(first, context, [&] { d.set_force_write(true); });
    d.forced_off = false;
  }
  if (!d.server) sync_file(d.path);
  if (first) throw *first;
}

void IBDatabase::set_bulk_load(bool on) {
  Impl& d = *impl_;
  d.bulk = on;
  if (!d.att || d.forced_off == on) return;
  try {
    d.set_force_write(!on);
  } catch (const FbException& e) {
    throw detail::error(e, "Cannot change forced writes of " + d.path);
  }
  d.forced_off = on;
  if (!on && !d.server) sync_file(d.path);
}

void IBDatabase::build_deferred_indexes() {
  // Each index is tried even when one before it fails; the first failure is
  // reported, and none of them is tried again.
  std::optional<Error> first;
  for (const std::string& index : std::exchange(impl_->deferred_indexes, {})) {
    try {
      ExecuteImmediate("ALTER INDEX " + index + " ACTIVE");
    } catch (const Error& e) {
      if (!first) first = e;
    }
  }
  if (first) throw *first;
}

bool IBDatabase::ConnectedToNamed() const {
  const Impl& d = *impl_;
  return d.att && d.path == engine_path(*this) && d.server.has_value() == RemoteServer.has_value() &&
         (!d.server || (d.server->host == RemoteServer->host && d.server->user == RemoteServer->user));
}

void IBDatabase::defer_indexes(std::string_view table) {
  if (!valid_name(table)) throw Error("Cannot defer the indexes of " + std::string(table) + ": not a valid table name");
  const auto rows = Query("SELECT TRIM(RDB$INDEX_NAME) FROM RDB$INDICES WHERE RDB$RELATION_NAME = '" +
                         platform::ascii_upper(table) +
                         "' AND RDB$INDEX_NAME NOT STARTING WITH 'RDB$' AND COALESCE(RDB$INDEX_INACTIVE, 0) = 0");
  for (const auto& row : rows) {
    const std::string index = row.at(0).value_or("");
    if (!valid_name(index)) continue;  // a quoted name; left as it is
    ExecuteImmediate("ALTER INDEX " + index + " INACTIVE");
    impl_->deferred_indexes.push_back(index);
  }
}

std::vector<std::vector<std::optional<std::string>>> IBDatabase::Query(std::string_view sql) {
  return impl_->in_own_transaction(true, sql, [&](ITransaction* tra) {
    auto rows = detail::fetch(*impl_->engine, impl_->att.get(), tra, sql, static_cast<unsigned>(SQLDialect));
    for (auto& row : rows)
      for (auto& v : row)
        if (v) v = platform::from_cp1252(*v);
    return rows;
  });
}

void IBDatabase::ExecuteImmediate(std::string_view sql) {
  impl_->in_own_transaction(false, sql, [&](ITransaction* tra) {
    Status st(*impl_->engine);
    impl_->att->execute(st.get(), tra, static_cast<unsigned>(sql.size()), sql.data(),
                        static_cast<unsigned>(SQLDialect), nullptr, nullptr, nullptr, nullptr);
    return 0;
  });
}

}  // namespace qv::fb
