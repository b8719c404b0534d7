// quorvel-migrate-cli: the conversion form driven from the command line.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "batch/batch.h"
#include "check/check.h"
#include "firebird/ib.h"
#include "cli/console.h"
#include "cli/login.h"
#include "cli/names.h"
#include "cli/summary.h"
#include "run/row_errors.h"
#include "form/conversion_form.h"
#include "form/printed_boxes.h"
#include "paradox/codepage.h"
#include "paradox/table.h"
#include "platform/paths.h"
#include "platform/signals.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "datamodule/datamodule.h"
#include "verify/verify.h"

namespace fs = std::filesystem;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kRefused = 2;

bool g_stdout_was_closed = false;  // at start

// SIGINT, SIGTERM and SIGHUP (a terminal that went away; left ignored under
// nohup): the first asks the run to stop at its next row, a second ends the
// program at once (the first delivered twice is no second).
std::atomic<qv::Tconversion_form*> g_running_form{nullptr};
// Signals may be handled on two threads at once: exactly one handler finds
// no signal before it.
qv::platform::StopRequests g_stops;
static_assert(std::atomic<qv::Tconversion_form*>::is_always_lock_free);

extern "C" void on_stop_signal(int sig) {
  qv::Tconversion_form* form = g_running_form.load();
  const qv::platform::StopKind kind = form ? g_stops.arrived(sig) : qv::platform::StopKind::second;
  if (kind == qv::platform::StopKind::echo) return;
  if (kind == qv::platform::StopKind::second) {
    qv::cli::restore_terminal();  // a password prompt may have turned echo off
    ::_exit(128 + sig);
  }
  form->request_stop();
  qv::fb::stop_signal_arrived(sig);  // should the run sit in an engine call
}

// Ours first, for the life of the program: the engine, once loaded, calls
// them from its own handlers.
void install_stop_signals() {
  [[maybe_unused]] static const auto* const handler = new qv::platform::StopSignalHandler(on_stop_signal);
}

// Makes a signal stop `form`'s run for the life of the object.
class StopOnSignal {
 public:
  explicit StopOnSignal(qv::Tconversion_form& form) { g_running_form.store(&form); }
  ~StopOnSignal() { g_running_form.store(nullptr); }
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;
};

struct Options {
  std::string drive_c;
  std::optional<std::string> tables;
  std::string report;
  std::string dump;
  int codepage = 0;
  bool quiet = false;
  std::string log_file;
  bool check = false;
  bool verify = false;
  bool then_verify = false;
  std::string directory;
  std::string all;             // --all ROOT
  unsigned jobs = 0;
  std::string log_dir;
  std::string batch_database;  // a batch's child: its data set's database
  std::string server, server_dir, wire_crypt = "required";
  std::optional<qv::ServerDestination> destination;  // --server, with its login
  // A database already there, and a database name not from the folder.
  bool replace = false;
  std::optional<std::string> name;
  bool verbose = false;  // --check: every finding, not only those that stop the run
  // A refused row: stop there, or leave it out ("skip") into the reject
  // file, stopping at the one after max_errors (0: no limit).
  std::string on_error = "stop";
  std::int64_t max_errors = 100;
  std::string reject_file;
};

// Ticks for --tables: the check-list items named in the comma-separated list
// (carrier, carrier.db or CARRIER_4, letter case aside). Empty entries are
// ignored; an unknown name is refused.
std::optional<std::vector<bool>> ticks_for(const std::string& list) {
  std::vector<bool> ticks(qv::Tconversion_form::kTables, false);
  std::size_t from = 0;
  while (from <= list.size()) {
    std::size_t to = std::min(list.find(',', from), list.size());
    std::string_view name = qv::platform::trim(std::string_view(list).substr(from, to - from));
    from = to + 1;
    if (name.empty()) continue;
    const auto index = qv::cli::table_item(name);
    if (index) ticks[*index] = true;
    if (!index) {
      std::string valid;
      for (const auto& item : qv::registry::items()) valid += (valid.empty() ? "" : ", ") + std::string(item.item);
      fmt::print(stderr, "Unknown table \"{}\". Valid names: {}\n", name, valid);
      return std::nullopt;
    }
  }
  return ticks;
}

