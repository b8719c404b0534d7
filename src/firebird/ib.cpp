#include "firebird/ib.h"

#include <cstdio>

#include <fcntl.h>
#include <ibase.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <unordered_map>

#include "firebird/engine.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace qv::fb {

using namespace Firebird;
using detail::Status;

namespace {

template <class T>
void remove_from(std::vector<T*>& v, T* p) {
  v.erase(std::remove(v.begin(), v.end(), p), v.end());
}

template <class T>
void add_to(std::vector<T*>& v, T* p) {
  if (std::find(v.begin(), v.end(), p) == v.end()) v.push_back(p);
}

// Writes the file's data and its folder entry to disk.
void sync_file(const std::string& path) {
  for (const std::string& p : {path, std::filesystem::path(path).parent_path().string()}) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::fsync(fd);
    ::close(fd);
  }
}

bool valid_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
  });
}

// Detaches; when that fails the owner still holds the attachment.
void detach(const Engine& engine, detail::Attachment& att) {
  Status st(engine);
  att.end([&](IAttachment* a) { a->detach(st.get()); });
}

}  // namespace

bool Error::is_duplicate_key() const { return gds_code_ == isc_unique_key_violation || gds_code_ == isc_no_dup; }
bool Error::is_in_use() const { return gds_code_ == isc_obj_in_use || gds_code_ == isc_already_opened; }

// ---------------------------------------------------------------- connection

struct IBDatabase::Impl {
  std::shared_ptr<const Engine> engine;
  detail::Attachment att;
  std::string path;         // the real file while connected
  std::optional<Server> server;  // the server it is on, while connected
  bool bulk = false;        // forced writes off while connected
  bool forced_off = false;  // this connection turned forced writes off
  std::vector<IBTransaction*> transactions;
  std::vector<IBTable*> tables;
  std::vector<IBSQL*> statements;
  std::vector<std::string> deferred_indexes;  // made inactive; activated on Close

  // Switches the file's forced writes through an attachment of its own.
  void set_force_write(bool on) {
    detail::Attachment a = detail::attach(*engine, path, server ? &*server : nullptr, on);
    detach(*engine, a);
  }

  // Runs `work` in a transaction of its own, committed when it succeeds; an
  // engine failure names the statement.
  template <class F>
  auto in_own_transaction(bool read_only, std::string_view sql, F&& work) const {
    if (!att) throw Error("The database is not connected: " + std::string(sql));
    try {
      return detail::in_own_transaction(*engine, att.get(), read_only, std::forward<F>(work));
    } catch (const FbException& e) {
      throw detail::error(e, sql);
    }
  }
};

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

