// quorvel-migrate-cli: the conversion form driven from the command line.
#include <unistd.h>

#include <csignal>

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

#include "check/check.h"
#include "cli/summary.h"
#include "form/conversion_form.h"
#include "form/printed_boxes.h"
#include "paradox/table.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "datamodule/datamodule.h"
#include "verify/verify.h"

namespace fs = std::filesystem;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kRefused = 2;

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
};

// The status log on stdout, and on a terminal a progress line per table on
// stderr that log lines do not run into.
class Console {
 public:
  Console() : tty_(isatty(fileno(stderr)) != 0) {}

  void log(const std::string& line) {
    erase_progress();
    fmt::print(stdout, "{}\n", line);
    std::fflush(stdout);
  }

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
      if (qv::platform::iequals(name, qv::Tconversion_form::kItems[i])) known = ticks[i] = true;
    if (!known) {
      std::string valid;
      for (const char* item : qv::Tconversion_form::kItems) valid += (valid.empty() ? "" : ", ") + std::string(item);
      fmt::print(stderr, "Unknown table \"{}\". Valid names: {}\n", name, valid);
      return std::nullopt;
    }
  }
  return ticks;
}

int dump(const Options& o) {
  try {
    qv::pdx::dump_csv(qv::platform::map_path(o.dump), std::cout, o.codepage);
    std::cout.flush();
    return kOk;
  } catch (const std::exception& e) {
    std::cout.flush();
    fmt::print(stderr, "{}\n", e.what());
    return kFailed;
  }
}

