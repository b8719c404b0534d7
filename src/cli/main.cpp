// quorvel-migrate-cli: the conversion form driven from the command line.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "batch/batch.h"
#include "check/check.h"
#include "firebird/ib.h"
#include "cli/login.h"
#include "cli/summary.h"
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
// program at once.
std::atomic<qv::Tconversion_form*> g_running_form{nullptr};
volatile std::sig_atomic_t g_stop_signal = 0;
static_assert(std::atomic<qv::Tconversion_form*>::is_always_lock_free);

extern "C" void on_stop_signal(int sig) {
  qv::Tconversion_form* form = g_running_form.load();
  if (g_stop_signal != 0 || !form) {
    qv::cli::restore_terminal();  // a password prompt may have turned echo off
    ::_exit(128 + sig);
  }
  g_stop_signal = sig;
  form->request_stop();
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
};

// The status log on stdout, and on a terminal a progress line per table on
// stderr that log lines do not run into.
class Console {
 public:
  Console() : tty_(isatty(fileno(stderr)) != 0) {}

  void log(const std::string& line) {
    erase_progress();
    if (error_ == 0 &&
        (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0))
      error_ = errno ? errno : EIO;
  }

  // 0, or why a line of the status log could not be written.
  int log_error() const { return error_; }

  void progress(const qv::TableStats& t, bool finished) {
    if (!tty_) return;
    fmt::print(stderr, "\r{}\x1b[K{}", qv::cli::progress_line(t), finished ? "\n" : "");
    std::fflush(stderr);
    open_ = !finished;
  }

 private:
  void erase_progress() {
    if (!open_) return;
    fmt::print(stderr, "\r\x1b[K");
    std::fflush(stderr);
    open_ = false;
  }

  bool tty_;
  bool open_ = false;
  int error_ = g_stdout_was_closed ? EBADF : 0;
};

