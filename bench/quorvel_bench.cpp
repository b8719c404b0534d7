// quorvel-bench: how close the migration runs to the engine's own insert
// speed, how fast old tables are read, and how much memory each step needs.
//
// Every measured step runs in a child process of its own (the engine is
// never started in the parent), so its peak resident memory is that of the
// step alone. Data sets, databases and temporary files live under a drive
// root of their own in a temporary folder, removed at the end.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <firebird/Interface.h>
#include <ibase.h>

#include "builder/schema.h"
#include "check/check.h"
#include "converters/frame.h"
#include "firebird/engine.h"
#include "firebird/ib.h"
#include "form/conversion_form.h"
#include "jobsearch/jobsearch.h"
#include "verify/verify.h"
#include "paradox/table.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sample_data.h"
#include "datamodule/datamodule.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kOldRoot = "C:\\MyData\\wk-db\\Quorvel2\\Db\\";
constexpr std::size_t kReadFields = 20;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU seconds (user and system, every thread) this process has used.
double cpu_seconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// Wall and CPU time of a measured section.
struct Stopwatch {
  Clock::time_point wall = Clock::now();
  double cpu = cpu_seconds();
};

// What a step reports back to the parent.
struct Figures {
  double rows = 0;
  double seconds = 0;
  double bytes = 0;
  double cpu = 0;    // CPU seconds of the measured section
  double extra = 0;  // step-specific (progress cost in seconds)
  bool ok = false;
  char error[512] = {};
};

struct Outcome {
  Figures f;
  double peak_mib = 0;
};