// True when everything printed on stdout reached it; otherwise says on
// stderr that `what` could not be written (a full disk, a closed pipe).
bool stdout_written(std::string_view what) {
  std::cout.flush();
  if (std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  fmt::print(stderr, "{} could not be written to the standard output\n", what);
  return false;
}

int dump(const Options& o) {
  try {
    qv::pdx::dump_csv(qv::platform::map_path(o.dump), std::cout, o.codepage);
    return stdout_written(fmt::format("The table {}", o.dump)) ? kOk : kFailed;
  } catch (const std::exception& e) {
    std::cout.flush();
    fmt::print(stderr, "{}\n", e.what());
    return kFailed;
  }
}

bool write_report(const std::string& file, const nlohmann::json& report) {
  const std::string text = report.dump(2) + '\n';
  const std::string error = qv::platform::write_output_or_stdout(qv::platform::map_path(file), text);
  if (!error.empty()) fmt::print(stderr, "Cannot write the report {}: {}\n", file, error);
  return error.empty();
}

// ---- The JSON report: one document for every outcome ------------------------

using Clock = std::chrono::system_clock;

// The mode a report describes.
const char* mode_name(const Options& o) {
  return o.check ? "check" : o.verify ? "verify" : o.then_verify ? "run-then-verify" : "run";
}

// Writes `body` with what every report carries: its schema's version, the
// program and its version, the mode, start and end (UTC) and the exit code.
// The totals sum each whole-number figure of the tables.
bool write_envelope(const Options& o, nlohmann::json body, Clock::time_point started, int code) {
  nlohmann::json totals = nlohmann::json::object();
  if (body.contains("tables") && body["tables"].is_array()) {
    totals["tables"] = body["tables"].size();
    for (const auto& t : body["tables"])
      for (const auto& [key, value] : t.items())
        if (value.is_number_integer()) totals[key] = totals.value(key, std::int64_t{0}) + value.get<std::int64_t>();
  }
  nlohmann::json j = {{"schema_version", qv::cli::kReportSchemaVersion},
                      {"tool", "quorvel-migrate-cli"},
                      {"tool_version", QV_VERSION},
                      {"mode", mode_name(o)},
                      {"started", qv::cli::utc_time(started)},
                      {"ended", qv::cli::utc_time(Clock::now())},
                      {"exit_code", code},
                      {"totals", totals}};
  j.update(body);
  return write_report(o.report, j);
}

// The folder as the program names it: a native path made absolute.
std::string old_table_directory(const Options& o) {
  if (qv::platform::is_windows_path(o.directory)) return o.directory;
  return fs::absolute(o.directory).lexically_normal().string();
}

// The ticks asked for (every table by default); nullopt after a refusal.
std::optional<std::vector<bool>> chosen_ticks(const Options& o) {
  if (!o.tables) return std::vector<bool>(qv::Tconversion_form::kTables, true);
  return ticks_for(*o.tables);
}

// Reads the ticked tables and prints what would stop or change a run;
// writes nothing and leaves the database engine alone.
// A --codepage the program cannot decode is refused before anything else.
bool codepage_usable(int code_page) {
  if (!code_page) return true;
  try {
    qv::pdx::TextCodec codec(code_page);
    return true;
  } catch (const std::exception& e) {
    fmt::print(stderr, "--codepage {}: {}\n", code_page, e.what());
    return false;
  }
}

// True when the form accepts the folder as a data set (it holds
// quorvel2.db); its refusal is printed on stderr otherwise.
bool folder_accepted(const std::string& directory) {
  qv::PrintedBoxes boxes(stderr);
  qv::Tconversion_form form(&boxes);
  form.CDirectoryOutline_Source.SetDirectory(directory);
  form.btn_select_directoryClick(&form);
  return form.result.outcome != qv::RunResult::Outcome::refused;
}

// ---- The database a run writes ---------------------------------------------

// The database's name when the folder does not give it: --name, else a
// batch child's.
std::string given_database_name(const Options& o) { return o.name ? *o.name : o.batch_database; }

// --name as a folder inside "db" would give it: at most eight characters
// (lower-cased), usable as a file name. Nullopt, said on stderr, otherwise.
std::optional<std::string> checked_database_name(const std::string& name) {
  const std::string lower = qv::platform::ascii_lower(name);
  const char* problem = nullptr;
  if (lower.empty()) problem = "it is empty";
  else if (!qv::platform::valid_utf8(lower)) problem = "it is not UTF-8 text";
  else if (qv::platform::utf8_prefix(lower, qv::Tconversion_form::kNameLength).size() != lower.size()) problem = "it is longer than eight characters";
  else if (lower.find_first_of("/\\:*?\"<>|") != std::string::npos) problem = "it holds one of / \\ : * ? \" < > |";
  else if (lower.front() == '.') problem = "it begins with a dot";
  else if (std::any_of(lower.begin(), lower.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
    problem = "it holds a control character";
  if (!problem) return lower;
  fmt::print(stderr, "--name \"{}\": {}; a database name is at most eight characters, usable as a file name.\n",
             qv::platform::printable(name), problem);
  return std::nullopt;
}

// The refusal of a folder that gives no database name, with the way past it.
std::string unnamed_folder_refusal(const std::string& directory) {
  return fmt::format("The folder {} is not inside a \"db\" folder of data sets, so the new database cannot be named "
                     "after it: give the name with --name NAME (at most eight characters).",
                     directory);
}

// What is at the database's place before a run.
enum class Existing { Absent, Present, InUse };

// The database `dbname` on the server: raises when the server cannot be
// reached or refuses the login.
Existing on_server(const std::string& dbname, const qv::ServerDestination& server) {
  qv::fb::IBDatabase db;
  db.Params = qv::admin_login();
  qv::Tconversion_form::aim_at_database(db, dbname, &server);
  try {
    db.Open();
  } catch (const qv::fb::Error& e) {
    if (e.is_no_such_file()) return Existing::Absent;
    if (e.is_in_use()) return Existing::InUse;
    throw;
  }
  db.Close();
  return Existing::Present;
}

Existing existing_database(const std::string& dbname, const qv::ServerDestination* server) {
  if (server) return on_server(dbname, *server);
  const std::string file = qv::Tconversion_form::destination_file(dbname);
  std::error_code ec;
  if (fs::symlink_status(qv::platform::map_path(file), ec).type() == fs::file_type::not_found) return Existing::Absent;
  // A link is replaced as a link (what it points to stays); anything else
  // that is no regular file is not a database (and a FIFO is not opened).
  const std::string kind = qv::Tconversion_form::odd_file_kind(file);
  if (!kind.empty() && kind != "a symbolic link")
    throw std::runtime_error("In place of the database " + qv::platform::map_path(file).string() + " is " + kind +
                             ", not a database file: nothing was done.");
  return kind.empty() && qv::platform::file_locked(file) ? Existing::InUse : Existing::Present;
}

// The name a replacing run builds under, in the same folder; a run that
// does not complete leaves the new database there, beside the earlier one.
std::string partial_name(const std::string& dbname) { return dbname + ".partial"; }

// Moves the completed database `built` over `final`; false, said on
// stderr, when it cannot.
bool put_in_place(const std::string& built, const std::string& final) {
  std::error_code ec;
  fs::rename(qv::platform::map_path(qv::Tconversion_form::destination_file(built)),
             qv::platform::map_path(qv::Tconversion_form::destination_file(final)), ec);
  if (ec)
    fmt::print(stderr, "The new database is complete in {} but could not take the place of {}: {}\n",
               qv::platform::map_path(qv::Tconversion_form::destination_file(built)).string(),
               qv::platform::map_path(qv::Tconversion_form::destination_file(final)).string(), ec.message());
  return !ec;
}

// ---- --check beyond the old tables --------------------------------------------

struct Preflight {
  std::vector<std::string> lines;
  bool stops = false;
};

// What a run would meet beyond the old tables: a folder that names no
// database, and on a server its reach, its login and the database's state.
Preflight destination_preflight(const Options& o, const std::string& directory) {
  Preflight p;
  const std::string dbname = qv::Tconversion_form::chosen_database_name(directory, given_database_name(o));
  if (dbname.empty()) {
    p.lines.push_back(unnamed_folder_refusal(directory) + " The run would be refused.");
    p.stops = true;
    return p;
  }
  if (!o.destination) return p;
  qv::fb::IBDatabase named;
  qv::Tconversion_form::aim_at_database(named, dbname, &*o.destination);
  const std::string database = o.destination->server.host + ":" + named.DatabaseName;
  try {
    switch (on_server(dbname, *o.destination)) {
      case Existing::Absent: p.lines.push_back(fmt::format("The server answers and takes the login; the run will create the database {}.", database)); break;
      case Existing::InUse:
        p.lines.push_back(fmt::format("The database {} is in use: the run would be refused.", database));
        p.stops = true;
        break;
      case Existing::Present:
        p.stops = !o.replace;
        p.lines.push_back(o.replace ? fmt::format("The run will drop the database {} on the server and make it afresh.", database)
                                    : fmt::format("The database {} is already there: the run would be refused. Give --replace to replace it.", database));
    }
  } catch (const std::exception& e) {
    p.lines.push_back(fmt::format("The server cannot be used: {}", e.what()));
    p.stops = true;
  }
  return p;
}

// The code page each ticked table is read in, tables of one page on one
// line; beside a page other than 1252 a text of the table as it decodes.
std::vector<std::string> code_page_lines(const std::string& directory, const std::vector<bool>& ticks, int override) {
  std::map<int, std::vector<std::string>> by_page;
  for (std::size_t i = 0; i < qv::registry::kItems; ++i) {
    if (!ticks[i]) continue;
    const auto& item = qv::registry::items()[i];
    qv::pdx::PDTable t;
    t.Directory = directory;
    t.TableName = std::string(item.old_file);
    t.CodePageOverride = override;
    try {
      t.Open();
    } catch (const std::exception&) {
      continue;  // a finding of the check already
    }
    std::string entry(item.old_file);
    if (t.CodePage() != 1252) {
      // The first text beyond ASCII, as this code page turns it.
      std::string sample;
      for (t.First(); sample.empty() && !t.Eof() && t.RecNo() <= 1000; t.Next())
        for (const auto& f : t.Fields()) {
          if (f.DataType != qv::pdx::FieldType::Alpha) continue;
          const std::string& v = t.FieldByName(f.Name).AsString();
          if (std::any_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
            sample = fmt::format(" (row {}, {}: \"{}\")", t.RecNo(), f.Name, qv::platform::printable(v));
            break;
          }
        }
      entry += sample;
    }
    by_page[t.CodePage()].push_back(entry);
  }
  std::vector<std::string> lines;
  if (by_page.size() == 1 && by_page.begin()->first == 1252)
    return {fmt::format("Code page 1252 ({}) for all {} tables.", override ? "--codepage" : "from the headers",
                        by_page.begin()->second.size())};
  for (const auto& [page, tables] : by_page) {
    std::string list;
    for (const std::string& t : tables) list += (list.empty() ? "" : ", ") + t;
    lines.push_back(fmt::format("Code page {} ({}): {}", page, override ? "--codepage" : "from the header", list));
  }
  return lines;
}

// What --check shows of each kind of finding without -v: the first few.
constexpr std::int64_t kFindingsShown = 20;

int check(const Options& o, nlohmann::json& report) {
  const std::string directory = old_table_directory(o);
  report = {{"old_table_directory", directory}};
  const auto refuse = [&](const std::string& why) {
    if (!why.empty()) fmt::print(stderr, "{}\n", why);
    report["error"] = why.empty() ? "refused (see the standard error)" : why;
    return kRefused;
  };
  const auto ticks = chosen_ticks(o);
  if (!ticks || !codepage_usable(o.codepage)) return refuse("");
  if (!folder_accepted(directory)) return refuse("");

  qv::check::Options options;
  options.directory = directory;
  options.ticks = *ticks;
  options.codepage = o.codepage;
  options.database_name = given_database_name(o);
  options.on_server = o.destination.has_value();
  options.existing = o.replace ? qv::check::Existing::Replaced : qv::check::Existing::Refused;
  // The findings that stop the run are shown, the first few lines of each
  // kind (findings in consecutive rows merged); with -v every finding.
  qv::check::DetailLines shown;
  std::array<std::int64_t, qv::check::kKinds> seen{}, lines_of_kind{}, hidden{};
  nlohmann::json findings = nlohmann::json::array();
  options.on_finding = [&](const qv::check::Finding& f) {
    const std::size_t k = static_cast<std::size_t>(f.kind);
    ++seen[k];
    if (!o.verbose && !qv::check::stops_run(f.kind)) return;
    const bool joins = shown.joins(f);
    if (!o.verbose && !joins && lines_of_kind[k] >= kFindingsShown) {
      ++hidden[k];
      return;
    }
    if (!joins) ++lines_of_kind[k];
    shown.add(f);
    if (joins && !o.verbose) return;  // its line's first finding stands for it
    findings.push_back({{"kind", qv::check::kind_name(f.kind)}, {"stops", qv::check::stops_run(f.kind)},
                        {"table", f.table}, {"row", f.row}, {"field", f.field}, {"value", f.value},
                        {"detail", f.detail}});
  };
  const qv::check::Report result = qv::check::run(options);
  const Preflight preflight = destination_preflight(o, directory);
  std::vector<std::string> lines = preflight.lines;
  const bool stops = result.stops() || preflight.stops;
  if (!result.destination.empty()) lines.insert(lines.begin(), result.destination);
  for (std::string& l : code_page_lines(directory, *ticks, o.codepage)) lines.push_back(std::move(l));
  std::vector<std::string> summary = result.summary_lines();
  if (!result.destination.empty()) summary.pop_back();
  const std::string verdict = stops ? "The run would stop: see below." : "Nothing would stop the run.";
  std::fputs((verdict + '\n').c_str(), stdout);
  std::vector<std::string> detail = shown.lines();
  for (const auto* block : {&lines, &summary, &detail})
    for (const std::string& line : *block) std::fputs((line + '\n').c_str(), stdout);
  for (std::size_t k = 0; k < qv::check::kKinds; ++k)
    if (hidden[k] > 0)
      fmt::print(stdout, "... and {} more like it: {}\n", hidden[k], qv::check::kind_name(static_cast<qv::check::Kind>(k)));
  if (!o.verbose && std::any_of(seen.begin(), seen.end(), [](auto n) { return n > 0; }))
    std::fputs("(-v lists every finding)\n", stdout);

  nlohmann::json counts = nlohmann::json::object();
  for (std::size_t k = 0; k < qv::check::kKinds; ++k)
    if (seen[k] > 0) counts[qv::check::kind_name(static_cast<qv::check::Kind>(k))] = seen[k];
  report["verdict"] = verdict;
  report["stops"] = stops;
  report["lines"] = lines;
  report["records_read"] = result.rows_read;
  report["counts"] = counts;
  report["findings"] = findings;
  if (!stdout_written("The check's findings")) return kFailed;
  return stops ? kFailed : kOk;
}

// Compares the database a run made from the folder with the old tables as
// the rules turn them into rows; writes nothing. Exit 0 when nothing
// differs, 1 on differences, 2 when the comparison could not be made.
int verify(const Options& o, nlohmann::json& report) {
  const std::string directory = old_table_directory(o);
  const auto refuse = [&](const std::string& why) {
    if (!why.empty()) fmt::print(stderr, "{}\n", why);
    report = {{"old_table_directory", directory}, {"error", why.empty() ? "refused (see the standard error)" : why}};
    return kRefused;
  };
  const auto ticks = chosen_ticks(o);
  if (!ticks) return refuse("");
  if (!folder_accepted(directory)) return refuse("");
  qv::verify::Options options;
  options.directory = directory;
  options.ticks = *ticks;
  options.codepage = o.codepage;
  options.database_name = given_database_name(o);
  if (qv::Tconversion_form::chosen_database_name(directory, options.database_name).empty())
    return refuse(unnamed_folder_refusal(directory));
  options.server = o.destination;
  if (!o.reject_file.empty()) options.reject_file = qv::platform::map_path(o.reject_file).string();
  qv::verify::Report result;
  try {
    result = qv::verify::run(options);
  } catch (const std::exception& e) {
    return refuse(fmt::format("Cannot verify: {}", e.what()));
  }
  report = result.to_json();
  report["old_table_directory"] = directory;
  for (const std::string& line : result.lines()) std::fputs((line + '\n').c_str(), stdout);
  if (!stdout_written("The verify report")) return kRefused;
  return result.clean() ? kOk : kFailed;
}

// Where a run's status log goes: stdout, nowhere (--quiet) or the file of
// --log-file, opened as the other outputs are (a FIFO without a reader is
// refused, not waited for).
class StatusLog {
 public:
  // False, said on stderr, when the file cannot be opened.
  bool open(const Options& o) {
    if (o.quiet && o.log_file.empty()) stream_ = nullptr;
    if (o.log_file.empty()) return true;
    const int fd = qv::platform::open_output(qv::platform::map_path(o.log_file));
    if (fd >= 0) file_ = stream_ = ::fdopen(fd, "w");
    if (!file_) {
      const int e = errno;
      if (fd >= 0) ::close(fd);
      fmt::print(stderr, "Cannot write the status log {}: {}\n", o.log_file,
                 e == ENXIO ? "no program reads from it" : std::strerror(e));
      return false;
    }
    name_ = o.log_file;
    return true;
  }
  // Closes the file; 0 or why its last lines could not be written.
  int close() {
    if (!file_) return 0;
    const int rc = std::fclose(file_);
    file_ = nullptr;
    return rc == 0 ? 0 : errno;
  }
  ~StatusLog() { close(); }
  std::FILE* stream() const { return stream_; }
  const std::string& name() const { return name_; }

 private:
  std::FILE* stream_ = stdout;
  std::FILE* file_ = nullptr;
  std::string name_ = "the standard output";
};

// The reject file of a run that leaves refused rows out, and what writes
// to it.
class RejectFile {
 public:
  // Opens (replacing) `file` and writes its header; false, said on stderr,
  // when it cannot.
  bool open(const std::string& file, std::int64_t max_rows) {
    name_ = qv::platform::map_path(file).string();
    std::error_code ec;
    fs::create_directories(fs::path(name_).parent_path(), ec);  // the databases' folder, before the first run
    const int fd = qv::platform::open_output(name_);
    if (fd >= 0) file_ = ::fdopen(fd, "w");
    if (!file_ || !write(qv::conv::kRejectHeader)) {
      const int e = errno;
      if (fd >= 0 && !file_) ::close(fd);
      fmt::print(stderr, "Cannot write the reject file {}: {}\n", name_,
                 e == ENXIO ? "no program reads from it" : std::strerror(e));
      return false;
    }
    errors_.emplace(max_rows, [this](const qv::conv::RefusedRow& r) {
      if (write(qv::conv::reject_line(r))) return;
      failure_ = errno;  // the run stops on the row, and this is said at the end
      throw std::runtime_error(fmt::format("{}, row {}: the row could not be written to the reject file {}: {}",
                                             r.old_file, r.row, name_, std::strerror(errno)));
    });
    return true;
  }
  ~RejectFile() { close(); }
  // 0 or why lines could not be written.
  int close() {
    if (!file_) return failure_;
    const int rc = std::fclose(file_);
    file_ = nullptr;
    if (rc != 0 && failure_ == 0) failure_ = errno;
    return failure_;
  }
  qv::conv::RowErrors* errors() { return errors_ ? &*errors_ : nullptr; }
  const std::string& name() const { return name_; }

 private:
  bool write(std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), file_) == text.size() && std::fflush(file_) == 0;
  }
  std::FILE* file_ = nullptr;
  std::string name_;
  int failure_ = 0;
  std::optional<qv::conv::RowErrors> errors_;
};

int convert(const Options& o, nlohmann::json& report) {
  const std::string directory = old_table_directory(o);
  qv::cli::RunSummary summary;
  summary.old_table_directory = directory;
  summary.outcome = qv::cli::Outcome::Refused;
  // A refusal: nothing was touched.
  const auto refuse = [&](const std::string& why) {
    if (!why.empty()) fmt::print(stderr, "{}\n", why);
    summary.error = why.empty() ? "refused (see the standard error)" : why;
    report = qv::cli::to_json(summary);
    return kRefused;
  };
  const auto chosen = chosen_ticks(o);
  if (!chosen || !codepage_usable(o.codepage)) return refuse("");
  const std::vector<bool>& ticks = *chosen;
  if (!folder_accepted(directory)) return refuse("");
  const std::string dbname = qv::Tconversion_form::chosen_database_name(directory, given_database_name(o));
  if (dbname.empty()) return refuse(unnamed_folder_refusal(directory));

  const qv::ServerDestination* server = o.destination ? &*o.destination : nullptr;
  qv::fb::IBDatabase named;  // only names the database
  qv::Tconversion_form::aim_at_database(named, dbname, server);
  const std::string database = named.real_path();
  std::string build_name = dbname;
  try {
    switch (existing_database(dbname, server)) {
      case Existing::Absent: break;
      case Existing::InUse:
        return refuse(fmt::format("The database {} is in use by another program: nothing was done.", database));
      case Existing::Present:
        if (!o.replace)
          return refuse(fmt::format("The database {} is already there: nothing was done. Give --replace to replace it "
                                    "(the new database takes its place only once the run completes).",
                                    database));
        // A server's files cannot be renamed from here: there the run drops
        // the earlier database first.
        if (!server) build_name = partial_name(dbname);
    }
  } catch (const qv::fb::Error& e) {
    return refuse(fmt::format("The server cannot be used: {}", e.what()));
  } catch (const std::exception& e) {
    return refuse(e.what());
  }

  qv::DataModuleScope module;
  if (o.codepage) qv::DataModule2->PDTable1.CodePageOverride = o.codepage;
  qv::DataModule2->Server = o.destination;

  StatusLog status_log;
  if (!status_log.open(o)) return kRefused;
  qv::PrintedBoxes boxes(stderr);
  qv::cli::Console console({status_log.stream(),
                            o.batch_database.empty() ? qv::cli::Console::Progress::Auto : qv::cli::Console::Progress::Off,
                            static_cast<std::size_t>(std::count(ticks.begin(), ticks.end(), true)),
                            status_log.stream() == stdout && g_stdout_was_closed});
  // --on-error skip: the reject file, beside the database unless named
  // (built under the database's building name, and moved with it).
  RejectFile rejects;
  const bool skipping = o.on_error == "skip";
  const std::string reject_file = o.reject_file.empty() ? qv::conv::reject_file(build_name) : o.reject_file;
  if (skipping && !rejects.open(reject_file, o.max_errors)) return kRefused;
  summary.on_error_skip = skipping;
  if (skipping) summary.reject_file = rejects.name();

  qv::FormSetup setup;
  setup.database_name = build_name;
  setup.row_errors = rejects.errors();
  if (!o.batch_database.empty()) setup.temp_directory = qv::batch::temp_directory(o.batch_database);
  qv::Tconversion_form form(&boxes, setup);
  form.Memo1.on_add = [&](const std::string& line) { console.log(line); };
  form.on_progress = [&](const qv::TableStats& t, bool) { console.progress(t, form.stats.size()); };

  form.FormActivate(&form);
  form.CDirectoryOutline_Source.SetDirectory(directory);
  form.btn_select_directoryClick(&form);
  using Outcome = qv::RunResult::Outcome;
  if (form.result.outcome == Outcome::refused) return refuse("");
  for (std::size_t i = 0; i < ticks.size(); ++i) form.files_checklistbox.SetChecked(i, ticks[i]);

  const std::string built = build_name == dbname ? database : qv::platform::map_path(qv::Tconversion_form::destination_file(build_name)).string();
  int code = kOk;
  StopOnSignal stop_on_signal(form);
  try {
    form.btn_convertClick(&form);
    console.end_progress();
    const qv::RunResult& result = form.result;
    // Refused before the run began (no tables): the box said why.
    if (result.outcome == Outcome::refused && result.where.empty()) return refuse("");
    summary.outcome = result.outcome == Outcome::completed ? qv::cli::Outcome::Completed : qv::cli::Outcome::Refused;
    if (result.outcome == Outcome::stopped) {
      summary.outcome = qv::cli::Outcome::Failed;
      summary.error = result.ending;
      fmt::print(stderr, "{}\n", result.ending);
      const int sig = g_stops.first();
      code = 128 + (sig ? sig : SIGINT);
    } else if (result.outcome == Outcome::refused) {
      summary.error = fmt::format("The database {} is still there and could not be replaced.", built);
      fmt::print(stderr, "The run was refused: {}\n", summary.error);
      code = kRefused;
    }
  } catch (const std::exception& e) {
    console.end_progress();
    summary.outcome = qv::cli::Outcome::Failed;
    summary.error = e.what();
    fmt::print(stderr, "{}: {}\n",
               form.connection_lost ? "The connection to the database was lost" : "The run stopped on an error",
               e.what());
    // Which rows the database holds ("...: the rows written to JSEARCH_4 were not committed ...").
    if (form.connection_lost || !form.uncommitted_table.empty()) fmt::print(stderr, "{}\n", form.result.ending);
    code = kFailed;
    if (rejects.errors() && rejects.errors()->over_limit())
      fmt::print(stderr, "More than {} rows were refused (--max-errors {}): the run stopped at the next one.\n",
                 o.max_errors, o.max_errors);
  }
  // The rows each table holds, counted once the run's connection closed.
  summary.tables = form.stats;
  const bool replacing = build_name != dbname;
  if (replacing && summary.outcome == qv::cli::Outcome::Completed && !put_in_place(build_name, dbname)) {
    summary.outcome = qv::cli::Outcome::Failed;
    summary.error = "the new database could not take the place of the earlier one";
    code = kFailed;
  }
  const bool in_place = !replacing || summary.outcome == qv::cli::Outcome::Completed;
  if (const int e = rejects.close(); e != 0) {
    fmt::print(stderr, "The reject file {} could not be written: {}\n", rejects.name(), std::strerror(e));
    if (code == kOk) code = kFailed;
  }
  // A completed run's reject file is the database's: this run's, moved
  // with it, or none.
  if (summary.outcome == qv::cli::Outcome::Completed && o.reject_file.empty()) {
    const fs::path final_rejects = qv::platform::map_path(qv::conv::reject_file(dbname));
    std::error_code ec;
    if (skipping && replacing) fs::rename(rejects.name(), final_rejects, ec);
    else if (!skipping) fs::remove(final_rejects, ec);
    if (skipping && replacing) summary.reject_file = ec ? rejects.name() : final_rejects.string();
  }
  // Named only when this run made it (a run can stop before creating it).
  if (form.run_created_database) summary.database = in_place ? database : built;
  qv::cli::print_summary(stderr, summary);
  if (replacing && !in_place && summary.outcome != qv::cli::Outcome::Refused)
    fmt::print(stderr, "The earlier database {} is untouched; the one this run left is kept beside it as {}.\n", database,
               built);
  report = qv::cli::to_json(summary);
  const int log_error = console.log_error() ? console.log_error() : status_log.close();
  if (log_error != 0) {
    fmt::print(stderr, "The status log could not be written to {}: {}\n", status_log.name(), std::strerror(log_error));
    if (code == kOk) code = kFailed;
  }
  return code;
}

// This program's file, for its batch children: `ps` then shows them under
// its name rather than as /proc/self/exe. The link itself when the file is
// gone (replaced by an upgrade while the batch runs).
std::string own_executable() {
  std::error_code ec;
  const fs::path real = fs::read_symlink("/proc/self/exe", ec);
  if (ec || !fs::is_regular_file(real, ec)) return "/proc/self/exe";
  return real.string();
}

// --all: every data set under the root, each by a child running this
// program with the single run's options.
int batch(const Options& o) {
  if (!chosen_ticks(o) || !codepage_usable(o.codepage)) return kRefused;
  qv::batch::Options b;
  b.root = qv::platform::map_path(o.all);
  b.action = o.check ? qv::batch::Action::Check
             : o.verify ? qv::batch::Action::Verify
             : o.then_verify ? qv::batch::Action::ConvertThenVerify
                             : qv::batch::Action::Convert;
  b.jobs = o.jobs;
  b.executable = own_executable();
  b.log_dir = o.log_dir;
  if (!o.report.empty()) b.report = o.report == "-" ? fs::path("-") : qv::platform::map_path(o.report);
  b.child_options = {"--drive-c", qv::platform::drive_root().string()};
  if (o.tables) b.child_options.insert(b.child_options.end(), {"--tables", *o.tables});
  if (o.codepage) b.child_options.insert(b.child_options.end(), {"--codepage", std::to_string(o.codepage)});
  if (o.on_error != "stop")
    b.child_options.insert(b.child_options.end(), {"--on-error", o.on_error, "--max-errors", std::to_string(o.max_errors)});
  for (const auto& [on, flag] : {std::pair{o.check, "--check"}, {o.verify, "--verify"}, {o.then_verify, "--then-verify"},
                                 {o.replace, "--replace"}})
    if (on) b.child_options.emplace_back(flag);
  b.replace = o.replace;
  const Clock::time_point started = Clock::now();
  bool written = false;
  b.complete_report = [&](nlohmann::json& report) {
    nlohmann::json totals = {{"data_sets", report["data_sets"].size()}};
    for (const auto& set : report["data_sets"])
      for (const char* key : {"tables", "rows"}) totals[key] = totals.value(key, std::int64_t{0}) + set.value(key, std::int64_t{0});
    nlohmann::json head = {{"schema_version", qv::cli::kReportSchemaVersion}, {"tool", "quorvel-migrate-cli"},
                           {"tool_version", QV_VERSION}, {"mode", std::string("batch-") + mode_name(o)},
                           {"started", qv::cli::utc_time(started)}, {"ended", qv::cli::utc_time(Clock::now())},
                           {"totals", totals}};
    head.update(report);
    report = std::move(head);
    written = true;
  };
  const int code = qv::batch::run(b);
  // Refused before any data set started: the report says so.
  if (!written && !o.report.empty()) {
    const char* action = o.then_verify ? "run and verify" : mode_name(o);
    nlohmann::json report = {{"root", b.root.string()}, {"action", action}, {"log_dir", ""},
                             {"stopped_by", nullptr}, {"exit_code", code}, {"data_sets", nlohmann::json::array()},
                             {"error", "refused (see the standard error)"}};
    b.complete_report(report);
    if (!write_report(o.report, report) && code == kOk) return kFailed;
  }
  return code;
}

// --replace, --name and -v.
void add_destination_options(CLI::App& app, Options& o, CLI::Option* all_opt) {
  app.add_flag("--replace", o.replace,
               "Replace a database already there: the new one is built beside it and takes its place only once the "
               "run completes (a run that does not complete leaves NAME.partial.gdb beside it); without it such a "
               "database refuses the run");
  app.add_option("--name", o.name,
                 "Name of the database (at most eight characters) instead of the one the folder gives, for a data set "
                 "that is not inside a \"db\" folder")
      ->excludes(all_opt);
  app.add_flag("-v,--verbose", o.verbose, "With --check: every finding, not only those that stop the run");
  app.add_option("--on-error", o.on_error,
                 "At a row the run refuses (a value or a key the new table does not take): stop (default) ends the "
                 "run there; skip leaves the row out, lists it in the reject file and goes on")
      ->check(CLI::IsMember({"stop", "skip"}))
      ->option_text("stop|skip");
  app.add_option("--max-errors", o.max_errors,
                 "With --on-error skip: the run stops at a refused row once this many were left out (default 100; 0: "
                 "no limit)")
      ->check(CLI::NonNegativeNumber)
      ->option_text("N");
  app.add_option("--reject-file", o.reject_file,
                 "The reject file (CSV: old_file,row,field,value,reason) that --on-error skip writes and --verify "
                 "reads (default: NAME.rejects.csv beside the database)")
      ->excludes(all_opt)
      ->option_text("FILE");
}

// Descriptors 0, 1 and 2 closed at start would be taken by the first files
// opened (the engine's lock files), and the status log written into them.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      if (fd == 1) g_stdout_was_closed = true;
      const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd) {
        ::dup2(null, fd);
        ::close(null);
      }
    }
}

