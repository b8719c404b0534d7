#include "firebird/table.h"

#include <ibase.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_set>

#include "firebird/column_value.h"
#include "firebird/transaction_impl.h"
#include "platform/text.h"

namespace qv::fb {

using namespace Firebird;
using detail::Status;
using detail::add_to;
using detail::remove_from;
using detail::valid_name;

namespace {

// The way one set of columns is inserted, with its input message: a
// compiled store request (started once, then a row per message), else a
// prepared INSERT.
struct Insert {
  detail::Owned<IRequest> request;
  bool started = false;  // the request waits for its next row
  unsigned end_offset = 0;
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
  // The keys of the rows PostUnlessDuplicate stored, where its primary key
  // is the whole row of text columns: a row with a key in here is one the
  // engine would refuse as a duplicate, so it is not sent. Unknown until
  // the first such post.
  std::optional<bool> keys_remembered;
  std::unordered_set<std::string> stored_keys;

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

  // A request that stores each received row of column set `set` into the
  // table, compiled from its binary form: the engine runs it without the SQL
  // layer in between, and, started once, it takes row after row without the
  // cost of a start each, which together load rows some 13 to 21 % faster
  // than the INSERT it stands for (the benchmark's ceilings). Its message carries every value as nullable text
  // in character set NONE, as the INSERT's does, and the store converts
  // them, and gives columns left out their defaults, alike.
  Insert store_request(const std::string& set) {
    Insert ins;
    ins.columns = columns_of(set);
    std::vector<detail::StoreRequest::Column> message;
    for (std::size_t i : ins.columns) message.push_back({columns[i].name, travel_width(i)});
    detail::StoreRequest r = detail::store_request(name, message);
    Status st(*db->impl().engine);
    ins.request = detail::Owned<IRequest>(
        db->impl().att->compileRequest(st.get(), static_cast<unsigned>(r.blr.size()), r.blr.data()));
    ins.offsets = std::move(r.offsets);
    ins.null_offsets = std::move(r.null_offsets);
    ins.end_offset = r.end_offset;
    ins.buffer.resize(r.length);
    return ins;
  }

  // Sends row `ins.buffer` to `ins`'s request, starting it first when it is
  // not waiting; `end` sends the end flag instead, which ends the request.
  // Any failure leaves the request ended (and its row not stored).
  void send_to_request(Insert& ins, ITransaction* t, bool end) {
    const short flag = end ? 1 : 0;
    std::memcpy(&ins.buffer[ins.end_offset], &flag, sizeof flag);
    Status st(*db->impl().engine);
    try {
      if (!ins.started) {
        ins.request->start(st.get(), t, 0);
        ins.started = true;
      }
      ins.request->send(st.get(), 0, 0, static_cast<unsigned>(ins.buffer.size()), ins.buffer.data());
      ins.started = !end;
    } catch (...) {
      unwind(ins);
      throw;
    }
  }

  // Ends `ins`'s request where it waits; the rows it stored stay.
  void unwind(Insert& ins) noexcept {
    if (!ins.started) return;
    ins.started = false;
    try {
      Status st(*db->impl().engine);
      ins.request->unwind(st.get(), 0);
    } catch (...) {
      // An engine that refuses even this has ended the request anyway.
    }
  }

  // Ends the requests that wait for rows with their end flag (a commit, a
  // count or a close comes next).
  void end_requests(ITransaction* t) {
    for (auto& [set, ins] : inserts) {
      if (!ins.started) continue;
      try {
        send_to_request(ins, t, true);
      } catch (const FbException& e) {
        throw detail::error(e, "Table " + name + ": cannot end the load of its rows");
      }
    }
  }

  // Unwinds the requests that wait for rows (a rollback, or a close whose
  // rows could not be sent).
  void unwind_requests() noexcept {
    for (auto& [set, ins] : inserts) unwind(ins);
  }