void IBDatabase::Close() {
  Impl& d = *impl_;
  if (!d.att) return;
  // Everything below runs even when a step fails; the first failure is
  // reported once the connection is gone.
  std::optional<Error> first;
  auto attempt = [&](auto&& step) {
    try {
      step();
    } catch (const Error& e) {
      if (!first) first = e;
    } catch (const FbException& e) {
      if (!first) first = detail::error(e, "Closing database " + d.path);
    }
  };
  while (!d.tables.empty()) attempt([&] { d.tables.back()->Close(); });
  while (!d.statements.empty()) attempt([&] { d.statements.back()->Close(); });
  while (!d.transactions.empty()) attempt([&] { d.transactions.back()->Commit(); });
  for (const std::string& index : d.deferred_indexes) attempt([&] { ExecuteImmediate("ALTER INDEX " + index + " ACTIVE"); });
  d.deferred_indexes.clear();
  attempt([&] { detach(*d.engine, d.att); });
  d.att.reset();
  if (d.forced_off) {
    attempt([&] { d.set_force_write(true); });
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

// ---------------------------------------------------------------- transaction

struct IBTransaction::Impl {
  detail::Transaction tra;
  IBDatabase* db = nullptr;  // the connection it runs on while active

  // Ends the transaction; on failure it is rolled back and the error raised.
  void end(bool commit) {
    settle_tables(commit);
    detail::Transaction t = std::move(tra);
    IBDatabase* d = std::exchange(db, nullptr);
    remove_from(d->impl().transactions, self);
    Status st(*d->impl().engine);
    try {
      t.end([&](ITransaction* p) { commit ? p->commit(st.get()) : p->rollback(st.get()); });
    } catch (const FbException& e) {
      throw detail::error(e, commit ? "Commit failed" : "Rollback failed");
    }
  }
  IBTransaction* self = nullptr;

  // Rows that wait in the tables writing in this transaction are sent before
  // a commit and dropped by a rollback.
  void settle_tables(bool commit);

  // The engine transaction of a component's transaction, which must be active.
  static ITransaction* active(IBTransaction* t, std::string_view who) {
    if (!t || !t->InTransaction()) throw Error(std::string(who) + ": the transaction is not active");
    return t->impl().tra.get();
  }
};

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

// ---------------------------------------------------------------- statement

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
  const std::string context = "\"" + first_line(SQL) + "\" failed";
  ITransaction* tra = IBTransaction::Impl::active(Transaction, context);
  Status st(*impl_->db->impl().engine);
  try {
    impl_->stmt->execute(st.get(), tra, nullptr, nullptr, nullptr, nullptr);
  } catch (const FbException& e) {
    throw detail::error(e, context);
  }
}

// ---------------------------------------------------------------- table

namespace {

struct Column {
  std::string name;
  bool text = false;   // CHAR or VARCHAR
  unsigned width = 0;  // bytes (= characters: the database's character set is NONE)
};

enum class State : char { Unset, Null, Set };

struct Value {
  State state = State::Unset;
  bool shortened = false;
  std::string bytes;  // Windows-1252
};

// What a column receives for a text: an empty text is NULL in non-text
// columns and an empty string in text columns; a text longer than its CHAR
// column is shortened to the width. `where` names the place for an error.
// The value is written into `v`, whose buffer is kept from row to row.
template <class Where>
void column_value(const Column& c, std::string_view utf8, Value& v, Where&& where) {
  v.shortened = false;
  if (utf8.empty()) {
    // The engine refuses '' for numbers and dates.
    v.state = c.text ? State::Set : State::Null;
    v.bytes.clear();
    return;
  }
  std::optional<std::string> converted;
  std::string_view bytes = utf8;
  if (!platform::is_ascii(utf8)) {
    std::string bad;
    converted = platform::to_cp1252(utf8, &bad);
    if (!converted) throw Error(where() + ": the character \"" + bad + "\" has no Windows-1252 form");
    bytes = *converted;
  }
  if (!c.text && bytes.size() > kMaxConvertedText)
    throw Error(where() + ": the value \"" + std::string(utf8.substr(0, 40)) + "...\" is too long");
  v.shortened = c.text && bytes.size() > c.width;
  v.bytes.assign(v.shortened ? bytes.substr(0, c.width) : bytes);
  v.state = State::Set;
}

// One prepared INSERT naming one set of columns, with its input message.
struct Insert {
  detail::Statement stmt;
  detail::Metadata meta;
  std::vector<std::size_t> columns;
  std::vector<unsigned> offsets, null_offsets;
  std::vector<unsigned char> buffer;
};

}  // namespace

struct IBTable::Impl {
  // A posted row that waits to be sent with the next ones.
  struct Waiting {
    std::vector<Value> values;
    std::int64_t tag = 0;
    std::int64_t shortened = 0;
  };

  IBTable* self = nullptr;
  IBDatabase* db = nullptr;        // set while open
  IBTransaction* tra = nullptr;    // the transaction the table writes in
  std::string name;                // the table's name in the database
  std::vector<Column> columns;
  std::vector<IBField> fields;
  std::vector<Value> values;
  bool inserting = false;
  std::string key;                 // which columns the row sets, '0' or '1' each
  std::map<std::string, Insert> inserts;
  std::int64_t posted = 0, shortened = 0;
  std::size_t rows_per_call = 1;
  // Rows that wait: the first `waiting` of `queue`, all with the column set
  // `waiting_key`; their statements of rows_per_call rows, per column set
  // (a null statement: the engine would not take it; rows go one by one).
  std::vector<Waiting> queue;
  std::size_t waiting = 0;
  std::string waiting_key;
  std::map<std::string, Insert> batches;

  // "Table T, row N[, column C]" for row `row`, else the row being appended.
  std::string where(std::optional<std::size_t> column = std::nullopt, std::int64_t row = 0) const {
    std::string s = "Table " + name + ", row " + std::to_string(row ? row : posted + 1);
    if (column) s += ", column " + columns[*column].name;
    return s;
  }

  void require_inserting(std::optional<std::size_t> column = std::nullopt) const {
    if (!db) throw Error("Table " + self->TableName + " is not open");
    if (!inserting) throw Error(where(column) + ": the table is not appending a row");
  }

  void set(std::size_t i, std::string_view utf8) {
    require_inserting(i);
    column_value(columns[i], utf8, values[i], [&] { return where(i); });
  }

  // The columns a column set names, and the width each travels with.
  std::vector<std::size_t> columns_of(const std::string& set) const {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (set[i] == '1') out.push_back(i);
    return out;
  }
  unsigned travel_width(std::size_t column) const {
    const Column& c = columns[column];
    return c.text ? std::max(c.width, 1u) : kMaxConvertedText;
  }

  // Prepares `sql`, whose parameters are `rows` times the columns of `set`
  // in order, each taken as text.
  Insert prepare_insert(ITransaction* t, const std::string& set, const std::string& sql, std::size_t rows) {
    Insert ins;
    ins.columns = columns_of(set);
    const Engine& engine = *db->impl().engine;
    Status st(engine);
    ins.stmt = detail::Statement(db->impl().att->prepare(st.get(), t, static_cast<unsigned>(sql.size()), sql.c_str(),
                                                         static_cast<unsigned>(db->SQLDialect),
                                                         IStatement::PREPARE_PREFETCH_METADATA));
    // Every value goes in as text; the engine converts it to the column's type.
    const detail::Metadata in(ins.stmt->getInputMetadata(st.get()));
    ins.meta = detail::text_message(engine, in.get(), [&](unsigned p) {
      return travel_width(ins.columns[p % ins.columns.size()]);
    });
    for (unsigned p = 0; p < ins.columns.size() * rows; ++p) {
      ins.offsets.push_back(ins.meta->getOffset(st.get(), p));
      ins.null_offsets.push_back(ins.meta->getNullOffset(st.get(), p));
    }
    ins.buffer.resize(ins.meta->getMessageLength(st.get()));
    return ins;
  }

  Insert& single(ITransaction* t, const std::string& set) {
    if (const auto found = inserts.find(set); found != inserts.end()) return found->second;
    std::string cols, marks;
    for (std::size_t i : columns_of(set)) {
      cols += (cols.empty() ? "" : ", ") + columns[i].name;
      marks += marks.empty() ? "?" : ", ?";
    }
    const std::string sql = cols.empty() ? "INSERT INTO " + name + " DEFAULT VALUES"
                                         : "INSERT INTO " + name + " (" + cols + ") VALUES (" + marks + ")";
    try {
      return inserts.emplace(set, prepare_insert(t, set, sql, 1)).first->second;
    } catch (const FbException& e) {
      throw detail::error(e, where() + ": cannot prepare \"" + sql + "\"");
    }
  }

  // The statement that inserts rows_per_call rows of column set `set` in one
  // call, or null when the engine does not take it (then rows go one by one).
  Insert* batch(ITransaction* t, const std::string& set) {
    if (const auto found = batches.find(set); found != batches.end())
      return found->second.stmt ? &found->second : nullptr;
    const std::vector<std::size_t> cols = columns_of(set);
    std::string params, body, list;
    for (std::size_t i : cols) list += (list.empty() ? "" : ", ") + columns[i].name;
    for (std::size_t r = 0; r < rows_per_call && !cols.empty(); ++r) {
      std::string marks;
      for (std::size_t i : cols) {
        const std::string param = "P" + std::to_string(r) + "_" + std::to_string(i);
        params += (params.empty() ? "" : ", ") + param + " VARCHAR(" + std::to_string(travel_width(i)) +
                  ") CHARACTER SET NONE = ?";
        marks += (marks.empty() ? ":" : ", :") + param;
      }
      body += "INSERT INTO " + name + " (" + list + ") VALUES (" + marks + ");\n";
    }
    Insert& ins = batches[set];
    if (body.empty()) return nullptr;
    try {
      ins = prepare_insert(t, set, "EXECUTE BLOCK (" + params + ") AS BEGIN\n" + body + "END", rows_per_call);
    } catch (const FbException&) {
      // Too large a message, say: these rows go one by one.
      ins = Insert{};
      return nullptr;
    }
    return &ins;
  }

  // Copies row `r`'s values into its place in `ins`'s message.
  static void fill(Insert& ins, std::size_t r, const std::vector<Value>& row) {
    const std::size_t n = ins.columns.size();
    for (std::size_t p = 0; p < n; ++p) {
      const Value& v = row[ins.columns[p]];
      const short null_flag = v.state == State::Null ? -1 : 0;
      std::memcpy(&ins.buffer[ins.null_offsets[r * n + p]], &null_flag, sizeof null_flag);
      const auto len = static_cast<unsigned short>(v.bytes.size());
      std::memcpy(&ins.buffer[ins.offsets[r * n + p]], &len, sizeof len);
      std::memcpy(&ins.buffer[ins.offsets[r * n + p] + sizeof len], v.bytes.data(), len);
    }
  }

  // The column a refused value belongs to: the engine quotes the text it
  // could not convert but does not name the column.
  std::optional<std::size_t> refused_column(const std::vector<Value>& row, const std::string& msg) const {
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (row[i].state == State::Set && !columns[i].text && msg.find("\"" + row[i].bytes + "\"") != std::string::npos)
        return i;
    return std::nullopt;
  }

  // Sends one row of column set `set` as row number `number`; false when
  // `skip_duplicate` and the key is there already (the engine undid just
  // this insert).
  bool send_one(ITransaction* t, const std::string& set, const std::vector<Value>& row, std::int64_t number,
                std::int64_t tag, bool skip_duplicate = false) {
    Insert& ins = single(t, set);
    fill(ins, 0, row);
    Status st(*db->impl().engine);
    try {
      ins.stmt->execute(st.get(), t, ins.meta.get(), ins.buffer.data(), nullptr, nullptr);
    } catch (const FbException& e) {
      Error err = detail::error(e, "");
      if (skip_duplicate && err.is_duplicate_key()) return false;
      Error placed(where(refused_column(row, err.what()), number) + ": " + err.what(), err.gds_code());
      placed.set_row_tag(tag);
      throw placed;
    }
    return true;
  }

  // Sends the rows that wait: in one call when there are rows_per_call of
  // them, else, or when that call fails (the engine then stores none of
  // them), one by one up to the first that fails, which raises.
  void flush(ITransaction* t) {
    const std::size_t n = waiting;
    if (n == 0) return;
    if (Insert* ins = n == rows_per_call ? batch(t, waiting_key) : nullptr) {
      for (std::size_t r = 0; r < n; ++r) fill(*ins, r, queue[r].values);
      Status st(*db->impl().engine);
      try {
        ins->stmt->execute(st.get(), t, ins->meta.get(), ins->buffer.data(), nullptr, nullptr);
        waiting = 0;
        return;
      } catch (const FbException&) {
        // Told row by row below.
      }
    }
    // None of them is stored: each counts again once it is.
    drop_waiting();
    for (std::size_t r = 0; r < n; ++r) {
      send_one(t, waiting_key, queue[r].values, posted + 1, queue[r].tag);
      ++posted;
      shortened += queue[r].shortened;
    }
  }

  void flush() {
    if (waiting > 0) flush(IBTransaction::Impl::active(tra, where()));
  }

  // Rows that wait no longer count as posted: a rollback drops them, a
  // failed call sends them again one by one.
  void drop_waiting() {
    posted -= static_cast<std::int64_t>(waiting);
    for (std::size_t r = 0; r < waiting; ++r) shortened -= queue[r].shortened;
    waiting = 0;
  }

  bool post(std::int64_t tag, bool skip_duplicate) {
    require_inserting();
    ITransaction* t = IBTransaction::Impl::active(tra, where());
    key.assign(columns.size(), '0');
    std::int64_t row_shortened = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (values[i].state != State::Unset) key[i] = '1';
      row_shortened += (values[i].state == State::Set && values[i].shortened) ? 1 : 0;
    }
    if (waiting > 0 && (skip_duplicate || key != waiting_key)) flush(t);
    if (rows_per_call > 1 && !skip_duplicate) {
      Waiting& w = queue[waiting++];
      std::swap(w.values, values);  // the slot's old values are the next row's room
      w.tag = tag;
      w.shortened = row_shortened;
      waiting_key = key;
      ++posted;
      shortened += row_shortened;
      inserting = false;
      if (waiting == rows_per_call) flush(t);
      return true;
    }
    const bool stored = send_one(t, key, values, posted + 1, tag, skip_duplicate);
    inserting = false;
    if (!stored) return false;
    ++posted;
    shortened += row_shortened;
    return true;
  }

  void release_statements() {
    inserts.clear();
    batches.clear();
  }
};