// The help without the parser's notes on which options need or exclude
// others: each option shows its value's name only.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    if (!opt->get_option_text().empty()) return " " + opt->get_option_text();
    if (opt->get_positional()) return {};
    return opt->get_type_size() == 0 ? std::string() : " " + get_label(opt->get_type_name());
  }
};

// Runs the mode the options ask for; `report` gets its JSON body.
int dispatch(Options& o, nlohmann::json& report) {
  if (!o.drive_c.empty()) qv::platform::set_drive_root(fs::absolute(o.drive_c));
  if (!o.dump.empty()) return dump(o);
  if (!o.all.empty()) return batch(o);
  if (o.name) {
    const auto name = checked_database_name(*o.name);
    if (!name) {
      report["error"] = "--name: not a database name";
      return kRefused;
    }
    o.name = *name;
  }
  if (!o.server.empty()) {
    o.destination = qv::cli::server_destination(o.server, o.server_dir, o.wire_crypt);
    if (!o.destination) {
      report["error"] = "--server: refused (see the standard error)";
      return kRefused;
    }
  }
  if (o.check) return check(o, report);
  qv::fb::keep_engine_running_on_signals();
  if (o.verify) return verify(o, report);
  const int code = convert(o, report);
  if (!o.then_verify) return code;
  // One document: the run's, with the verify's inside when it ran.
  report["verify"] = nullptr;
  if (code != kOk) return code;
  nlohmann::json verified;
  const int verify_code = verify(o, verified);
  report["verify"] = std::move(verified);
  return verify_code;
}