  Insert& single(ITransaction* t, const std::string& set) {
    if (const auto found = inserts.find(set); found != inserts.end()) return found->second;
    std::string cols, marks;
    for (std::size_t i : columns_of(set)) {
      cols += (cols.empty() ? "" : ", ") + columns[i].name;
      marks += marks.empty() ? "?" : ", ?";
    }
    // The INSERT the row stands for; a store request needs at least one column.
    const std::string sql = cols.empty() ? "INSERT INTO " + name + " DEFAULT VALUES"
                                         : "INSERT INTO " + name + " (" + cols + ") VALUES (" + marks + ")";
    try {
      return inserts.emplace(set, cols.empty() ? prepare_insert(t, set, sql, 1) : store_request(set)).first->second;
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
    try {
      if (ins.request) {
        send_to_request(ins, t, false);
      } else {
        Status st(*db->impl().engine);
        ins.stmt->execute(st.get(), t, ins.meta.get(), ins.buffer.data(), nullptr, nullptr);
      }
    } catch (const FbException& e) {
      Error err = detail::error(e, "");
      if (skip_duplicate && err.is_duplicate_key()) return false;
      const std::optional<std::size_t> column = refused_column(row, err.what());
      Error placed(where(column, number) + ": " + err.what(), err.gds_code());
      placed.set_row_tag(tag);
      if (column) placed.set_column(columns[*column].name);
      if (err.is_refused_value()) placed.set_refused_value();
      if (!skip_duplicate && placed.is_refused_value() && self->OnRefused && self->OnRefused(placed)) return false;
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
      if (!send_one(t, waiting_key, queue[r].values, posted + 1, queue[r].tag)) continue;  // left out
      ++posted;
      shortened += queue[r].shortened;
    }
  }

  // Sends the rows that wait, and ends the requests that wait for more.
  void flush() {
    const bool started = std::any_of(inserts.begin(), inserts.end(), [](const auto& i) { return i.second.started; });
    if (waiting == 0 && !started) return;
    ITransaction* t = IBTransaction::Impl::active(tra, where());
    if (waiting > 0) flush(t);
    end_requests(t);
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
    std::optional<std::string> known;
    if (skip_duplicate) {
      known = remembered_key(t);
      if (known && stored_keys.contains(*known)) {
        inserting = false;
        return false;
      }
    }
    const bool stored = send_one(t, key, values, posted + 1, tag, skip_duplicate);
    inserting = false;
    if (!stored) return false;
    if (known) stored_keys.insert(std::move(*known));
    ++posted;
    shortened += row_shortened;
    return true;
  }

  // Whether the table's primary key holds every column and every column is
  // text: then two rows clash exactly when their stored bytes are equal
  // column by column, trailing blanks aside (CHAR in character set NONE),
  // and nothing but the key can refuse a row whose values all convert.
  bool key_is_whole_text_row(ITransaction* t) const {
    if (!std::all_of(columns.begin(), columns.end(), [](const Column& c) { return c.text; })) return false;
    std::string quoted;
    for (char ch : name) quoted += ch == '\'' ? "''" : std::string(1, ch);
    const std::string sql =
        "SELECT COUNT(*) FROM RDB$RELATION_CONSTRAINTS RC JOIN RDB$INDEX_SEGMENTS S ON S.RDB$INDEX_NAME = "
        "RC.RDB$INDEX_NAME WHERE RC.RDB$CONSTRAINT_TYPE = 'PRIMARY KEY' AND RC.RDB$RELATION_NAME = '" +
        quoted + "'";
    try {
      const auto rows = detail::fetch(*db->impl().engine, db->impl().att.get(), t, sql,
                                      static_cast<unsigned>(db->SQLDialect));
      return std::stoul(rows.at(0).at(0).value_or("0")) == columns.size();
    } catch (const std::exception&) {
      return false;  // the engine decides every row
    }
  }

  // The row's key as the engine compares it, or nothing when the engine is
  // to decide (a value not set, or keys not remembered for this table).
  std::optional<std::string> remembered_key(ITransaction* t) {
    if (!keys_remembered) keys_remembered = key_is_whole_text_row(t);
    if (!*keys_remembered) return std::nullopt;
    std::string k;
    for (const Value& v : values) {
      if (v.state != State::Set) return std::nullopt;
      const std::size_t end = v.bytes.find_last_not_of(' ');
      const std::size_t n = end == std::string::npos ? 0 : end + 1;
      k += std::to_string(n);
      k += ':';
      k.append(v.bytes, 0, n);
    }
    return k;
  }

  void forget_keys() {
    keys_remembered.reset();
    stored_keys.clear();
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
    if (commit) {
      t.flush();
    } else {
      t.drop_waiting();
      t.unwind_requests();
      t.forget_keys();  // the rows they name are gone
    }
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
  d.forget_keys();
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
    d.unwind_requests();
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

}  // namespace qv::fb