void IBTransaction::Impl::settle_tables(bool commit) {
  for (IBTable* table : db->impl().tables) {
    IBTable::Impl& t = table->impl();
    if (t.tra != self) continue;
    if (commit)
      t.flush();
    else
      t.drop_waiting();
  }
}

IBTable::IBTable() : impl_(std::make_unique<Impl>()) { impl_->self = this; }
IBTable::~IBTable() {
  try {
    Close();
  } catch (const std::exception&) {
    // Closed all the same; the failure has nowhere to go.
  }
}
IBTable::Impl& IBTable::impl() { return *impl_; }
bool IBTable::Active() const { return impl_->db != nullptr; }

void IBTable::Open() {
  if (Active()) return;
  const std::string context = "Cannot open table " + TableName;
  if (!Database || !Database->Connected()) throw Error(context + ": the database is not connected");
  if (!valid_name(TableName)) throw Error(context + ": not a valid table name");
  IBTransaction* t = Transaction ? Transaction : Database->DefaultTransaction;
  if (!t) throw Error(context + ": no transaction");
  if (!t->InTransaction()) t->StartTransaction();

  // The engine's description of SELECT * gives the real names, the types and
  // the widths of the columns (unquoted names are matched without case).
  Impl& d = *impl_;
  d.columns.clear();
  const std::string sql = "SELECT * FROM " + TableName;
  Status st(*Database->impl().engine);
  try {
    const detail::Statement stmt(Database->impl().att->prepare(st.get(), t->impl().tra.get(),
                                                               static_cast<unsigned>(sql.size()), sql.c_str(),
                                                               static_cast<unsigned>(Database->SQLDialect),
                                                               IStatement::PREPARE_PREFETCH_METADATA));
    const detail::Metadata out(stmt->getOutputMetadata(st.get()));
    for (unsigned i = 0, n = out->getCount(st.get()); i < n; ++i) {
      const unsigned type = out->getType(st.get(), i) & ~1u;
      d.columns.push_back({out->getField(st.get(), i), type == SQL_TEXT || type == SQL_VARYING,
                           out->getLength(st.get(), i)});
      if (i == 0) d.name = out->getRelation(st.get(), i);
    }
  } catch (const FbException& e) {
    d.columns.clear();
    throw detail::error(e, context);
  }
  if (d.name.empty()) d.name = platform::ascii_upper(TableName);
  d.fields.clear();
  d.fields.reserve(d.columns.size());
  for (std::size_t i = 0; i < d.columns.size(); ++i) d.fields.emplace_back(this, i, d.columns[i].name);
  d.values.assign(d.columns.size(), Value{});
  d.rows_per_call = Database->rows_per_call();
  d.queue.assign(d.rows_per_call > 1 ? d.rows_per_call : 0, Impl::Waiting{d.values, 0, 0});
  d.waiting = 0;
  d.inserting = false;
  d.posted = d.shortened = 0;
  d.db = Database;
  d.tra = t;
  add_to(Database->impl().tables, this);
}