// Ticks for --tables: the check-list items named in the comma-separated list
// (letter case aside). Empty entries are ignored; an unknown name is refused.
std::optional<std::vector<bool>> ticks_for(const std::string& list) {
  std::vector<bool> ticks(qv::Tconversion_form::kTables, false);
  std::size_t from = 0;
  while (from <= list.size()) {
    std::size_t to = std::min(list.find(',', from), list.size());
    std::string_view name = qv::platform::trim(std::string_view(list).substr(from, to - from));
    from = to + 1;
    if (name.empty()) continue;
    bool known = false;
    for (std::size_t i = 0; i < ticks.size(); ++i)
      if (qv::platform::iequals(name, qv::registry::items()[i].item)) known = ticks[i] = true;
    if (!known) {
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
  const std::string error = qv::platform::write_output(qv::platform::map_path(file), report.dump(2) + '\n');
  if (!error.empty()) fmt::print(stderr, "Cannot write the report {}: {}\n", file, error);
  return error.empty();
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
  return !boxes.shown;
}

int check(const Options& o) {
  const std::string directory = old_table_directory(o);
  const auto ticks = chosen_ticks(o);
  if (!ticks || !codepage_usable(o.codepage)) return kRefused;
  if (!folder_accepted(directory)) return kRefused;

  qv::check::Options options;
  options.directory = directory;
  options.ticks = *ticks;
  options.codepage = o.codepage;
  options.database_name = o.batch_database;
  options.on_server = !o.server.empty();
  // Findings go out with std::fputs: a failed write is seen once, at the end.
  options.on_finding = [](const qv::check::Finding& f) {
    std::fputs((qv::check::format_finding(f) + '\n').c_str(), stdout);
  };
  const qv::check::Report report = qv::check::run(options);
  for (const std::string& line : report.summary_lines()) std::fputs((line + '\n').c_str(), stdout);
  if (!stdout_written("The check's findings")) return kFailed;
  return report.stops() ? kFailed : kOk;
}

// Compares the database a run made from the folder with the old tables as
// the rules turn them into rows; writes nothing.
int verify(const Options& o) {
  const std::string directory = old_table_directory(o);
  const auto ticks = chosen_ticks(o);
  if (!ticks) return kRefused;
  if (!folder_accepted(directory)) return kRefused;
  qv::verify::Options options;
  options.directory = directory;
  options.ticks = *ticks;
  options.codepage = o.codepage;
  options.database_name = o.batch_database;
  options.server = o.destination;
  qv::verify::Report report;
  try {
    report = qv::verify::run(options);
  } catch (const qv::verify::Refused& e) {
    fmt::print(stderr, "{}\n", e.what());
    return kRefused;
  }
  for (const std::string& line : report.lines()) std::fputs((line + '\n').c_str(), stdout);
  if (!stdout_written("The verify report")) return kFailed;
  if (!o.report.empty() && !write_report(o.report, report.to_json())) return kFailed;
  return report.clean() ? kOk : kFailed;
}

int convert(const Options& o) {
  const std::string directory = old_table_directory(o);
  const auto chosen = chosen_ticks(o);
  if (!chosen || !codepage_usable(o.codepage)) return kRefused;
  const std::vector<bool>& ticks = *chosen;

  qv::DataModuleScope module;
  if (o.codepage) qv::DataModule2->PDTable1.CodePageOverride = o.codepage;
  qv::DataModule2->Server = o.destination;

  qv::PrintedBoxes boxes(stderr);
  Console console;
  qv::FormSetup setup;
  if (!o.batch_database.empty()) {
    setup.database_name = o.batch_database;
    setup.temp_directory = qv::batch::temp_directory(o.batch_database);
  }
  qv::Tconversion_form form(&boxes, setup);
  form.Memo1.on_add = [&](const std::string& line) { console.log(line); };
  form.on_progress = [&](const qv::TableStats& t, bool finished) { console.progress(t, finished); };

  form.FormActivate(&form);
  form.CDirectoryOutline_Source.SetDirectory(directory);
  form.btn_select_directoryClick(&form);
  if (boxes.shown) return kRefused;
  for (std::size_t i = 0; i < ticks.size(); ++i) form.files_checklistbox.SetChecked(i, ticks[i]);

  qv::cli::RunSummary summary;
  summary.old_table_directory = directory;
  const std::string dbname = form.run_database_name(directory);
  qv::fb::IBDatabase named;  // only names the database
  qv::Tconversion_form::aim_at_database(named, dbname, o.destination ? &*o.destination : nullptr);
  const std::string database = named.real_path();
  int code = kOk;
  StopOnSignal stop_on_signal(form);
  try {
    form.btn_convertClick(&form);
    if (boxes.shown) return kRefused;  // no database name, or no tables
    summary.outcome = form.last_run_completed ? qv::cli::Outcome::Completed : qv::cli::Outcome::Refused;
    if (form.last_run_stopped) {
      summary.outcome = qv::cli::Outcome::Failed;
      summary.error = form.Memo1.Lines.back();
      fmt::print(stderr, "{}\n", form.Memo1.Lines.back());
      code = 128 + (g_stop_signal ? g_stop_signal : SIGINT);
    } else if (!form.last_run_completed) {
      fmt::print(stderr, "The run was refused: the database {} is still there and could not be replaced.\n", database);
      code = kRefused;
    }
  } catch (const std::exception& e) {
    summary.outcome = qv::cli::Outcome::Failed;
    summary.error = e.what();
    fmt::print(stderr, "{}: {}\n",
               form.connection_lost ? "The connection to the database was lost" : "The run stopped on an error",
               e.what());
    // Which rows the database holds ("...: the rows written to JSEARCH_4 were not committed ...").
    if (form.connection_lost || !form.uncommitted_table.empty()) fmt::print(stderr, "{}\n", form.Memo1.Lines.back());
    code = kFailed;
  }
  // The rows each table holds, counted once the run's connection closed.
  summary.tables = form.stats;
  // Named only when this run made it (a run can stop before creating it).
  if (form.run_created_database) summary.database = database;
  qv::cli::print_summary(stderr, summary);
  if (!o.report.empty() && !write_report(o.report, qv::cli::to_json(summary)) && code == kOk) code = kFailed;
  if (console.log_error() != 0) {
    fmt::print(stderr, "The status log could not be written to the standard output: {}\n",
               std::strerror(console.log_error()));
    if (code == kOk) code = kFailed;
  }
  return code;
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
  b.log_dir = o.log_dir;
  if (!o.report.empty()) b.report = qv::platform::map_path(o.report);
  b.child_options = {"--drive-c", qv::platform::drive_root().string()};
  if (o.tables) b.child_options.insert(b.child_options.end(), {"--tables", *o.tables});
  if (o.codepage) b.child_options.insert(b.child_options.end(), {"--codepage", std::to_string(o.codepage)});
  for (const auto& [on, flag] : {std::pair{o.check, "--check"}, {o.verify, "--verify"}, {o.then_verify, "--then-verify"}})
    if (on) b.child_options.emplace_back(flag);
  return qv::batch::run(b);
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

}  // namespace

int main(int argc, char** argv) {
  open_standard_descriptors();
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
  app.set_version_flag("--version", QV_VERSION);
  app.add_option("--drive-c", o.drive_c, "Folder that stands for C:\\ (default: $QUORVEL_DRIVE_C, else home)");
  app.add_option("--tables", o.tables, "Comma-separated tables to convert (default: all), e.g. carrier.db,config.db");
  app.add_option("--report", o.report, "Write the run's summary (with --all: the batch's) as JSON to this file");
  app.add_option("--codepage", o.codepage, "Code page of the old tables, instead of the one their headers give");
  auto* check_opt = app.add_flag("--check", o.check,
                                 "Only read the ticked tables and report what would stop or change the run");
  auto* verify_opt = app.add_flag("--verify", o.verify,
                                  "Only compare the database a run made from OLD_TABLE_DIR with the old tables");
  auto* then_opt = app.add_flag("--then-verify", o.then_verify,
                                "After a completed run, compare the new database with the old tables");
  auto* dump_opt = app.add_option("--dump", o.dump, "Print a Paradox table as CSV and exit");
  auto* dir_opt = app.add_option("OLD_TABLE_DIR", o.directory, "Folder of the old data set (holds quorvel2.db)");
  auto* all_opt = app.add_option("--all", o.all,
                                 "Every data set under this folder (a folder holding quorvel2.db, at any depth, "
                                 "links not followed), each in a process of its own, with its own log file; with "
                                 "--check, --verify or --then-verify each is checked or verified instead or too");
  app.add_option("--jobs", o.jobs, "With --all: data sets at work at once (default: one per processor)")
      ->needs(all_opt)
      ->check(CLI::Range(1u, 64u));
  app.add_option("--log-dir", o.log_dir,
                 "With --all: folder of the data sets' logs (default: a new folder named after the run in the "
                 "current one)")
      ->needs(all_opt);
  app.add_option(qv::batch::kChildOption, o.batch_database)->group("");  // a batch's children only
  all_opt->excludes(dir_opt);
  all_opt->excludes(dump_opt);
  auto* server_opt = app.add_option("--server", o.server,
                                    "Make the database on this Firebird server (HOST or HOST/PORT); the login comes "
                                    "from ISC_USER and ISC_PASSWORD, else it is asked on the terminal");
  server_opt->needs(app.add_option("--server-dir", o.server_dir, "Folder on the server's machine for the database, "
                                                                 "in its own path syntax (with --server)")
                        ->needs(server_opt));
  app.add_option("--wire-crypt", o.wire_crypt, "Wire encryption with the server: required (default), enabled or disabled")
      ->check(CLI::IsMember({"required", "enabled", "disabled"}, CLI::ignore_case))
      ->needs(server_opt);
  all_opt->excludes(server_opt);  // a batch writes local files only
  dump_opt->excludes(dir_opt);
  dump_opt->excludes(check_opt);
  dump_opt->excludes(verify_opt);
  dump_opt->excludes(then_opt);
  verify_opt->excludes(check_opt);
  then_opt->excludes(check_opt);
  then_opt->excludes(verify_opt);

  try {
    app.parse(argc, argv);
    if (o.dump.empty() && o.directory.empty() && o.all.empty()) throw CLI::RequiredError("OLD_TABLE_DIR");
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    // An unknown option or stray argument: show the valid ones.
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) fmt::print(stderr, "{}", app.help());
    return code == 0 ? kOk : kRefused;
  }

  try {
    if (!o.drive_c.empty()) qv::platform::set_drive_root(fs::absolute(o.drive_c));
    if (!o.dump.empty()) return dump(o);
    if (!o.all.empty()) return batch(o);
    if (o.check) return check(o);
    if (!o.server.empty()) {
      o.destination = qv::cli::server_destination(o.server, o.server_dir, o.wire_crypt);
      if (!o.destination) return kRefused;
    }
    qv::fb::keep_engine_running_on_signals();
    if (o.verify) return verify(o);
    const int code = convert(o);
    if (code != kOk || !o.then_verify) return code;
    // The run's JSON report is already written; the verify's goes next to it.
    Options v = o;
    if (!v.report.empty()) v.report += ".verify.json";
    return verify(v);
  } catch (const std::exception& e) {
    fmt::print(stderr, "{}\n", e.what());
    return kFailed;
  }
}
