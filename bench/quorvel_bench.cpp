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
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <firebird/Interface.h>
#include <ibase.h>

#include "builder/schema.h"
#include "converters/frame.h"
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

// A form with its data module, as the program drives it, with a fresh
// destination database (tables and indexes) built by the real builder.
struct Run {
  qv::DataModuleScope module;
  qv::Tconversion_form form{nullptr};
  std::string dbname;

  explicit Run(std::string name) : dbname(std::move(name)) {
    form.old_table_directory = old_folder(dbname);
    if (!form.check_and_create_database_4(&form, dbname))
      throw std::runtime_error("could not create the database " + dbname);
  }
};

// ---------------------------------------------------------------- the limit

// The widths of JSEARCH_4's text columns PK to COMMENT (0: a number or date).
const std::array<unsigned, qv::jobsearch::kCarried> kWidths = [] {
  const qv::builder::TableDef& table = *qv::builder::find_table("JSEARCH_4");
  std::array<unsigned, qv::jobsearch::kCarried> widths{};
  for (std::size_t i = 0; i < widths.size(); ++i)
    widths[i] = static_cast<unsigned>(
        qv::builder::char_width(*table.find_column(qv::jobsearch::kLayout[i].dest_column)).value_or(0));
  return widths;
}();

// The rows the job-search conversion sends to JSEARCH_4, in memory: the
// upper-cased text of each value (shortened to its column), empty logicals
// as "FALSE", fresh keys.
struct Rows {
  std::vector<std::string> columns;
  std::string text;                       // every value, back to back
  std::vector<std::uint32_t> ends;        // end offset of each value in `text`
};

Rows load_rows(const std::string& folder) {
  using qv::jobsearch::kCarried;
  using qv::jobsearch::kLayout;
  Rows rows;
  for (std::size_t i = 0; i < kCarried; ++i) rows.columns.emplace_back(kLayout[i].dest_column);
  qv::pdx::PDTable t;
  t.Directory = folder;
  t.TableName = "JSEARCH2.db";
  t.Open();
  std::vector<qv::pdx::PDField*> fields;
  for (std::size_t i = 1; i < kCarried; ++i) fields.push_back(&t.FieldByName(kLayout[i].name));
  for (std::int64_t key = 1; !t.Eof(); ++key, t.Next()) {
    auto add = [&rows](const std::string& v) {
      rows.text += v;
      rows.ends.push_back(static_cast<std::uint32_t>(rows.text.size()));
    };
    add(std::to_string(key));
    for (std::size_t i = 1; i < kCarried; ++i) {
      std::string v = fields[i - 1]->AsString();
      if (kLayout[i].type == qv::pdx::FieldType::Logical && v.empty()) v = "False";
      std::string bytes = *qv::platform::to_cp1252(qv::platform::upper(v));
      if (kWidths[i] && bytes.size() > kWidths[i]) bytes.resize(kWidths[i]);
      add(bytes);
    }
  }
  return rows;
}

// How the reference load sends its rows.
struct LoadWay {
  std::size_t rows_per_call = 1;  // more than 1: EXECUTE BLOCK with that many INSERTs
  bool indexes_off = false;       // secondary indexes inactive for the load, rebuilt after
};

// The statement that inserts `k` rows per execution, every value as text.
std::string insert_sql(const std::vector<std::string>& columns, std::size_t k) {
  std::string cols, marks;
  for (const auto& c : columns) {
    if (!cols.empty()) {
      cols.append(", ");
      marks.append(", ");
    }
    cols.append(c);
    marks.append("?");
  }
  if (k == 1) return "INSERT INTO JSEARCH_4 (" + cols + ") VALUES (" + marks + ")";
  std::string params, body;
  for (std::size_t r = 0; r < k; ++r) {
    std::string values;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::string name = fmt::format("P{}_{}", r, c);
      params += fmt::format("{}{} VARCHAR(255) CHARACTER SET NONE = ?", params.empty() ? "" : ", ", name);
      values.append(c ? ", :" : ":").append(name);
    }
    body += "INSERT INTO JSEARCH_4 (" + cols + ") VALUES (" + values + ");\n";
  }
  return "EXECUTE BLOCK (" + params + ") AS BEGIN\n" + body + "END";
}

// The engine's own interface, used directly by the reference load.
Firebird::IMaster* fb_master() { return Firebird::fb_get_master_interface(); }

struct FbStatus : Firebird::ThrowStatusWrapper {
  FbStatus() : ThrowStatusWrapper(fb_master()->getStatus()) {}
  ~FbStatus() { dispose(); }
  FbStatus(const FbStatus&) = delete;
  FbStatus& operator=(const FbStatus&) = delete;
};

// One prepared statement with its text input message.
struct Prepared {
  Firebird::IStatement* stmt = nullptr;
  Firebird::IMessageMetadata* meta = nullptr;
  std::vector<unsigned> offsets, nulls;
  std::vector<unsigned char> buf;