void IBTable::Close() {
  Impl& d = *impl_;
  if (!d.db) return;
  // The rows that wait are sent; the table closes even when that fails.
  std::optional<Error> failure;
  try {
    d.flush();
  } catch (const Error& e) {
    failure = e;
    d.drop_waiting();
  }
  d.release_statements();
  remove_from(d.db->impl().tables, this);
  d.db = nullptr;
  d.tra = nullptr;
  d.inserting = false;
  if (failure) throw *failure;
}

void IBTable::Append() {
  Impl& d = *impl_;
  if (!d.db) throw Error("Table " + TableName + " is not open");
  // A row that was not posted is dropped.
  for (Value& v : d.values) v.state = State::Unset;
  d.inserting = true;
}

IBField& IBTable::FieldByName(std::string_view column) {
  Impl& d = *impl_;
  if (!d.db) throw Error("Table " + TableName + " is not open");
  for (IBField& f : d.fields)
    if (platform::iequals(f.Name(), column)) return f;
  throw Error("Table " + d.name + " has no column " + std::string(column));
}

void IBTable::Post(std::int64_t tag) { impl_->post(tag, false); }
bool IBTable::PostUnlessDuplicate() { return impl_->post(0, true); }
void IBTable::Flush() { impl_->flush(); }
std::size_t IBTable::Waiting() const { return impl_->waiting; }

