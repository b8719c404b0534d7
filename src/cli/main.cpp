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
#include "cli/console.h"
#include "cli/login.h"
#include "cli/names.h"
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
  // "-": the standard output.
  const std::string error =
      file == "-" ? qv::platform::write_stdout(text) : qv::platform::write_output(qv::platform::map_path(file), text);
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

int convert(const Options& o) {
  const std::string directory = old_table_directory(o);
  const auto chosen = chosen_ticks(o);
  if (!chosen || !codepage_usable(o.codepage)) return kRefused;
  const std::vector<bool>& ticks = *chosen;

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
  qv::FormSetup setup;
  if (!o.batch_database.empty()) {
    setup.database_name = o.batch_database;
    setup.temp_directory = qv::batch::temp_directory(o.batch_database);
  }
  qv::Tconversion_form form(&boxes, setup);
  form.Memo1.on_add = [&](const std::string& line) { console.log(line); };
  form.on_progress = [&](const qv::TableStats& t, bool) { console.progress(t, form.stats.size()); };

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
    console.end_progress();
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
    console.end_progress();
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

}  // namespace

int main(int argc, char** argv) {
  open_standard_descriptors();
  // Every connection and object of the engine is gone once run() returns.
  return qv::fb::end_engine(run(argc, argv));
}