  Prepared(Firebird::IAttachment* att, Firebird::ITransaction* tra, const std::string& sql) {
    FbStatus st;
    stmt = att->prepare(&st, tra, static_cast<unsigned>(sql.size()), sql.c_str(), 1,
                        Firebird::IStatement::PREPARE_PREFETCH_METADATA);
    // Every value goes in as text: as wide as the column, or the longest text
    // a number or date takes.
    Firebird::IMessageMetadata* in = stmt->getInputMetadata(&st);
    Firebird::IMetadataBuilder* b = in->getBuilder(&st);
    const unsigned n = in->getCount(&st);
    for (unsigned p = 0; p < n; ++p) {
      const unsigned width = kWidths[p % kWidths.size()];
      b->setType(&st, p, SQL_VARYING + 1);
      b->setLength(&st, p, width ? width : 255u);
      b->setCharSet(&st, p, 0);
    }
    meta = b->getMetadata(&st);
    b->release();
    in->release();
    for (unsigned p = 0; p < n; ++p) {
      offsets.push_back(meta->getOffset(&st, p));
      nulls.push_back(meta->getNullOffset(&st, p));
    }
    buf.resize(meta->getMessageLength(&st));
  }
  ~Prepared() {
    FbStatus st;
    meta->release();
    stmt->free(&st);
  }
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
};

// An attachment of the load's own to the database file.
Firebird::IAttachment* fb_attach(const std::string& path) {
  FbStatus st;
  Firebird::IXpbBuilder* dpb = fb_master()->getUtilInterface()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0);
  dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
  dpb->insertTag(&st, isc_dpb_utf8_filename);
  Firebird::IProvider* prov = fb_master()->getDispatcher();
  Firebird::IAttachment* att = prov->attachDatabase(&st, path.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
  prov->release();
  dpb->dispose();
  return att;
}

// The names of JSEARCH_4's indexes that are not behind a constraint.
std::vector<std::string> secondary_indexes(qv::fb::IBDatabase& db) {
  std::vector<std::string> names;
  for (const auto& row : db.Query("SELECT TRIM(RDB$INDEX_NAME) FROM RDB$INDICES WHERE RDB$RELATION_NAME = 'JSEARCH_4' "
                                  "AND RDB$INDEX_NAME NOT STARTING WITH 'RDB$'"))
    names.push_back(row.at(0).value_or(""));
  return names;
}