std::int64_t IBTable::RecordCount() {
  Impl& d = *impl_;
  if (!d.db) throw Error("Table " + TableName + " is not open");
  d.flush();
  const std::string sql = "SELECT COUNT(*) FROM " + d.name;
  const Engine& engine = *d.db->impl().engine;
  IAttachment* att = d.db->impl().att.get();
  std::vector<detail::Row> rows;
  try {
    if (d.tra->InTransaction())
      rows = detail::fetch(engine, att, d.tra->impl().tra.get(), sql, static_cast<unsigned>(d.db->SQLDialect));
    else
      rows = d.db->impl().in_own_transaction(true, sql, [&](ITransaction* t) {
        return detail::fetch(engine, att, t, sql, static_cast<unsigned>(d.db->SQLDialect));
      });
  } catch (const FbException& e) {
    throw detail::error(e, "Cannot count the rows of " + d.name);
  }
  return std::stoll(rows.at(0).at(0).value_or("0"));
}

std::int64_t IBTable::Shortened() const { return impl_->shortened; }
std::int64_t IBTable::Posted() const { return impl_->posted; }

void IBField::SetAsString(std::string_view utf8) { table_->impl().set(index_, utf8); }
void IBField::SetAsInteger(std::int64_t v) { table_->impl().set(index_, std::to_string(v)); }

void IBField::Clear() {
  IBTable::Impl& t = table_->impl();
  t.require_inserting(index_);
  t.values[index_].state = State::Null;
  t.values[index_].shortened = false;
}



// ---------------------------------------------------------------- typed reader

namespace {

// How many texts of one column the engine converts in one call, and how
// many rows ConvertRows reads before it calls the engine.
constexpr std::size_t kValuesPerCall = 16;
constexpr std::size_t kRowsPerBatch = 256;

// Where each value of a message lies.
struct Layout {
  std::vector<unsigned> offsets, null_offsets;
  std::size_t length = 0;

  Layout() = default;
  Layout(Status& st, IMessageMetadata* meta) {
    for (unsigned i = 0, n = meta->getCount(st.get()); i < n; ++i) {
      offsets.push_back(meta->getOffset(st.get(), i));
      null_offsets.push_back(meta->getNullOffset(st.get(), i));
    }
    length = meta->getMessageLength(st.get());
  }
};

// The bytes of a whole number written plainly ("0", "17", "-250": no plus
// sign, no leading zero, no blank, point or exponent, at most 15 digits) in
// a double column (whose value is never scaled) or a whole-number one
// without decimals, when it fits the column: the value the engine gives
// that text. Such a number is exact in every one of these types (a double
// holds every whole number below 2^53 exactly), and a conversion of a number
// that the type holds exactly yields that number, so the result does not
// depend on how the engine converts. Empty for any other text or type:
// that goes to the engine.
std::string whole_number(unsigned type, int scale, std::string_view text) {
  const std::string_view digits = text.substr(!text.empty() && text[0] == '-');
  if ((scale != 0 && type != SQL_DOUBLE) || digits.empty() || digits.size() > 15 ||
      (digits[0] == '0' && (digits.size() > 1 || text[0] == '-')) ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  std::int64_t n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n);
  const auto bytes = [](auto v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); };
  switch (type) {
    case SQL_DOUBLE:
      return bytes(static_cast<double>(n));
    case SQL_INT64:
      return bytes(n);
    case SQL_LONG:
      return n >= INT32_MIN && n <= INT32_MAX ? bytes(static_cast<std::int32_t>(n)) : std::string();
    case SQL_SHORT:
      return n >= INT16_MIN && n <= INT16_MAX ? bytes(static_cast<std::int16_t>(n)) : std::string();
    default:
      return {};
  }
}