// Runs `step` in a child process; its figures come back through a pipe and
// its peak resident memory from the kernel's accounting of the child.
Outcome in_child(const std::function<Figures()>& step) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    Figures f;
    try {
      f = step();
      f.ok = true;
    } catch (const std::exception& e) {
      std::snprintf(f.error, sizeof f.error, "%s", e.what());
    }
    const ssize_t n = ::write(fds[1], &f, sizeof f);
    ::_exit(n == static_cast<ssize_t>(sizeof f) ? 0 : 1);
  }
  ::close(fds[1]);
  Outcome out;
  std::size_t got = 0;
  auto* p = reinterpret_cast<char*>(&out.f);
  while (got < sizeof out.f) {
    const ssize_t n = ::read(fds[0], p + got, sizeof out.f - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  rusage ru{};
  ::wait4(pid, &status, 0, &ru);
  if (got != sizeof out.f) std::snprintf(out.f.error, sizeof out.f.error, "the step's process ended abnormally");
  if (!out.f.ok) throw std::runtime_error(out.f.error);
  out.peak_mib = static_cast<double>(ru.ru_maxrss) / 1024.0;  // KiB on Linux
  return out;
}

std::string old_folder(const std::string& dbname) { return kOldRoot + dbname; }

// The server of the benchmark's own, when one runs, and where the step of a
// child process makes its database: the server, or (unset) a local file.
std::optional<qv::ServerDestination> g_server;
std::optional<qv::ServerDestination> g_target;
int g_server_pid = 0;
int g_rows_per_call = 0;  // of the conversions' connection; 0: its default

// A form with its data module, as the program drives it, with a fresh
// destination database (tables and indexes) built by the real builder.
struct Run {
  qv::DataModuleScope module;
  qv::Tconversion_form form{nullptr};
  std::string dbname;

  explicit Run(std::string name) : dbname(std::move(name)) {
    qv::DataModule2->Server = g_target;
    qv::DataModule2->IBDatabase2.RowsPerCall = g_rows_per_call;
    form.old_table_directory = old_folder(dbname);
    if (!form.check_and_create_database_4(&form, dbname))
      throw std::runtime_error("could not create the database " + dbname);
  }
};

// ---------------------------------------------------------------- the ceiling

// The engine's own interface, used directly by the reference loads.
Firebird::IMaster* fb_master() { return Firebird::fb_get_master_interface(); }

struct FbStatus : Firebird::ThrowStatusWrapper {
  FbStatus() : ThrowStatusWrapper(fb_master()->getStatus()) {}
  ~FbStatus() { dispose(); }
  FbStatus(const FbStatus&) = delete;
  FbStatus& operator=(const FbStatus&) = delete;
};

// The rows a conversion left in a table, in memory: every column but blobs,
// each value as the stored bytes (trailing blanks of text dropped, which the
// column pads back), NULL kept.
struct Rows {
  std::string table;
  std::vector<std::string> columns;
  std::vector<unsigned> widths;  // text columns' widths; 0: a number or date
  std::string text;              // every value, back to back
  std::vector<std::uint32_t> ends;  // end offset of each value in `text`
  std::vector<bool> nulls;
  std::size_t count() const { return ends.size() / columns.size(); }
};

// Width a value of each column travels with: the text column's own, else
// room for any number or date as text.
unsigned travel_width(unsigned width) { return width ? width : 64u; }

// A message shaped like `in` with every field nullable text of its column's
// travel width, with the offsets of each value and null flag.
struct TextMessage {
  Firebird::IMessageMetadata* meta = nullptr;
  std::vector<unsigned> offsets, nulls;
  std::vector<unsigned char> buf;

  TextMessage(Firebird::IMessageMetadata* in, const std::vector<unsigned>& widths) {
    FbStatus st;
    Firebird::IMetadataBuilder* b = in->getBuilder(&st);
    const unsigned n = in->getCount(&st);
    for (unsigned p = 0; p < n; ++p) {
      b->setType(&st, p, SQL_VARYING + 1);
      b->setLength(&st, p, travel_width(widths[p % widths.size()]));
      b->setCharSet(&st, p, 0);
    }
    meta = b->getMetadata(&st);
    b->release();
    for (unsigned p = 0; p < n; ++p) {
      offsets.push_back(meta->getOffset(&st, p));
      nulls.push_back(meta->getNullOffset(&st, p));
    }
    buf.resize(meta->getMessageLength(&st));
  }
  ~TextMessage() { meta->release(); }
  TextMessage(const TextMessage&) = delete;
  TextMessage& operator=(const TextMessage&) = delete;
};

// An attachment of the load's own to the database file (on the server, a
// "host:path" name).
Firebird::IAttachment* fb_attach(const std::string& path) {
  FbStatus st;
  Firebird::IXpbBuilder* dpb = fb_master()->getUtilInterface()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0);
  dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
  if (g_target && path.rfind(g_target->server.host + ":", 0) == 0)
    dpb->insertString(&st, isc_dpb_password, g_target->server.password.c_str());
  dpb->insertTag(&st, isc_dpb_utf8_filename);
  Firebird::IProvider* prov = fb_master()->getDispatcher();
  Firebird::IAttachment* att = prov->attachDatabase(&st, path.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
  prov->release();
  dpb->dispose();
  return att;
}

std::string column_list(const std::vector<std::string>& columns, std::string_view prefix = {}) {
  std::string list;
  for (const auto& c : columns) list.append(list.empty() ? "" : ", ").append(prefix).append(c);
  return list;
}

// Reads `table` of the database a conversion wrote under `dbname`.
Rows read_rows(const std::string& dbname, std::string_view table) {
  const qv::builder::TableDef& def = *qv::builder::find_table(table);
  Rows rows;
  rows.table = std::string(table);
  for (const auto& c : def.columns) {
    if (c.type.find("BLOB") != std::string_view::npos) continue;
    rows.columns.emplace_back(c.name);
    rows.widths.push_back(static_cast<unsigned>(qv::builder::char_width(c).value_or(0)));
  }
  const std::string path = qv::platform::map_path(qv::Tconversion_form::destination_file(dbname)).string();
  FbStatus st;
  Firebird::IAttachment* att = fb_attach(path);
  Firebird::ITransaction* tra = att->startTransaction(&st, 0, nullptr);
  const std::string sql = "SELECT " + column_list(rows.columns) + " FROM " + rows.table;
  Firebird::IStatement* stmt =
      att->prepare(&st, tra, static_cast<unsigned>(sql.size()), sql.c_str(), 1, Firebird::IStatement::PREPARE_PREFETCH_METADATA);
  Firebird::IMessageMetadata* out = stmt->getOutputMetadata(&st);
  {
    TextMessage m(out, rows.widths);
    Firebird::IResultSet* rs = stmt->openCursor(&st, tra, nullptr, nullptr, m.meta, 0);
    while (rs->fetchNext(&st, m.buf.data()) == Firebird::IStatus::RESULT_OK)
      for (std::size_t i = 0; i < rows.columns.size(); ++i) {
        short null_flag = 0;
        unsigned short len = 0;
        std::memcpy(&null_flag, &m.buf[m.nulls[i]], sizeof null_flag);
        std::memcpy(&len, &m.buf[m.offsets[i]], sizeof len);
        std::string_view v(reinterpret_cast<const char*>(&m.buf[m.offsets[i] + sizeof len]), null_flag ? 0 : len);
        while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
        rows.text.append(v);
        rows.ends.push_back(static_cast<std::uint32_t>(rows.text.size()));
        rows.nulls.push_back(null_flag != 0);
      }
    rs->close(&st);
  }
  out->release();
  stmt->free(&st);
  tra->commit(&st);
  att->detach(&st);
  return rows;
}

// One prepared statement with its text input message.
struct Prepared {
  Firebird::IStatement* stmt = nullptr;
  std::optional<TextMessage> msg;

  Prepared(Firebird::IAttachment* att, Firebird::ITransaction* tra, const std::string& sql,
           const std::vector<unsigned>& widths) {
    FbStatus st;
    stmt = att->prepare(&st, tra, static_cast<unsigned>(sql.size()), sql.c_str(), 1,
                        Firebird::IStatement::PREPARE_PREFETCH_METADATA);
    Firebird::IMessageMetadata* in = stmt->getInputMetadata(&st);
    msg.emplace(in, widths);
    in->release();
  }
  ~Prepared() {
    FbStatus st;
    msg.reset();
    stmt->free(&st);
  }
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
};

// How a reference load sends its rows.
struct LoadWay {
  std::size_t rows_per_call = 1;  // more than 1: EXECUTE BLOCK with that many INSERTs
  bool indexes_off = false;       // secondary indexes inactive for the load, built after
  bool external_file = false;     // one INSERT ... SELECT from a fixed-width external file
  bool two_builders = false;      // with indexes_off: built after on two attachments at once
  bool blr_request = false;       // a compiled store request (BLR), as the engine's restore loads
};

// The statement that inserts `k` rows per execution, every value as text.
std::string insert_sql(const Rows& rows, std::size_t k) {
  const std::string head = "INSERT INTO " + rows.table + " (" + column_list(rows.columns) + ") VALUES (";
  if (k == 1) {
    std::string marks;
    for (std::size_t c = 0; c < rows.columns.size(); ++c) marks.append(c ? ", ?" : "?");
    return head + marks + ")";
  }
  std::string params, body;
  for (std::size_t r = 0; r < k; ++r) {
    std::string values;
    for (std::size_t c = 0; c < rows.columns.size(); ++c) {
      const std::string name = fmt::format("P{}_{}", r, c);
      params += fmt::format("{}{} VARCHAR({}) CHARACTER SET NONE = ?", params.empty() ? "" : ", ", name,
                            travel_width(rows.widths[c]));
      values.append(c ? ", :" : ":").append(name);
    }
    body += head + values + ");\n";
  }
  return "EXECUTE BLOCK (" + params + ") AS BEGIN\n" + body + "END";
}

// The external file's record: each value blank-padded to its travel width,
// then one byte: 'N' for a NULL number or date.
std::size_t write_external_file(const Rows& rows, const fs::path& file) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  std::string record;
  std::size_t v = 0;
  std::uint32_t from = 0;
  for (std::size_t r = 0; r < rows.count(); ++r) {
    record.clear();
    for (std::size_t c = 0; c < rows.columns.size(); ++c, ++v) {
      const std::uint32_t to = rows.ends[v];
      record.append(rows.text, from, to - from).append(travel_width(rows.widths[c]) - (to - from), ' ');
      record.push_back(rows.nulls[v] ? 'N' : ' ');
      from = to;
    }
    out << record;
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
  return rows.count();
}

// Loads the rows through `att`'s transaction `tra`, in the way asked.
// The rows through one compiled request that stores each received message
// into the table, started once and sent a row at a time, as the engine's
// restore loads: no SQL statement. Every value travels as text (character
// set NONE), as in the prepared INSERT, and the engine converts it to its
// column's type alike.
void send_rows_by_request(const Rows& rows, Firebird::IAttachment* att, Firebird::ITransaction* tra) {
  FbStatus st;
  const std::size_t n = rows.columns.size();
  std::vector<qv::fb::detail::StoreRequest::Column> message;
  for (std::size_t c = 0; c < n; ++c) message.push_back({rows.columns[c], travel_width(rows.widths[c])});
  const qv::fb::detail::StoreRequest store = qv::fb::detail::store_request(rows.table, message);
  Firebird::IRequest* request = att->compileRequest(&st, static_cast<unsigned>(store.blr.size()), store.blr.data());
  std::vector<unsigned char> buf(store.length);
  request->start(&st, tra, 0);
  std::size_t v = 0;
  std::uint32_t from = 0;
  for (std::size_t r = 0; r < rows.count(); ++r) {
    for (std::size_t c = 0; c < n; ++c, ++v) {
      const std::uint32_t to = rows.ends[v];
      const auto len = static_cast<unsigned short>(to - from);
      const short null_flag = rows.nulls[v] ? -1 : 0;
      std::memcpy(&buf[store.null_offsets[c]], &null_flag, sizeof null_flag);
      std::memcpy(&buf[store.offsets[c]], &len, sizeof len);
      std::memcpy(&buf[store.offsets[c] + sizeof len], rows.text.data() + from, len);
      from = to;
    }
    request->send(&st, 0, 0, store.length, buf.data());
  }
  const short end = 1;
  std::memcpy(&buf[store.end_offset], &end, sizeof end);
  request->send(&st, 0, 0, store.length, buf.data());
  request->free(&st);
}

void send_rows(const Rows& rows, LoadWay way, Firebird::IAttachment* att, Firebird::ITransaction* tra) {
  FbStatus st;
  const std::size_t n_cols = rows.columns.size();
  if (way.external_file) {
    const fs::path file = fs::path(std::getenv("FIREBIRD")).parent_path() / "external" / (rows.table + ".dat");
    fs::create_directories(file.parent_path());
    write_external_file(rows, file);
    std::string cols, select;
    for (std::size_t c = 0; c < n_cols; ++c) {
      cols += fmt::format("{}C{} CHAR({}) CHARACTER SET NONE, N{} CHAR(1)", c ? ", " : "", c,
                          travel_width(rows.widths[c]), c);
      // Empty text is no value in a number or date column.
      select += rows.widths[c] ? fmt::format("{}C{}", c ? ", " : "", c)
                               : fmt::format("{}CASE WHEN N{} = 'N' THEN NULL ELSE TRIM(C{}) END", c ? ", " : "", c, c);
    }
    att->execute(&st, tra, 0, fmt::format("CREATE TABLE EXT_LOAD EXTERNAL FILE '{}' ({})", file.string(), cols).c_str(),
                 1, nullptr, nullptr, nullptr, nullptr);
    tra->commitRetaining(&st);
    const std::string sql = "INSERT INTO " + rows.table + " (" + column_list(rows.columns) + ") SELECT " + select + " FROM EXT_LOAD";
    att->execute(&st, tra, 0, sql.c_str(), 1, nullptr, nullptr, nullptr, nullptr);
    return;
  }
  if (way.blr_request) {
    try {
      send_rows_by_request(rows, att, tra);
    } catch (const Firebird::FbException& e) {
      char text[1024];
      fb_master()->getUtilInterface()->formatStatus(text, sizeof text, e.getStatus());
      throw std::runtime_error(std::string("the store request failed: ") + text);
    }
    return;
  }
  Prepared one(att, tra, insert_sql(rows, 1), rows.widths);
  std::optional<Prepared> many;
  if (way.rows_per_call > 1) many.emplace(att, tra, insert_sql(rows, way.rows_per_call), rows.widths);
  std::size_t v = 0;
  std::uint32_t from = 0;
  for (std::size_t r = 0; r < rows.count();) {
    Prepared& p = (many && rows.count() - r >= way.rows_per_call) ? *many : one;
    const std::size_t k = &p == &one ? 1 : way.rows_per_call;
    TextMessage& m = *p.msg;
    for (std::size_t i = 0; i < k * n_cols; ++i, ++v) {
      const std::uint32_t to = rows.ends[v];
      const auto len = static_cast<unsigned short>(to - from);
      const short null_flag = rows.nulls[v] ? -1 : 0;
      std::memcpy(&m.buf[m.nulls[i]], &null_flag, sizeof null_flag);
      std::memcpy(&m.buf[m.offsets[i]], &len, sizeof len);
      std::memcpy(&m.buf[m.offsets[i] + sizeof len], rows.text.data() + from, len);
      from = to;
    }
    p.stmt->execute(&st, tra, m.meta, m.buf.data(), nullptr, nullptr);
    r += k;
  }
}

// Activates `indexes` half on one attachment and half on another, at once.
void build_on_two_attachments(const std::string& path, const std::vector<std::string>& indexes) {
  std::string failure;
  std::mutex m;
  auto build = [&](std::size_t first) {
    try {
      FbStatus st;
      Firebird::IAttachment* att = fb_attach(path);
      for (std::size_t i = first; i < indexes.size(); i += 2) {
        Firebird::ITransaction* tra = att->startTransaction(&st, 0, nullptr);
        att->execute(&st, tra, 0, ("ALTER INDEX " + indexes[i] + " ACTIVE").c_str(), 1, nullptr, nullptr, nullptr,
                     nullptr);
        tra->commit(&st);
      }
      att->detach(&st);
    } catch (const Firebird::FbException& e) {
      char text[512];
      fb_master()->getUtilInterface()->formatStatus(text, sizeof text, e.getStatus());
      const std::lock_guard lock(m);
      failure = text;
    }
  };
  std::thread other(build, 1);
  build(0);
  other.join();
  if (!failure.empty()) throw std::runtime_error("building the indexes on two attachments: " + failure);
}

// A reference load: the rows a conversion left in `table` of `source`, into
// a fresh database built the way a run builds it, through an attachment of
// its own beside the converters' connection, which makes the indexes
// inactive when asked and is closed the way a run is closed.
Figures reference_load_of(const Rows& rows, const std::string& dbname, LoadWay way);

Figures reference_load(const std::string& source, const std::string& dbname, std::string_view table, LoadWay way) {
  return reference_load_of(read_rows(source, table), dbname, way);
}

Figures reference_load_of(const Rows& rows, const std::string& dbname, LoadWay way) {
  const std::string_view table = rows.table;
  Run run(dbname);
  auto& db = qv::DataModule2->IBDatabase2;
  const Stopwatch t0;
  qv::conv::connect_destination(dbname);  // the converters' own connection and transaction
  std::vector<std::string> indexes;
  if (way.two_builders) {
    for (const auto& row : db.Query("SELECT TRIM(RDB$INDEX_NAME) FROM RDB$INDICES WHERE RDB$RELATION_NAME = '" +
                                    rows.table + "' AND RDB$INDEX_NAME NOT STARTING WITH 'RDB$'"))
      indexes.push_back(row.at(0).value_or(""));
    for (const auto& name : indexes) db.ExecuteImmediate("ALTER INDEX " + name + " INACTIVE");
  } else if (way.indexes_off) {
    db.defer_indexes(table);  // built when the connection closes
  }
  FbStatus st;
  Firebird::IAttachment* att = fb_attach(db.real_path());
  Firebird::ITransaction* tra = att->startTransaction(&st, 0, nullptr);
  send_rows(rows, way, att, tra);
  tra->commit(&st);
  att->detach(&st);
  if (way.two_builders) build_on_two_attachments(db.real_path(), indexes);
  db.Close();  // builds deferred indexes, makes the file durable
  Figures f;
  f.seconds = seconds_since(t0.wall);
  f.cpu = cpu_seconds() - t0.cpu;
  f.rows = static_cast<double>(rows.count());
  db.Open();
  const auto stored = db.Query("SELECT COUNT(*) FROM " + rows.table).at(0).at(0).value_or("");
  if (stored != std::to_string(rows.count()))
    throw std::runtime_error(fmt::format("{} holds {} rows after the load, not {}", rows.table, stored, rows.count()));
  return f;
}

// The job-search rows a conversion stored, loaded anew with the secondary
// indexes built after: by a prepared INSERT, or by a compiled store request.
Figures load_job_search_rows(bool by_request) {
  LoadWay way;
  way.indexes_off = true;
  way.blr_request = by_request;
  return reference_load("jobs0001", "limit001", "JSEARCH_4", way);
}

// ---------------------------------------------------------------- conversions

Figures convert(const std::string& dbname, void (qv::Tconversion_form::*converter)(qv::Sender, std::string)) {
  Run run(dbname);
  auto& form = run.form;
  // The work the headless command does for its progress line.
  std::size_t repaints = 0;
  std::string line;
  form.on_progress = [&](const qv::TableStats& t, bool) {
    line = fmt::format("{}: {} of {} rows", t.table, t.done, t.old_rows);
  };
  form.Edit1.on_repaint = [&] { ++repaints; };
  const Stopwatch t0;
  (form.*converter)(&form, dbname);
  qv::DataModule2->IBDatabase2.Close();  // commits and makes the file durable
  Figures f;
  f.seconds = seconds_since(t0.wall);
  f.cpu = cpu_seconds() - t0.cpu;
  f.rows = static_cast<double>(form.stats.back().new_rows);

  // The cost of the progress box and line: the same calls again, alone.
  const std::size_t calls = repaints;
  const auto p0 = Clock::now();
  form.begin_table("JSEARCH_4", 0);
  for (std::size_t i = 0; i < calls; ++i) {
    form.Edit1.SetText(std::to_string(i));
    form.Edit1.Refresh();
    form.stats.back().done = static_cast<std::int64_t>(i);
    form.table_progress();
  }
  f.extra = seconds_since(p0);
  return f;
}

// Verify of the job-search table a conversion made from `dbname`'s folder.
Figures verify_jsearch(const std::string& dbname) {
  qv::verify::Options o;
  o.directory = old_folder(dbname);
  o.ticks.assign(qv::Tconversion_form::kTables, false);
  o.ticks[10] = true;  // JSEARCH2.db
  const Stopwatch t0;
  const qv::verify::Report r = qv::verify::run(o);
  Figures f;
  f.seconds = seconds_since(t0.wall);
  f.cpu = cpu_seconds() - t0.cpu;
  f.rows = static_cast<double>(r.tables.at(0).found);
  if (!r.clean()) throw std::runtime_error("verify found differences after the conversion");
  return f;
}

// ---------------------------------------------------------------- reading

Figures read_to_text(const std::string& folder, const std::string& file) {
  qv::pdx::PDTable t;
  t.Directory = folder;
  t.TableName = file;
  const Stopwatch t0;
  t.Open();
  std::vector<qv::pdx::PDField*> fields;
  for (const auto& d : t.Fields()) fields.push_back(&t.FieldByName(d.Name));
  std::size_t chars = 0;
  std::int64_t rows = 0;
  std::string v;
  for (; !t.Eof(); t.Next(), ++rows)
    for (auto* f : fields) {
      v = f->AsString();
      chars += v.size();
    }
  Figures fig;
  fig.seconds = seconds_since(t0.wall);
  fig.cpu = cpu_seconds() - t0.cpu;
  fig.rows = static_cast<double>(rows);
  fig.bytes = static_cast<double>(fs::file_size(t.FilePath()));
  fig.extra = static_cast<double>(chars);
  t.Close();
  return fig;
}

// A table of 20 fields of the common kinds (alpha, number, date, long,
// logical), `count` rows.
void write_read_table(const std::string& folder, std::size_t count) {
  using qv::pdx::FieldType;
  const FieldType types[] = {FieldType::Alpha, FieldType::Number, FieldType::Date, FieldType::Long,
                             FieldType::Logical};
  std::vector<qv::pdx::FieldDef> defs;
  for (std::size_t i = 0; i < kReadFields; ++i) {
    qv::pdx::FieldDef d;
    d.Name = fmt::format("F{}", i);
    d.DataType = types[i % 5];
    d.Size = d.DataType == FieldType::Alpha ? 30 : 0;
    defs.push_back(d);
  }
  qv::sample::write_table(qv::platform::map_path(folder), "READ20.db", defs, count,
                          [](std::size_t r, std::vector<std::string>& v) {
                            for (std::size_t i = 0; i < v.size(); ++i) switch (i % 5) {
                                case 0: v[i] = fmt::format("Name number {}", r); break;
                                case 1: v[i] = fmt::format("{}.25", r); break;
                                case 2: v[i] = fmt::format("03/{}/1999", 1 + r % 28); break;
                                case 3: v[i] = std::to_string(r * 7); break;
                                default: v[i] = r % 2 ? "True" : "False";
                              }
                          });
}

void print_step(const std::string& what, const Outcome& o, const std::string& more = {}) {
  fmt::print("{}: {:.0f} rows/s ({:.0f} rows in {:.2f} s, CPU {:.2f} s){}, peak RSS {:.0f} MiB\n", what,
             o.f.rows / o.f.seconds, o.f.rows, o.f.seconds, o.f.cpu, more, o.peak_mib);
  std::fflush(stdout);
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The headless command's batch over `sets` sample data sets, once with one
// data set at a time and once with two: wall seconds of each.
void batch_step(const fs::path& root, std::size_t sets) {
  in_child([&] {
    qv::sample::Options o;
    for (std::size_t i = 1; i <= sets; ++i) {
      o.seed = i;
      qv::sample::write_data_set(root / "batch" / fmt::format("set{:02}", i), o);
    }
    return Figures{};
  });
  const fs::path cli = fs::read_symlink("/proc/self/exe").parent_path() / "quorvel-migrate-cli";
  double seconds[3] = {}, cpu[3] = {};
  auto children_cpu = [] {
    rusage ru{};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  };
  for (int jobs : {1, 2}) {
    const std::string cmd = fmt::format("'{}' --drive-c '{}' --all '{}' --jobs {} --log-dir '{}' 2>'{}'", cli.string(),
                                        (root / fmt::format("batch-drive-{}", jobs)).string(), (root / "batch").string(), jobs,
                                        (root / fmt::format("batch-logs-{}", jobs)).string(),
                                        (root / fmt::format("batch-{}.err", jobs)).string());
    const auto t0 = Clock::now();
    const double cpu0 = children_cpu();
    const int status = std::system(cmd.c_str());
    seconds[jobs] = seconds_since(t0);
    cpu[jobs] = children_cpu() - cpu0;
    if (status != 0)
      throw std::runtime_error(fmt::format("the batch with --jobs {} failed (status {}); see {}", jobs, status,
                                           (root / fmt::format("batch-{}.err", jobs)).string()));
  }
  // The CPU seconds show whether the machine (other work) or the batch held
  // the second run back.
  fmt::print("batch of {} sample data sets: --jobs 1 {:.2f} s (CPU {:.2f} s), --jobs 2 {:.2f} s (CPU {:.2f} s), "
             "speed-up {:.2f}, CPU {:+.0f} % (load average {})\n",
             sets, seconds[1], cpu[1], seconds[2], cpu[2], seconds[1] / seconds[2], (cpu[2] / cpu[1] - 1) * 100,
             load_average());
  std::fflush(stdout);

  // What the machine gives the engine's own work two at a time: the first
  // data set's database restored by gbak once per data set, one process at
  // a time and then two at once (each lane with a lock folder of its own).
  // The batch's speed-up and CPU growth are read against these.
  const fs::path gb = root / "batch-restores";
  fs::create_directories(gb);
  const fs::path first = root / "batch-drive-1" / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "db" / "set01.gdb";
  const std::string backup = (gb / "set01.fbk").string();
  if (std::system(fmt::format("FIREBIRD_LOCK='{}' gbak -b -user SYSDBA '{}' '{}' 2>'{}'", (gb / "lock").string(),
                              first.string(), backup, (gb / "gbak.err").string())
                      .c_str()) != 0) {
    fmt::print("batch: the engine's own restores left out (gbak -b of {} failed; see {})\n", first.string(),
               (gb / "gbak.err").string());
    return;
  }
  for (int lanes : {1, 2}) {
    std::string cmd;
    for (int lane = 1; lane <= lanes; ++lane)
      cmd += fmt::format("(mkdir -p '{0}/lock{1}' && export FIREBIRD_LOCK='{0}/lock{1}' && i={1} && while [ $i -le {2} ]; do "
                         "rm -f '{0}/r'$i.gdb && gbak -c -user SYSDBA '{3}' '{0}/r'$i.gdb || exit 1; i=$((i+{4})); done) & ",
                         gb.string(), lane, sets, backup, lanes);
    cmd += "s=0; for j in $(jobs -p); do wait $j || s=1; done; exit $s";
    const auto t0 = Clock::now();
    const double cpu0 = children_cpu();
    std::ofstream(gb / "lanes.sh") << cmd << "\n";
    const int status = std::system(fmt::format("/bin/bash '{}' 2>'{}'", (gb / "lanes.sh").string(), (gb / "gbak.err").string()).c_str());
    seconds[lanes] = seconds_since(t0);
    cpu[lanes] = children_cpu() - cpu0;
    if (status != 0) {
      fmt::print("batch: the engine's own restores left out (gbak -c failed; see {})\n", (gb / "gbak.err").string());
      return;
    }
  }
  fmt::print("batch: the engine's own restore of one data set's database, {} times: one at a time {:.2f} s (CPU {:.2f} s), "
             "two at once {:.2f} s (CPU {:.2f} s), speed-up {:.2f}, CPU {:+.0f} %\n",
             sets, seconds[1], cpu[1], seconds[2], cpu[2], seconds[1] / seconds[2], (cpu[2] / cpu[1] - 1) * 100);
  std::fflush(stdout);
}

// The whole run against the engine's own fastest way of filling the same
// database: the migration command on a whole sample data set as a process
// of its own, then gbak's backup and restore of the database it made, as
// processes of their own, with the engine root and a lock folder of the
// step's own (embedded, as the command runs). Three rounds, taken in turns,
// each from no database.
void whole_run_step(const fs::path& root, std::size_t jobs, std::size_t payments, int rounds) {
  const std::string dbname = "whole001";
  in_child([&] {
    qv::sample::Options o;
    o.rows = payments;
    o.jobs = jobs;
    qv::sample::write_data_set(qv::platform::map_path(old_folder(dbname)), o);
    return Figures{};
  });
  const fs::path cli = fs::read_symlink("/proc/self/exe").parent_path() / "quorvel-migrate-cli";
  const fs::path database = qv::platform::map_path(qv::Tconversion_form::destination_file(dbname));
  const fs::path backup = root / "whole.fbk", restored = root / "whole-restored.gdb", lock = root / "whole-lock",
                 err = root / "whole.err";
  fs::create_directories(lock);
  // Every process of the step: the benchmark's engine root (FIREBIRD is
  // inherited) and this lock folder.
  const std::string env = fmt::format("FIREBIRD_LOCK='{}'", lock.string());
  const auto timed = [&](const std::string& what, const std::string& cmd) {
    const auto t0 = Clock::now();
    const int status = std::system(fmt::format("{} {} >/dev/null 2>'{}'", env, cmd, err.string()).c_str());
    const double seconds = seconds_since(t0);
    if (status != 0)
      throw std::runtime_error(fmt::format("the whole run's {} failed (status {}); see {}", what, status, err.string()));
    return seconds;
  };
  std::vector<double> run_s, backup_s, restore_s;
  for (int r = 0; r < rounds; ++r) {
    for (const fs::path& f : {database, backup, restored}) fs::remove(f);
    run_s.push_back(timed("migration", fmt::format("'{}' --drive-c '{}' -q '{}'", cli.string(),
                                                   qv::platform::drive_root().string(),
                                                   qv::platform::map_path(old_folder(dbname)).string())));
    backup_s.push_back(timed("backup", fmt::format("gbak -b -user SYSDBA '{}' '{}'", database.string(), backup.string())));
    restore_s.push_back(timed("restore", fmt::format("gbak -c -user SYSDBA '{}' '{}'", backup.string(), restored.string())));
    fmt::print("  whole run, round {}: migration {:.2f} s, gbak -b {:.2f} s, gbak -c {:.2f} s\n", r + 1, run_s.back(),
               backup_s.back(), restore_s.back());
    std::fflush(stdout);
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  fmt::print("whole run {:.2f} of the engine's restore speed ({} job-search and {} payment records: migration {:.2f} s, "
             "restore {:.2f} s, backup {:.2f} s, medians of {}; load average {})\n",
             median(restore_s) / median(run_s), jobs, payments, median(run_s), median(restore_s), median(backup_s),
             rounds, load_average());
  std::fflush(stdout);
  for (const fs::path& f : {database, backup, restored}) fs::remove(f);
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0) return std::string(qv::platform::trim(line.substr(line.find(':') + 1)));
  return "unknown";
}

// A figure measured several times: the outcome of median rate.
struct Rounds {
  std::vector<Outcome> runs;
  double rate(const Outcome& o) const { return o.f.rows / o.f.seconds; }
  const Outcome& median() const {
    std::vector<const Outcome*> by_rate;
    for (const auto& o : runs) by_rate.push_back(&o);
    std::sort(by_rate.begin(), by_rate.end(), [this](auto* x, auto* y) { return rate(*x) < rate(*y); });
    return *by_rate[by_rate.size() / 2];
  }
  double median_rate() const { return rate(median()); }
  double peak_mib() const {
    double p = 0;
    for (const auto& o : runs) p = std::max(p, o.peak_mib);
    return p;
  }
  std::string spread() const {
    std::string list;
    for (const auto& o : runs) list += fmt::format("{}{:.0f}", list.empty() ? "" : ", ", rate(o));
    return "rounds " + list;
  }
};

void print_rounds(const std::string& what, const Rounds& r, const std::string& more = {}) {
  print_step(what + " (median)", r.median(), fmt::format(", {}{}", r.spread(), more));
}

// The reference loads: how the engine takes a table's rows at best.
struct Path {
  const char* name;
  LoadWay way;
};
const std::array<Path, 3> kCeilingPaths{{
    {"prepared INSERT, secondary indexes built after the load", {1, true, false}},
    {"external fixed-width file, one INSERT ... SELECT", {1, true, true}},
    {"compiled store request (BLR), one start, a row per send, secondary indexes built after the load", {1, true, false, false, true}},
}};

// A conversion measured in rounds against the engine's ceiling for its table:
// each round converts, then loads the converted rows every ceiling way.
struct AgainstCeiling {
  Rounds conversion;
  std::array<Rounds, kCeilingPaths.size()> paths;
  std::size_t fastest = 0;

  void measure(int rounds, const std::string& source, const std::string& target, std::string_view table,
               void (qv::Tconversion_form::*converter)(qv::Sender, std::string)) {
    for (int r = 0; r < rounds; ++r) {
      conversion.runs.push_back(in_child([&] { return convert(source, converter); }));
      for (std::size_t p = 0; p < paths.size(); ++p)
        paths[p].runs.push_back(in_child([&] { return reference_load(source, target, table, kCeilingPaths[p].way); }));
    }
    for (std::size_t p = 1; p < paths.size(); ++p)
      if (paths[p].median_rate() > paths[fastest].median_rate()) fastest = p;
  }
  double efficiency() const { return conversion.median_rate() / paths[fastest].median_rate(); }
  const char* fastest_name() const { return kCeilingPaths[fastest].name; }

  void print(const std::string& conversion_name, std::string_view table) const {
    for (std::size_t p = 0; p < paths.size(); ++p)
      print_rounds(fmt::format("ceiling {}: {}", table, kCeilingPaths[p].name), paths[p]);
    print_rounds(conversion_name, conversion,
                 fmt::format(", efficiency {:.2f} against {}, progress box and line {:.2f} % of the run", efficiency(),
                             fastest_name(), 100.0 * conversion.median().f.extra / conversion.median().f.seconds));
  }
};

// ---------------------------------------------------------------- on a server

// Starts the benchmark's own server (tools/test_server.sh) in `dir`; false,
// with the reason said, when there is none.
bool start_server(const fs::path& dir) {
  const std::string password = fmt::format("bench{}", std::random_device{}());
  const std::string command = fmt::format("bash '{}/tools/test_server.sh' start '{}' '{}' Required", QV_SOURCE_DIR,
                                          dir.string(), password);
  FILE* p = ::popen(command.c_str(), "r");
  int port = 0;
  if (!p || std::fscanf(p, "%d %d", &port, &g_server_pid) != 2) port = 0;
  const int status = p ? ::pclose(p) : -1;
  if (port <= 0 || status != 0) {
    fmt::print("server: none (no server program, or it would not start): the server steps are left out\n");
    return false;
  }
  qv::ServerDestination d;
  d.server.host = fmt::format("127.0.0.1/{}", port);
  d.server.password = password;
  d.directory = (dir / "db").string();
  g_server = d;
  fmt::print("server: a Firebird server of the benchmark's own on {}\n", d.server.host);
  return true;
}

void stop_server(const fs::path& dir) {
  const std::string command = fmt::format("bash '{}/tools/test_server.sh' stop '{}'", QV_SOURCE_DIR, dir.string());
  if (std::system(command.c_str()) != 0) fmt::print(stderr, "could not stop the benchmark's server\n");
}

// The CPU seconds (user and system) the benchmark's server has used so far.
double server_cpu_seconds() {
  std::ifstream in(fmt::format("/proc/{}/stat", g_server_pid));
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)  // utime and stime are fields 14 and 15
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A step run into the server, with the server's CPU seconds during it as its
// extra figure.
Outcome on_server(const std::function<Figures()>& step) {
  const double before = server_cpu_seconds();
  Outcome o = in_child(step);
  o.f.extra = server_cpu_seconds() - before;
  return o;
}

// The rows a local conversion of `source` left in `table`, loaded into a
// database on the server, `k` rows per round trip.
Figures server_ceiling(const std::string& source, std::string_view table, std::size_t k) {
  const Rows rows = read_rows(source, table);
  g_target = g_server;
  return reference_load_of(rows, "limit001", {k, true, false});
}

// The whole demo data set, every table ticked, as a run converts it.
Figures convert_all(const std::string& dbname) {
  Run run(dbname);
  const Stopwatch t0;
  for (std::size_t i = 0; i < qv::Tconversion_form::kTables; ++i) run.form.run_converter(i, dbname);
  qv::DataModule2->IBDatabase2.Close();
  Figures f;
  f.seconds = seconds_since(t0.wall);
  f.cpu = cpu_seconds() - t0.cpu;
  for (const auto& t : run.form.stats) f.rows += static_cast<double>(t.new_rows);
  return f;
}

// The pre-flight check of a data set: rows read per second.
Figures check_all(const std::string& dbname) {
  qv::check::Options o;
  o.directory = old_folder(dbname);
  const Stopwatch t0;
  const qv::check::Report report = qv::check::run(o);
  Figures f;
  f.seconds = seconds_since(t0.wall);
  f.cpu = cpu_seconds() - t0.cpu;
  f.rows = static_cast<double>(report.rows_read);
  return f;
}

// The job-search conversion into the benchmark's server against its ceiling
// there, the same rows loaded 10 and 20 rows per EXECUTE BLOCK, taking turns
// `rounds` times; the share is the median conversion over the faster median.
// Unless `only`, also the demo data set, the conversion with one row per call
// and the ceiling with 1 and 5 rows per round trip, once each.
void server_step(std::size_t jobs, int rounds, bool only, double local_demo_rate, double local_js_rate) {
  const auto server_convert = [](const char* source, bool all) {
    return on_server([=] {
      g_target = g_server;
      return all ? convert_all(source) : convert(source, &qv::Tconversion_form::convert_jsearch_4);
    });
  };
  const auto way = [](std::size_t k) { return fmt::format("{} rows per {}", k, k == 1 ? "execution" : "EXECUTE BLOCK"); };
  const int per_call = g_rows_per_call;
  const std::string run_way = per_call ? fmt::format("{} rows per call", per_call)
                                       : fmt::format("{} rows per call (a server run's)",
                                                     qv::fb::IBDatabase::kServerRowsPerCall);
  if (local_js_rate == 0) {  // the ceilings load the rows of a local conversion
    const Outcome local = in_child([] { return convert("jobs0001", &qv::Tconversion_form::convert_jsearch_4); });
    local_js_rate = local.f.rows / local.f.seconds;
  }
  constexpr std::array<std::size_t, 2> kCeilings{10, 20};
  Rounds conversion;
  std::array<Rounds, kCeilings.size()> ceilings;
  for (int r = 0; r < rounds; ++r) {
    conversion.runs.push_back(server_convert("jobs0001", false));
    for (std::size_t c = 0; c < kCeilings.size(); ++c)
      ceilings[c].runs.push_back(on_server([k = kCeilings[c]] { return server_ceiling("jobs0001", "JSEARCH_4", k); }));
  }
  double ceiling = 0;
  for (std::size_t c = 0; c < kCeilings.size(); ++c) {
    print_rounds("server: ceiling JSEARCH_4, secondary indexes after, " + way(kCeilings[c]), ceilings[c],
                 fmt::format(", server CPU {:.2f} s", ceilings[c].median().f.extra));
    ceiling = std::max(ceiling, ceilings[c].median_rate());
  }
  print_rounds(fmt::format("server: convert_jsearch_4, {} records, {}", jobs, run_way), conversion,
               fmt::format(", server CPU {:.2f} s (locally {:.0f} rows/s)", conversion.median().f.extra, local_js_rate));
  fmt::print("server: convert_jsearch_4 {:.2f} of the server's ceiling\n", conversion.median_rate() / ceiling);
  if (only) return;
  print_step("server: demo data set, every table, " + run_way, server_convert("demo0001", true),
             fmt::format(" (locally {:.0f} rows/s)", local_demo_rate));
  g_rows_per_call = 1;
  print_step(fmt::format("server: convert_jsearch_4, {} records, 1 rows per call", jobs), server_convert("jobs0001", false));
  g_rows_per_call = per_call;
  for (std::size_t k : {1u, 5u})
    print_step("server: ceiling JSEARCH_4, secondary indexes after, " + way(k),
               in_child([k] { return server_ceiling("jobs0001", "JSEARCH_4", k); }));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Migration benchmark: engine ceiling, conversions, reading, memory"};
  std::size_t jobs = 200000, payments = 100000, read_rows = 1000000;
  int rounds = 3;
  std::size_t batch_sets = 20;
  bool million = false, keep = false, levers = false, jsearch_only = false, whole_run_only = false;
  bool server_only = false, payments_only = false, batch_only = false, request_only = false;
  app.add_option("--jsearch-records", jobs, "job-search records for the conversion")->capture_default_str();
  app.add_option("--payments", payments, "payment records for the conversion")->capture_default_str();
  app.add_option("--read-rows", read_rows, "rows of the 20-field table that is read")->capture_default_str();
  app.add_option("--rounds", rounds, "rounds of each conversion and ceiling load")->capture_default_str();
  app.add_option("--batch-sets", batch_sets, "sample data sets of the batch step (0: no batch step)")
      ->capture_default_str();
  app.add_flag("--million", million, "also convert 1,000,000 job-search records against their ceiling (slow)");
  app.add_flag("--levers", levers, "also the reference load with active indexes and with EXECUTE BLOCK");
  app.add_flag("--keep", keep, "keep the temporary folder");
  app.add_option("--rows-per-call", g_rows_per_call,
                 "rows the conversions send in one call (0: one for a local file, several on a server)")
      ->capture_default_str();
  app.add_flag("--jsearch-only", jsearch_only,
               "only the job-search conversion (without its ceiling) and the verify of what it made");
  app.add_flag("--whole-run-only", whole_run_only,
               "only the whole run of the sample data set against gbak's restore of its database");
  app.add_flag("--server-only", server_only,
               "only the job-search conversion into a server of the benchmark's own against its ceiling there");
  app.add_flag("--payments-only", payments_only, "only the payments conversion against its ceiling");
  app.add_flag("--request-only", request_only,
               "only the job-search table's rows loaded by a prepared INSERT and by a compiled store request, in turns");
  app.add_flag("--batch-only", batch_only,
               "only the batch step, with the engine's own restores one and two at a time beside it");
  CLI11_PARSE(app, argc, argv);
  rounds = std::max(rounds, 1);

  const fs::path root = fs::temp_directory_path() / fmt::format("qv-bench-{}", std::random_device{}());
  fs::create_directories(root / "engine");
  qv::platform::set_drive_root(root / "drive");
  // The engine gets a root of its own, with the product's settings and
  // external files allowed in this folder, for the external-file load.
  if (!qv::fb::lay_out_engine_root(root / "engine", fmt::format("ExternalFileAccess = Restrict {}\n", root.string()))) {
    fmt::print(stderr, "benchmark failed: cannot lay out an engine root in {}\n", root.string());
    return 1;
  }
  ::setenv("FIREBIRD", (root / "engine").c_str(), 1);
  int rc = 0;
  try {
    fmt::print("machine: {} cores, {}; load average at start {}; drive root {}\n", ::sysconf(_SC_NPROCESSORS_ONLN),
               cpu_model(), load_average(), root.string());
    if (whole_run_only) {
      whole_run_step(root, jobs, payments, rounds);
    } else if (batch_only) {
      batch_step(root, std::max<std::size_t>(batch_sets, 1));
    } else {
      const auto g0 = Clock::now();
      in_child([&] {
        for (const char* name : {"jobs0001", "read0001"}) fs::create_directories(qv::platform::map_path(old_folder(name)));
        qv::sample::write_jsearch(qv::platform::map_path(old_folder("jobs0001")), jobs, 1);
        if (jsearch_only || server_only || request_only) return Figures{};
        qv::sample::Options o;
        o.rows = payments;
        o.jobs = 10;
        qv::sample::write_data_set(qv::platform::map_path(old_folder("pay00001")), o);
        if (payments_only) return Figures{};
        qv::sample::write_data_set(qv::platform::map_path(old_folder("demo0001")), qv::sample::Options{});
        write_read_table(old_folder("read0001"), read_rows);
        return Figures{};
      });
      fmt::print("(old tables written in {:.1f} s)\n", seconds_since(g0));

      AgainstCeiling js;
      // The verify of the last conversion's database, against a conversion's time.
      const auto verify_step = [&](double conversion_seconds) {
        const Outcome ver = in_child([] { return verify_jsearch("jobs0001"); });
        print_step(fmt::format("verify of JSEARCH_4, {} records", jobs), ver,
                   fmt::format(", {:.2f} of the conversion's time", ver.f.seconds / conversion_seconds));
        return ver;
      };
      if (request_only) {
        // The rows loaded are those a conversion stored.
        in_child([] { return convert("jobs0001", &qv::Tconversion_form::convert_jsearch_4); });
        for (int r = 0; r < rounds; ++r)
          for (bool request : {false, true})
            print_step(request ? "JSEARCH_4 by a compiled store request (BLR), one start, a row per send, indexes after"
                               : "JSEARCH_4 by a prepared INSERT per row, indexes after",
                       in_child([request] { return load_job_search_rows(request); }));
      } else if (server_only) {
        if (start_server(root / "server")) server_step(jobs, rounds, true, 0, 0);
      } else if (payments_only) {
        AgainstCeiling pay;
        pay.measure(rounds, "pay00001", "limit002", "QUORVEL_4", &qv::Tconversion_form::convert_quorvel_4);
        pay.print(fmt::format("convert_quorvel_4, {} records", payments), "QUORVEL_4");
      } else if (jsearch_only) {
        // Conversion and verify take turns, so that both meet the same load.
        std::vector<double> shares;
        for (int r = 0; r < rounds; ++r) {
          const Outcome c = in_child([] { return convert("jobs0001", &qv::Tconversion_form::convert_jsearch_4); });
          print_step(fmt::format("convert_jsearch_4, {} records", jobs), c);
          shares.push_back(verify_step(c.f.seconds).f.seconds / c.f.seconds);
        }
        std::sort(shares.begin(), shares.end());
        fmt::print("verify, median of {} rounds: {:.2f} of the conversion's time\n", rounds, shares[shares.size() / 2]);
      } else {
        js.measure(rounds, "jobs0001", "limit001", "JSEARCH_4", &qv::Tconversion_form::convert_jsearch_4);
        js.print(fmt::format("convert_jsearch_4, {} records", jobs), "JSEARCH_4");
        if (levers) {
          for (int r = 0; r < rounds; ++r)
            print_step("  lever: compiled store request (BLR), one start, a row per send, secondary indexes built after the load",
                       in_child([] { return load_job_search_rows(true); }));
          for (int r = 0; r < rounds; ++r) {
            const Outcome o = in_child([] { return reference_load("jobs0001", "limit001", "JSEARCH_4", {1, true, false, true}); });
            print_step("  lever: prepared INSERT, secondary indexes built after on two attachments at once", o);
          }
          for (std::size_t k : {1u, 5u, 10u}) {
            const Outcome o = in_child([k] { return reference_load("jobs0001", "limit001", "JSEARCH_4", {k, false, false}); });
            print_step(fmt::format("  lever: prepared INSERT, indexes active, {} rows per {}", k,
                                   k == 1 ? "execution" : "EXECUTE BLOCK"), o);
          }
        }

        AgainstCeiling pay;
        pay.measure(rounds, "pay00001", "limit002", "QUORVEL_4", &qv::Tconversion_form::convert_quorvel_4);
        pay.print(fmt::format("convert_quorvel_4, {} records", payments), "QUORVEL_4");

        const Outcome demo = in_child([] { return convert_all("demo0001"); });
        print_step("demo data set, every table", demo);
        const Outcome check = in_child([] { return check_all("demo0001"); });
        print_step("pre-flight check of the demo data set", check);
        const Outcome check_js = in_child([] { return check_all("jobs0001"); });
        print_step(fmt::format("pre-flight check, {} job-search records", jobs), check_js);

        const Outcome ver = verify_step(js.conversion.median().f.seconds);

        const Outcome rd = in_child([] { return read_to_text(old_folder("read0001"), "READ20.db"); });
        print_step("read to text, 20 fields", rd, fmt::format(", {:.1f} MB/s", rd.f.bytes / rd.f.seconds / 1e6));

        if (batch_sets > 0) batch_step(root, batch_sets);
        whole_run_step(root, jobs, payments, rounds);

        double peak = std::max({js.conversion.peak_mib(), pay.conversion.peak_mib(), demo.peak_mib, ver.peak_mib, rd.peak_mib});
        double efficiency = js.efficiency();
        const char* against = js.fastest_name();
        if (million) {
          in_child([] {
            fs::create_directories(qv::platform::map_path(old_folder("jobs1m01")));
            qv::sample::write_jsearch(qv::platform::map_path(old_folder("jobs1m01")), 1000000, 2);
            return Figures{};
          });
          AgainstCeiling m;
          m.measure(rounds, "jobs1m01", "limit003", "JSEARCH_4", &qv::Tconversion_form::convert_jsearch_4);
          m.print("convert_jsearch_4, 1000000 records", "JSEARCH_4");
          peak = std::max(peak, m.conversion.peak_mib());
          if (m.efficiency() < efficiency) {  // the lower of the two is the one reported
            efficiency = m.efficiency();
            against = m.fastest_name();
          }
        }
        if (start_server(root / "server")) server_step(jobs, rounds, false, demo.f.rows / demo.f.seconds,
                                                       js.conversion.median_rate());
        fmt::print("load average at end {}\n", load_average());
        fmt::print("efficiency {:.2f} against {}, peak RSS {:.0f} MiB\n", efficiency, against, peak);
      }
    }
  } catch (const std::exception& e) {
    fmt::print(stderr, "benchmark failed: {}\n", e.what());
    rc = 1;
  }
  if (g_server) stop_server(root / "server");
  std::fflush(nullptr);
  if (!keep) {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  return rc;
}