bool write_report(const std::string& file, const qv::cli::RunSummary& s) {
  std::ofstream out(qv::platform::map_path(file));
  out << qv::cli::to_json(s).dump(2) << '\n';
  out.close();
  if (!out) fmt::print(stderr, "Cannot write the report {}\n", file);
  return static_cast<bool>(out);
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
int check(const Options& o) {
  const std::string directory = old_table_directory(o);
  const auto ticks = chosen_ticks(o);
  if (!ticks) return kRefused;
  qv::PrintedBoxes boxes(stderr);
  qv::Tconversion_form form(&boxes);
  form.CDirectoryOutline_Source.SetDirectory(directory);
  form.btn_select_directoryClick(&form);
  if (boxes.shown) return kRefused;

  qv::check::Options options;
  options.directory = directory;
  options.ticks = *ticks;
  options.codepage = o.codepage;
  options.on_finding = [](const qv::check::Finding& f) { fmt::print(stdout, "{}\n", qv::check::format_finding(f)); };
  const qv::check::Report report = qv::check::run(options);
  for (const std::string& line : report.summary_lines()) fmt::print(stdout, "{}\n", line);
  std::fflush(stdout);
  return report.stops() ? kFailed : kOk;
}

// Compares the database a run made from the folder with the old tables as
// the rules turn them into rows; writes nothing.
int verify(const Options& o) {
  const std::string directory = old_table_directory(o);
  const auto ticks = chosen_ticks(o);
  if (!ticks) return kRefused;
  qv::PrintedBoxes boxes(stderr);
  qv::Tconversion_form form(&boxes);
  form.CDirectoryOutline_Source.SetDirectory(directory);
  form.btn_select_directoryClick(&form);
  if (boxes.shown) return kRefused;
  qv::verify::Options options;
  options.directory = directory;
  options.ticks = *ticks;
  options.codepage = o.codepage;
  qv::verify::Report report;
  try {
    report = qv::verify::run(options);
  } catch (const qv::verify::Refused& e) {
    fmt::print(stderr, "{}\n", e.what());
    return kRefused;
  }
  for (const std::string& line : report.lines()) fmt::print(stdout, "{}\n", line);
  std::fflush(stdout);
  int code = report.clean() ? kOk : kFailed;
  if (!o.report.empty()) {
    std::ofstream out(qv::platform::map_path(o.report));
    out << report.to_json().dump(2) << '\n';
    out.close();
    if (!out) {
      fmt::print(stderr, "Cannot write the report {}\n", o.report);
      code = kFailed;
    }
  }
  return code;
}

int convert(const Options& o) {
  const std::string directory = old_table_directory(o);
  const auto chosen = chosen_ticks(o);
  if (!chosen) return kRefused;
  const std::vector<bool>& ticks = *chosen;

  qv::DataModuleScope module;
  if (o.codepage) qv::DataModule2->PDTable1.CodePageOverride = o.codepage;

  qv::PrintedBoxes boxes(stderr);
  Console console;
  qv::Tconversion_form form(&boxes);
  form.Memo1.on_add = [&](const std::string& line) { console.log(line); };
  form.on_progress = [&](const qv::TableStats& t, bool finished) { console.progress(t, finished); };

  form.FormActivate(&form);
  form.CDirectoryOutline_Source.SetDirectory(directory);
  form.btn_select_directoryClick(&form);
  if (boxes.shown) return kRefused;
  for (std::size_t i = 0; i < ticks.size(); ++i) form.files_checklistbox.SetChecked(i, ticks[i]);

  qv::cli::RunSummary summary;
  summary.old_table_directory = directory;
  const std::string dbname = qv::Tconversion_form::database_name(directory);
  int code = kOk;
  try {
    form.btn_convertClick(&form);
    if (boxes.shown) return kRefused;  // no database name, or no tables
    summary.outcome = form.last_run_completed ? qv::cli::Outcome::Completed : qv::cli::Outcome::Refused;
    if (!form.last_run_completed) {
      fmt::print(stderr, "The run was refused: the database {} is still there and could not be replaced.\n",
                 qv::platform::map_path(qv::Tconversion_form::destination_file(dbname)).string());
      code = kRefused;
    }
  } catch (const std::exception& e) {
    summary.outcome = qv::cli::Outcome::Failed;
    summary.error = e.what();
    fmt::print(stderr, "The run stopped on an error: {}\n", e.what());
    code = kFailed;
  }
  summary.tables = form.stats;
  if (summary.outcome != qv::cli::Outcome::Refused)
    summary.database = qv::platform::map_path(qv::Tconversion_form::destination_file(dbname)).string();
  qv::cli::print_summary(stderr, summary);
  if (!o.report.empty() && !write_report(o.report, summary) && code == kOk) code = kFailed;
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // A write beyond the file-size limit then fails with an error the run
  // reports, instead of killing the program.
  std::signal(SIGXFSZ, SIG_IGN);
  Options o;
  CLI::App app{"Moves one QUORVEL data set (the Paradox tables of OLD_TABLE_DIR) into a new database."};
  app.set_version_flag("--version", QV_VERSION);
  app.add_option("--drive-c", o.drive_c, "Folder that stands for C:\\ (default: $QUORVEL_DRIVE_C, else home)");
  app.add_option("--tables", o.tables, "Comma-separated tables to convert (default: all), e.g. carrier.db,config.db");
  app.add_option("--report", o.report, "Write the run's summary as JSON to this file");
  app.add_option("--codepage", o.codepage, "Code page of the old tables, instead of the one their headers give");
  auto* check_opt = app.add_flag("--check", o.check,
                                 "Only read the ticked tables and report what would stop or change the run");
  auto* verify_opt = app.add_flag("--verify", o.verify,
                                  "Only compare the database a run made from OLD_TABLE_DIR with the old tables");
  auto* then_opt = app.add_flag("--then-verify", o.then_verify,
                                "After a completed run, compare the new database with the old tables");
  auto* dump_opt = app.add_option("--dump", o.dump, "Print a Paradox table as CSV and exit");
  auto* dir_opt = app.add_option("OLD_TABLE_DIR", o.directory, "Folder of the old data set (holds quorvel2.db)");
  dump_opt->excludes(dir_opt);
  dump_opt->excludes(check_opt);
  dump_opt->excludes(verify_opt);
  dump_opt->excludes(then_opt);
  verify_opt->excludes(check_opt);
  then_opt->excludes(check_opt);
  then_opt->excludes(verify_opt);

  try {
    app.parse(argc, argv);
    if (o.dump.empty() && o.directory.empty()) throw CLI::RequiredError("OLD_TABLE_DIR");
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    // An unknown option or stray argument: show the valid ones.
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) fmt::print(stderr, "{}", app.help());
    return code == 0 ? kOk : kRefused;
  }

  try {
    if (!o.drive_c.empty()) qv::platform::set_drive_root(fs::absolute(o.drive_c));
    if (!o.dump.empty()) return dump(o);
    if (o.check) return check(o);
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