// Answers of the engine are kept for texts that mean the same at any
// moment: only digits, blanks and the signs of numbers and dates ('NOW',
// 'TODAY' and the like are never kept).
bool keepable(std::string_view text) {
  return text.size() <= 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == ' ' || c == '-' || c == '+' || c == '.' || c == '/' || c == ':';
         });
}
constexpr std::size_t kMaxKept = 4096;  // per column; then forgotten and kept anew

// Text compares without its trailing blanks, as the engine compares it.
void drop_trailing_blanks(std::string& v) { v.erase(v.find_last_not_of(' ') + 1); }

}  // namespace

struct IBTypedReader::Impl {
  // A column whose texts the engine converts: one prepared "SELECT CAST(?
  // AS VARCHAR(n)), ... FROM RDB$DATABASE" of kValuesPerCall texts, whose
  // results are taken in the column's own type, so that the engine converts
  // them as it does for a stored row. Text columns of character set NONE
  // have none: into them the engine copies the bytes as they are, with no
  // character set to translate or check, pads a CHAR with blanks that the
  // comparison drops, and has nothing to refuse, since column_value has
  // already shortened the text to the column's width; the bytes are
  // therefore exactly the value the engine would give.
  struct Casts {
    detail::Statement stmt;
    detail::Metadata in, out;
    Layout in_at, out_at;
    std::vector<unsigned char> in_buffer, out_buffer;
    // The values of texts converted before, which the same text gives again.
    std::unordered_map<std::string, TypedValue> kept;
    // Texts waiting for the call, with the value each one fills.
    std::vector<std::pair<std::string, TypedValue*>> waiting;
  };

  std::shared_ptr<const Engine> engine;
  std::string context;
  std::optional<detail::OwnTransaction> tra;
  std::vector<Column> columns;
  std::vector<unsigned> types, lengths;
  std::vector<int> scales;
  std::vector<bool> required;
  std::vector<std::unique_ptr<Casts>> casts;  // per column; null: copied
  detail::Statement select;
  detail::Metadata out;
  Layout out_at;
  detail::ResultSet rs;
  std::vector<unsigned char> buffer;

  // Field `f` of a message laid out by `at`, a value of column `c`.
  void read(const std::vector<unsigned char>& message, const Layout& at, std::size_t f, std::size_t c,
            TypedValue& value) const {
    short null_flag = 0;
    std::memcpy(&null_flag, &message[at.null_offsets[f]], sizeof null_flag);
    if (null_flag) {
      value.reset();
      return;
    }
    const char* p = reinterpret_cast<const char*>(&message[at.offsets[f]]);
    std::string& v = value ? *value : value.emplace();  // keeps its room for the next row
    if (types[c] == SQL_VARYING) {
      unsigned short len = 0;
      std::memcpy(&len, p, sizeof len);
      v.assign(p + sizeof len, len);
    } else {
      v.assign(p, lengths[c]);
    }
    if (types[c] == SQL_TEXT || types[c] == SQL_VARYING) drop_trailing_blanks(v);
  }

  std::unique_ptr<Casts> prepare_casts(IAttachment* att, unsigned dialect, std::size_t c) const {
    auto k = std::make_unique<Casts>();
    const std::string cast = "CAST(? AS VARCHAR(" + std::to_string(kMaxConvertedText) + "))";
    std::string sql = "SELECT " + cast;
    for (std::size_t f = 1; f < kValuesPerCall; ++f) sql += ", " + cast;
    sql += " FROM RDB$DATABASE";
    Status st(*engine);
    k->stmt = detail::Statement(att->prepare(st.get(), tra->get(), static_cast<unsigned>(sql.size()), sql.c_str(),
                                             dialect, IStatement::PREPARE_PREFETCH_METADATA));
    const detail::Metadata in(k->stmt->getInputMetadata(st.get()));
    k->in = detail::text_message(*engine, in.get(), [](unsigned) { return kMaxConvertedText; });
    const auto col = static_cast<unsigned>(c);
    detail::MetadataBuilder b(engine->master()->getMetadataBuilder(st.get(), static_cast<unsigned>(kValuesPerCall)));
    for (unsigned f = 0; f < kValuesPerCall; ++f) {
      b->setType(st.get(), f, out->getType(st.get(), col));
      b->setSubType(st.get(), f, out->getSubType(st.get(), col));
      b->setLength(st.get(), f, out->getLength(st.get(), col));
      b->setScale(st.get(), f, out->getScale(st.get(), col));
      b->setCharSet(st.get(), f, out->getCharSet(st.get(), col));
    }
    k->out = detail::Metadata(b->getMetadata(st.get()));
    k->in_at = Layout(st, k->in.get());
    k->out_at = Layout(st, k->out.get());
    k->in_buffer.resize(k->in_at.length);
    k->out_buffer.resize(k->out_at.length);
    return k;
  }