// The plainest load there is: one prepared INSERT, every row executed with
// its values as text, one transaction, on an attachment of its own beside the
// converters' connection, which is closed the way a run is closed.
Figures plain_load(const std::string& dbname, LoadWay way) {
  Run run(dbname);
  const Rows rows = load_rows(run.form.old_table_directory);
  const std::size_t n_cols = rows.columns.size();
  const std::size_t n_rows = rows.ends.size() / n_cols;

  auto& dm = *qv::DataModule2;
  auto& db = dm.IBDatabase2;
  const Stopwatch t0;
  qv::conv::connect_destination(dbname);  // the converters' own connection and transaction
  std::vector<std::string> indexes;
  if (way.indexes_off) {
    indexes = secondary_indexes(db);
    for (const auto& name : indexes) db.ExecuteImmediate("ALTER INDEX " + name + " INACTIVE");
  }
  FbStatus st;
  Firebird::IAttachment* att = fb_attach(db.real_path());
  Firebird::ITransaction* tra = att->startTransaction(&st, 0, nullptr);
  {
    Prepared one(att, tra, insert_sql(rows.columns, 1));
    std::optional<Prepared> many;
    if (way.rows_per_call > 1) many.emplace(att, tra, insert_sql(rows.columns, way.rows_per_call));
    std::size_t v = 0;
    std::uint32_t from = 0;
    for (std::size_t r = 0; r < n_rows;) {
      Prepared& p = (many && n_rows - r >= way.rows_per_call) ? *many : one;
      const std::size_t k = &p == &one ? 1 : way.rows_per_call;
      for (std::size_t i = 0; i < k * n_cols; ++i, ++v) {
        const std::uint32_t to = rows.ends[v];
        const auto len = static_cast<unsigned short>(to - from);
        // Empty text is no value in the number and date columns.
        const short null_flag = (len == 0 && kWidths[i % n_cols] == 0) ? -1 : 0;
        std::memcpy(&p.buf[p.nulls[i]], &null_flag, sizeof null_flag);
        std::memcpy(&p.buf[p.offsets[i]], &len, sizeof len);
        std::memcpy(&p.buf[p.offsets[i] + sizeof len], rows.text.data() + from, len);
        from = to;
      }
      p.stmt->execute(&st, tra, p.meta, p.buf.data(), nullptr, nullptr);
      r += k;
    }
  }
  tra->commit(&st);
  att->detach(&st);
  for (const auto& name : indexes) db.ExecuteImmediate("ALTER INDEX " + name + " ACTIVE");
  db.Close();  // makes the file durable
  Figures f;
  f.seconds = seconds_since(t0.wall);
  f.cpu = cpu_seconds() - t0.cpu;
  f.rows = static_cast<double>(n_rows);
  return f;
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

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0) return std::string(qv::platform::trim(line.substr(line.find(':') + 1)));
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Migration benchmark: engine limit, conversions, reading, memory"};
  std::size_t jobs = 200000, payments = 100000, read_rows = 1000000;
  bool million = false, keep = false, levers = false;
  app.add_option("--jobs", jobs, "job-search records for the conversion")->capture_default_str();
  app.add_option("--payments", payments, "payment records for the conversion")->capture_default_str();
  app.add_option("--read-rows", read_rows, "rows of the 20-field table that is read")->capture_default_str();
  app.add_flag("--million", million, "also convert 1,000,000 job-search records (slow)");
  app.add_flag("--levers", levers, "also measure the reference load with inactive indexes and EXECUTE BLOCK");
  app.add_flag("--keep", keep, "keep the temporary folder");
  CLI11_PARSE(app, argc, argv);

  const fs::path root = fs::temp_directory_path() / fmt::format("qv-bench-{}", std::random_device{}());
  fs::create_directories(root);
  qv::platform::set_drive_root(root);
  int rc = 0;
  try {
    fmt::print("machine: {} cores, {}; drive root {}\n", ::sysconf(_SC_NPROCESSORS_ONLN), cpu_model(), root.string());
    const auto g0 = Clock::now();
    in_child([&] {
      for (const char* name : {"jobs0001", "limit001", "read0001"})
        fs::create_directories(qv::platform::map_path(old_folder(name)));
      qv::sample::write_jsearch(qv::platform::map_path(old_folder("jobs0001")), jobs, 1);
      fs::copy_file(qv::platform::map_path(old_folder("jobs0001")) / "JSEARCH2.db",
                    qv::platform::map_path(old_folder("limit001")) / "JSEARCH2.db");
      qv::sample::Options o;
      o.rows = payments;
      o.jobs = 10;
      qv::sample::write_data_set(qv::platform::map_path(old_folder("pay00001")), o);
      write_read_table(old_folder("read0001"), read_rows);
      return Figures{};
    });
    fmt::print("(old tables written in {:.1f} s)\n", seconds_since(g0));

    const Outcome limit = in_child([] { return plain_load("limit001", {}); });
    print_step("limit: plain load into JSEARCH_4", limit);
    if (levers) {
      const Outcome off = in_child([] { return plain_load("limit001", {1, true}); });
      print_step("  lever: the same with the secondary indexes inactive, then activated", off);
      for (std::size_t k : {5u, 10u}) {
        const Outcome blk = in_child([k] { return plain_load("limit001", {k, false}); });
        print_step(fmt::format("  lever: the same, {} rows per EXECUTE BLOCK", k), blk);
      }
    }
    const double limit_rate = limit.f.rows / limit.f.seconds;

    const Outcome js = in_child([] { return convert("jobs0001", &qv::Tconversion_form::convert_jsearch_4); });
    const double efficiency = (js.f.rows / js.f.seconds) / limit_rate;
    print_step(fmt::format("convert_jsearch_4, {} records", jobs), js,
               fmt::format(", efficiency {:.2f}, progress box and line {:.2f} % of the run", efficiency,
                           100.0 * js.f.extra / js.f.seconds));

    const Outcome ver = in_child([] { return verify_jsearch("jobs0001"); });
    print_step(fmt::format("verify of JSEARCH_4, {} records", jobs), ver,
               fmt::format(", {:.2f} of the conversion's time", ver.f.seconds / js.f.seconds));

    const Outcome pay = in_child([] { return convert("pay00001", &qv::Tconversion_form::convert_quorvel_4); });
    print_step(fmt::format("convert_quorvel_4, {} records", payments), pay);

    const Outcome rd = in_child([] { return read_to_text(old_folder("read0001"), "READ20.db"); });
    print_step("read to text, 20 fields", rd, fmt::format(", {:.1f} MB/s", rd.f.bytes / rd.f.seconds / 1e6));

    double peak = std::max({js.peak_mib, ver.peak_mib, pay.peak_mib, rd.peak_mib});
    if (million) {
      fs::remove_all(qv::platform::map_path(old_folder("limit001")));
      in_child([] {
        fs::create_directories(qv::platform::map_path(old_folder("jobs1m01")));
        qv::sample::write_jsearch(qv::platform::map_path(old_folder("jobs1m01")), 1000000, 2);
        return Figures{};
      });
      const Outcome m = in_child([] { return convert("jobs1m01", &qv::Tconversion_form::convert_jsearch_4); });
      print_step("convert_jsearch_4, 1000000 records", m);
      peak = std::max(peak, m.peak_mib);
    }
    fmt::print("efficiency {:.2f}, peak RSS {:.0f} MiB\n", efficiency, peak);
  } catch (const std::exception& e) {
    fmt::print(stderr, "benchmark failed: {}\n", e.what());
    rc = 1;
  }
  std::fflush(nullptr);
  if (!keep) {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  return rc;
}