constexpr const char* kHelpFooter = R"(Exit status:
  0    success: the run completed; --check: nothing would stop the run; --verify: the database holds what
       the old tables give; --all: every data set succeeded
  1    the run stopped on an error; --check: something would stop the run; --verify: differences were
       found; --all: a data set failed; an output (status log, report) could not be written
  2    a refusal, nothing was changed: a usage error, an invalid folder, no tables, a database in the
       way, two data sets for one database; --verify: no database to compare
  129, 130, 143
       stopped by SIGHUP, SIGINT or SIGTERM at the next row: the database holds the rows written until
       then

Environment:
  QUORVEL_DRIVE_C
       Folder that stands for C:\ when --drive-c is not given (default: the home folder).
  ISC_USER, ISC_PASSWORD
       The login on the server of --server (ISC_USER defaults to SYSDBA); without ISC_PASSWORD both
       are asked on the terminal.
  FIREBIRD, FIREBIRD_LOCK
       The embedded engine's settings and lock folders; by default folders of the program's own.

Examples:
  quorvel-migrate-cli --check ~/old/db/smith001
       Reads every table of the data set and says what would stop or change a run.
  quorvel-migrate-cli --then-verify --report smith.json ~/old/db/smith001
       Migrates it into C:\MyData\wk-db\intrbase\quorvel4\db\smith001.gdb, then compares.
  quorvel-migrate-cli -q --tables carrier,city --codepage cp850 ~/old/db/smith001
       Only two tables, read as DOS Western Europe, with no status log.
  quorvel-migrate-cli --on-error skip --max-errors 0 --then-verify ~/old/db/smith001
       Leaves every refused row out, listed in ...\db\smith001.rejects.csv, then compares.
  quorvel-migrate-cli --all /srv/old --jobs 2 --log-dir logs
       Every data set under /srv/old, two at a time.
)";