  // Column c's value of a text: at once where it is known, else when the
  // engine has answered (call()).
  void convert(std::size_t c, std::string_view text, TypedValue& value) {
    Value v;
    column_value(columns[c], text, v, [&] { return "column " + columns[c].name; });
    Casts* k = casts[c].get();
    if (!k) {
      value.emplace(std::move(v.bytes));
      drop_trailing_blanks(*value);
      return;
    }
    if (v.state == State::Null) {
      if (required[c]) throw Error("column " + columns[c].name + ": no value for a column that must have one");
      value.reset();
      return;
    }
    if (std::string n = whole_number(types[c], scales[c], v.bytes); !n.empty()) {
      value.emplace(std::move(n));
      return;
    }
    if (const auto hit = k->kept.find(v.bytes); hit != k->kept.end()) {
      value = hit->second;
      return;
    }
    k->waiting.emplace_back(std::move(v.bytes), &value);
  }

  // The engine's answers for every waiting text, kValuesPerCall of a column
  // in each call.
  void call() {
    Status st(*engine);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      Casts* k = casts[c].get();
      if (!k) continue;
      for (std::size_t at = 0; at < k->waiting.size(); at += kValuesPerCall) {
        const std::size_t count = std::min(kValuesPerCall, k->waiting.size() - at);
        for (std::size_t f = 0; f < kValuesPerCall; ++f) {
          const std::string* bytes = f < count ? &k->waiting[at + f].first : nullptr;
          const short null_flag = bytes ? 0 : -1;
          std::memcpy(&k->in_buffer[k->in_at.null_offsets[f]], &null_flag, sizeof null_flag);
          const auto len = static_cast<unsigned short>(bytes ? bytes->size() : 0);
          std::memcpy(&k->in_buffer[k->in_at.offsets[f]], &len, sizeof len);
          if (bytes) std::memcpy(&k->in_buffer[k->in_at.offsets[f] + sizeof len], bytes->data(), len);
        }
        try {
          k->stmt->execute(st.get(), tra->get(), k->in.get(), k->in_buffer.data(), k->out.get(), k->out_buffer.data());
        } catch (const FbException& e) {
          throw detail::error(e, "column " + columns[c].name);
        }
        for (std::size_t f = 0; f < count; ++f) {
          auto& [text, value] = k->waiting[at + f];
          read(k->out_buffer, k->out_at, f, c, *value);
          if (!keepable(text)) continue;
          if (k->kept.size() >= kMaxKept) k->kept.clear();
          k->kept.emplace(std::move(text), *value);
        }
      }
      k->waiting.clear();
    }
  }

  void convert_rows(const std::vector<std::string>* texts, std::size_t count, TypedRow* rows) {
    try {
      for (std::size_t r = 0; r < count; ++r) {
        rows[r].resize(columns.size());
        for (std::size_t c = 0; c < columns.size(); ++c) {
          if (c < texts[r].size())
            convert(c, texts[r][c], rows[r][c]);
          else
            rows[r][c].reset();
        }
      }
      call();
    } catch (...) {
      // Nothing waits for rows that will not be filled.
      for (auto& k : casts)
        if (k) k->waiting.clear();
      throw;
    }
  }
};

IBTypedReader::IBTypedReader(IBDatabase& db, std::string_view table, const std::vector<std::string>& columns,
                             std::string_view order_by)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.engine = db.impl().engine;
  if (!db.Connected()) throw Error("The database is not connected: table " + std::string(table));
  std::string list;
  for (const std::string& c : columns) list += (list.empty() ? "" : ", ") + c;
  std::string sql = "SELECT " + list + " FROM " + std::string(table);
  if (!order_by.empty()) sql += " ORDER BY " + std::string(order_by);
  d.context = sql;
  IAttachment* att = db.impl().att.get();
  const auto dialect = static_cast<unsigned>(db.SQLDialect);
  Status st(*d.engine);
  try {
    d.tra.emplace(*d.engine, att, true);
    d.select = detail::Statement(att->prepare(st.get(), d.tra->get(), static_cast<unsigned>(sql.size()), sql.c_str(),
                                              dialect, IStatement::PREPARE_PREFETCH_METADATA));
    d.out = detail::Metadata(d.select->getOutputMetadata(st.get()));
    for (unsigned i = 0, n = d.out->getCount(st.get()); i < n; ++i) {
      const unsigned type = d.out->getType(st.get(), i) & ~1u;
      const bool text = type == SQL_TEXT || type == SQL_VARYING;
      d.columns.push_back({d.out->getField(st.get(), i), text, d.out->getLength(st.get(), i)});
      d.types.push_back(type);
      d.lengths.push_back(d.out->getLength(st.get(), i));
      d.scales.push_back(d.out->getScale(st.get(), i));
      d.required.push_back(!d.out->isNullable(st.get(), i));
      const bool copied = text && d.out->getCharSet(st.get(), i) == 0;
      d.casts.push_back(copied ? nullptr : d.prepare_casts(att, dialect, i));
    }
    d.out_at = Layout(st, d.out.get());
    d.buffer.resize(d.out_at.length);
    d.rs = detail::ResultSet(d.select->openCursor(st.get(), d.tra->get(), nullptr, nullptr, d.out.get(), 0));
  } catch (const FbException& e) {
    throw detail::error(e, sql);
  }
}

IBTypedReader::~IBTypedReader() = default;

bool IBTypedReader::Next(TypedRow& row) {
  Impl& d = *impl_;
  if (!d.rs) return false;
  Status st(*d.engine);
  try {
    if (d.rs->fetchNext(st.get(), d.buffer.data()) != IStatus::RESULT_OK) {
      d.rs.end([&](IResultSet* r) { r->close(st.get()); });
      return false;
    }
  } catch (const FbException& e) {
    throw detail::error(e, d.context);
  }
  row.resize(d.columns.size());
  for (std::size_t c = 0; c < d.columns.size(); ++c) d.read(d.buffer, d.out_at, c, c, row[c]);
  return true;
}

void IBTypedReader::Convert(const std::vector<std::string>& texts, TypedRow& row) {
  impl_->convert_rows(&texts, 1, &row);
}

std::size_t IBTypedReader::BatchRows() const { return kRowsPerBatch; }

void IBTypedReader::ConvertRows(const std::vector<std::vector<std::string>>& texts, std::vector<TypedRow>& rows) {
  rows.resize(texts.size());
  impl_->convert_rows(texts.data(), texts.size(), rows.data());
}

std::string IBTypedReader::Display(std::size_t column, const TypedValue& value) const {
  const Impl& d = *impl_;
  if (!value) return "NULL";
  const std::string& v = *value;
  const unsigned type = d.types.at(column);
  auto scaled = [&](std::int64_t n) {
    if (d.scales[column] >= 0) return std::to_string(n);
    const auto places = static_cast<std::size_t>(-d.scales[column]);
    std::string digits = std::to_string(n < 0 ? -n : n);
    if (digits.size() <= places) digits.insert(0, places + 1 - digits.size(), '0');
    digits.insert(digits.size() - places, ".");
    return (n < 0 ? "-" : "") + digits;
  };
  auto date = [&](ISC_DATE day) {
    unsigned y = 0, m = 0, dd = 0;
    d.engine->util()->decodeDate(day, &y, &m, &dd);
    char s[16];
    std::snprintf(s, sizeof s, "%04u-%02u-%02u", y, m, dd);
    return std::string(s);
  };
  auto time = [&](ISC_TIME t) {
    unsigned h = 0, mi = 0, sec = 0, frac = 0;
    d.engine->util()->decodeTime(t, &h, &mi, &sec, &frac);
    char s[24];
    std::snprintf(s, sizeof s, "%02u:%02u:%02u.%04u", h, mi, sec, frac);
    return std::string(s);
  };
  switch (type) {
    case SQL_TEXT:
    case SQL_VARYING:
      return platform::from_cp1252(v);
    case SQL_SHORT: {
      std::int16_t n = 0;
      std::memcpy(&n, v.data(), sizeof n);
      return scaled(n);
    }
    case SQL_LONG: {
      std::int32_t n = 0;
      std::memcpy(&n, v.data(), sizeof n);
      return scaled(n);
    }
    case SQL_INT64: {
      std::int64_t n = 0;
      std::memcpy(&n, v.data(), sizeof n);
      return scaled(n);
    }
    case SQL_DOUBLE: {
      // The shortest text that reads back as the same double: two values
      // that differ never look alike.
      double x = 0;
      std::memcpy(&x, v.data(), sizeof x);
      char s[32];
      const auto end = std::to_chars(s, s + sizeof s, x).ptr;
      return std::string(s, end);
    }
    case SQL_FLOAT: {
      float x = 0;
      std::memcpy(&x, v.data(), sizeof x);
      char s[32];
      const auto end = std::to_chars(s, s + sizeof s, x).ptr;
      return std::string(s, end);
    }
    case SQL_TIMESTAMP: {
      ISC_TIMESTAMP ts{};
      std::memcpy(&ts, v.data(), sizeof ts);
      return date(ts.timestamp_date) + " " + time(ts.timestamp_time);
    }
    case SQL_TYPE_DATE: {
      ISC_DATE day{};
      std::memcpy(&day, v.data(), sizeof day);
      return date(day);
    }
    case SQL_TYPE_TIME: {
      ISC_TIME t{};
      std::memcpy(&t, v.data(), sizeof t);
      return time(t);
    }
    default:
      break;
  }
  std::string hex;
  for (unsigned char c : v) {
    char s[3];
    std::snprintf(s, sizeof s, "%02x", c);
    hex += s;
  }
  return hex;
}

}  // namespace qv::fb