// A usage error: one line, the option nearest to a mistyped one, and where
// to read more. Exit 2.
int usage_error(const CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
  std::string hint;
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    std::vector<std::string> known;
    for (const CLI::Option* opt : app.get_options([](const CLI::Option* op) { return !op->get_group().empty(); })) {
      for (const std::string& n : opt->get_lnames()) known.push_back("--" + n);
      for (const std::string& n : opt->get_snames()) known.push_back("-" + n);
    }
    for (int i = 1; i < argc && hint.empty(); ++i) {
      const std::string arg = std::string(argv[i]).substr(0, std::string_view(argv[i]).find('='));
      if (arg.size() > 1 && arg[0] == '-' && std::find(known.begin(), known.end(), arg) == known.end())
        if (const std::string near = qv::cli::nearest(arg, known); !near.empty())
          hint = fmt::format(" (did you mean {}?)", near);
    }
  }
  fmt::print(stderr, "quorvel-migrate-cli: {}{}\nTry 'quorvel-migrate-cli --help' for more information.\n", e.what(),
             hint);
  return kRefused;
}

int run(int argc, char** argv) {
  // A write beyond the file-size limit then fails with an error the run
  // reports, instead of killing the program.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader of the status log that went away (`| head`, a pager closed)
  // fails the write, which is reported, rather than killing the run.
  std::signal(SIGPIPE, SIG_IGN);
  install_stop_signals();
  Options o;
  CLI::App app{
      "Moves one QUORVEL data set (the Paradox tables of OLD_TABLE_DIR) into a new database; with --all ROOT, "
      "every data set under ROOT into a database of its own."};
  app.set_version_flag("--version", "quorvel-migrate-cli " QV_VERSION, "Print the program's name and version");
  app.add_option("--drive-c", o.drive_c, "Folder that stands for C:\\ (default: $QUORVEL_DRIVE_C, else home)")
      ->option_text("DIR");
  app.add_option("--tables", o.tables,
                 "Comma-separated tables to convert (default: all), e.g. carrier,config.db,JSEARCH_4")
      ->option_text("LIST");
  app.add_option("--report", o.report,
                 "Write the run's summary (with --all: the batch's) as JSON to this file (-: the standard output)")
      ->option_text("FILE");
  std::string codepage;
  app.add_option("--codepage", codepage,
                 "Code page of the old tables, instead of the one their headers give: a number or a name (850, "
                 "cp850, windows-1252)")
      ->option_text("CP");
  bool list_codepages = false;
  app.add_flag("--list-codepages", list_codepages, "Print the code pages --codepage takes, and exit");
  app.add_flag("-q,--quiet", o.quiet, "Write no status log to the standard output");
  auto* log_file_opt =
      app.add_option("--log-file", o.log_file, "Write the status log to this file instead of the standard output")
          ->option_text("FILE");
  auto* check_opt = app.add_flag("--check", o.check,
                                 "Only read the ticked tables and report what would stop or change the run");
  auto* verify_opt = app.add_flag("--verify", o.verify,
                                  "Only compare the database a run made from OLD_TABLE_DIR with the old tables");
  auto* then_opt = app.add_flag("--then-verify", o.then_verify,
                                "After a completed run, compare the new database with the old tables");
  auto* dump_opt = app.add_option("--dump", o.dump, "Print a Paradox table as CSV and exit")->option_text("FILE.db");
  auto* dir_opt = app.add_option("OLD_TABLE_DIR", o.directory, "Folder of the old data set (holds quorvel2.db)");
  auto* all_opt = app.add_option("--all", o.all,
                                 "Every data set under this folder (a folder holding quorvel2.db, at any depth, "
                                 "links not followed), each in a process of its own, with its own log file; with "
                                 "--check, --verify or --then-verify each is checked or verified instead or too")
                     ->option_text("ROOT");
  app.add_option("--jobs", o.jobs, "With --all: data sets at work at once (default: one per processor)")
      ->needs(all_opt)
      ->check(CLI::Range(1u, 64u))
      ->option_text("N");
  app.add_option("--log-dir", o.log_dir,
                 "With --all: folder of the data sets' logs (default: a new folder named after the run in the "
                 "current one)")
      ->needs(all_opt)
      ->option_text("DIR");
  app.add_option(qv::batch::kChildOption, o.batch_database)->group("");  // a batch's children only
  add_destination_options(app, o, all_opt);
  all_opt->excludes(dir_opt);
  all_opt->excludes(dump_opt);
  auto* server_opt = app.add_option("--server", o.server,
                                    "Make the database on this Firebird server (HOST or HOST/PORT); the login comes "
                                    "from ISC_USER and ISC_PASSWORD, else it is asked on the terminal")
                        ->option_text("HOST[/PORT]");
  server_opt->needs(app.add_option("--server-dir", o.server_dir, "Folder on the server's machine for the database, "
                                                                 "in its own path syntax (with --server)")
                        ->needs(server_opt)
                        ->option_text("DIR"));
  app.add_option("--wire-crypt", o.wire_crypt, "Wire encryption with the server: required (default), enabled or disabled")
      ->check(CLI::IsMember({"required", "enabled", "disabled"}, CLI::ignore_case))
      ->needs(server_opt)
      ->option_text("MODE");
  all_opt->excludes(server_opt);  // a batch writes local files only
  all_opt->excludes(log_file_opt);  // each data set has its log file
  dump_opt->excludes(dir_opt);
  dump_opt->excludes(check_opt);
  dump_opt->excludes(verify_opt);
  dump_opt->excludes(then_opt);
  verify_opt->excludes(check_opt);
  then_opt->excludes(check_opt);
  then_opt->excludes(verify_opt);

  app.formatter(std::make_shared<HelpFormatter>());
  // The manual page has these sections in its own form (packaging/*.h2m).
  if (!std::getenv("QUORVEL_HELP_FOR_MANUAL")) app.footer(kHelpFooter);
  try {
    app.parse(argc, argv);
    if (list_codepages) {
      std::fputs(qv::cli::code_page_list().c_str(), stdout);
      return stdout_written("The list of code pages") ? kOk : kFailed;
    }
    if (!codepage.empty()) {
      const auto number = qv::cli::code_page_number(codepage);
      if (!number) throw CLI::ValidationError("--codepage", "\"" + codepage + "\" is not a code page (see --list-codepages)");
      o.codepage = *number;
    }
    if (o.dump.empty() && o.directory.empty() && o.all.empty()) throw CLI::RequiredError("OLD_TABLE_DIR");
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    return usage_error(app, e, argc, argv);
  }

  const Clock::time_point started = Clock::now();
  nlohmann::json report;
  int code = kFailed;
  try {
    code = dispatch(o, report);
  } catch (const std::exception& e) {
    fmt::print(stderr, "{}\n", e.what());
    report["error"] = e.what();
    code = o.verify ? kRefused : kFailed;
  }
  // A batch writes its own report; a dump has none.
  if (o.report.empty() || !o.all.empty() || !o.dump.empty()) return code;
  // A verify without its report could not verify.
  if (!write_envelope(o, std::move(report), started, code) && (code == kOk || (o.verify && code == kFailed)))
    code = o.verify ? kRefused : kFailed;
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  open_standard_descriptors();
  // Every connection and object of the engine is gone once run() returns.
  return qv::fb::end_engine(run(argc, argv));
}
