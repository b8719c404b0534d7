#include "run/context.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "datamodule/datamodule.h"
#include "firebird/ib.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "run/run_error.h"

namespace qv {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(250);

}  // namespace

namespace conv {

bool connection_lost(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const RunError& e) {
    return e.connection_lost();
  } catch (const fb::Error& e) {
    return e.is_connection_lost();
  } catch (...) {
    return false;
  }
}

}  // namespace conv

RunContext::RunContext(std::int64_t records_per_temp_file, std::string temp_directory)
    : records_per_temp_file_(records_per_temp_file),
      temp_directory_(temp_directory.empty() ? std::string(kTempDirectory) : std::move(temp_directory)) {
  if (records_per_temp_file_ < 1)
    throw std::invalid_argument("a temporary file takes at least one record, not " +
                                std::to_string(records_per_temp_file_));
}

TDataModule2& RunContext::components() const {
  if (!DataModule2) throw std::logic_error("a run needs the data module");
  return *DataModule2;
}

std::string RunContext::database_name(const std::string& directory) {
  std::string path = platform::ascii_lower(directory);
  std::replace(path.begin(), path.end(), '/', '\\');
  const std::string key = "\\db\\";
  const std::size_t at = path.find(key);
  if (at == std::string::npos) return {};
  std::string_view rest = std::string_view(path).substr(at + key.size());
  rest = rest.substr(0, rest.find('\\'));
  return std::string(platform::utf8_prefix(rest, kNameLength));
}

std::string RunContext::chosen_database_name(const std::string& directory, const std::string& given) {
  return given.empty() ? database_name(directory) : given;
}

std::string RunContext::destination_file(const std::string& dbname) {
  return std::string(kDestinationDirectory) + dbname + ".gdb";
}

void RunContext::aim_at_database(fb::IBDatabase& db, const std::string& dbname, const ServerDestination* server) {
  db.RemoteServer.reset();
  db.DatabaseName = destination_file(dbname);
  if (!server) return;
  db.RemoteServer = server->server;
  db.DatabaseName = server->database(dbname + ".gdb");
}

std::string RunContext::odd_file_kind(const std::string& file) {
  struct stat st {};
  if (::lstat(platform::map_path(file).c_str(), &st) != 0) return {};
  switch (st.st_mode & S_IFMT) {
    case S_IFREG: return {};
    case S_IFLNK: return "a symbolic link";
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return "a file of an unknown kind";
  }
}

TableStats& RunContext::begin_table(const std::string& table, std::int64_t old_rows) {
  TableStats& s = stats.emplace_back();
  s.table = table;
  s.old_rows = old_rows;
  table_start_ = last_progress_ = std::chrono::steady_clock::now();
  // Shown at once, so a table quicker than the progress interval still shows.
  if (on_progress) on_progress(s, false);
  return s;
}

void RunContext::stop_point(const std::string& table) const {
  if (stop_requested()) throw RunStopped(table);
}

void RunContext::table_progress(bool finished) {
  if (stats.empty()) return;
  if (!finished) stop_point(stats.back().table);
  const auto now = std::chrono::steady_clock::now();
  TableStats& s = stats.back();
  s.seconds = std::chrono::duration<double>(now - table_start_).count();
  if (!finished && now - last_progress_ < kProgressInterval) return;
  last_progress_ = now;
  if (on_progress) on_progress(s, finished);
}

void RunContext::table_step(const char* step, std::int64_t step_done) {
  if (stats.empty()) return;
  stats.back().step = step;
  stats.back().step_done = step_done;
  last_progress_ = std::chrono::steady_clock::now();
  if (on_progress) on_progress(stats.back(), false);
}

RunContext::RunScope RunContext::begin_run() {
  result = {};
  last_run_completed = false;
  last_run_stopped = false;
  run_created_database = false;
  uncommitted_table.clear();
  connection_lost = false;
  stats.clear();
  committed_tables_ = 0;
  run_ended_ = false;
  move_to("database creation");
  return RunScope(*this);
}

void RunContext::refuse(std::string why) {
  result = {RunResult::Outcome::refused, run_ended_ ? std::string() : run_position_, std::move(why), {}};
}

void RunContext::complete() {
  result = {RunResult::Outcome::completed, {}, {}, {}};
  last_run_completed = true;
}

void RunContext::stopped(const std::string& table, std::string ending) {
  result = {RunResult::Outcome::stopped, table, {}, std::move(ending)};
  last_run_stopped = true;
}

void RunContext::failed(std::string why, std::string ending) {
  result = {RunResult::Outcome::failed, run_position_, std::move(why), std::move(ending)};
}

void RunContext::move_to(std::string position) {
  run_position_ = std::move(position);
  fb::note_activity(run_position_);
}

void RunContext::commit_rows() {
  TDataModule2& dm = components();
  fb::IBTransaction* t = dm.IBTable1.Transaction ? dm.IBTable1.Transaction : dm.IBDatabase2.DefaultTransaction;
  try {
    if (t && t->InTransaction()) t->Commit();
  } catch (...) {
    if (conv::connection_lost(std::current_exception())) connection_lost = true;
    if (stats.size() > committed_tables_) uncommitted_table = stats.back().table;
    try {
      if (t->InTransaction()) t->Rollback();
    } catch (const std::exception&) {
      // The commit's failure is the one reported.
    }
    throw;
  }
  committed_tables_ = stats.size();
  dm.IBDatabase2.FinishWork();
}

void RunContext::end_run() noexcept {
  if (run_ended_) return;
  run_ended_ = true;
  const auto attempt = [](auto&& step) {
    try {
      step();
    } catch (const std::exception&) {
      // The run's own error, or the commit's, is the one reported.
    }
  };
  if (DataModule2) {
    TDataModule2& dm = *DataModule2;
    attempt([&] {
      if (dm.IBDatabase2.Connected()) commit_rows();
    });
    attempt([&] { dm.IBDatabase2.Close(); });
    attempt([&] { dm.PDTable1.Close(); });
    attempt([&] { dm.PDTable2.Close(); });
  }
  count_committed_rows();
}

void RunContext::count_committed_rows() noexcept {
  for (std::size_t i = committed_tables_; i < stats.size(); ++i) stats[i].new_rows = 0;
  if (stats.empty() || !DataModule2) return;
  // Counted on an attachment of their own, as any other program sees them.
  // A database out of reach (a lost server) leaves the counts known: those
  // of the tables committed, taken before their commit.
  try {
    const fb::IBDatabase& run = DataModule2->IBDatabase2;
    fb::IBDatabase db;
    db.Params = admin_login();
    db.DatabaseName = run.DatabaseName;
    db.RemoteServer = run.RemoteServer;
    db.Open();
    for (TableStats& s : stats) {
      const auto rows = db.Query("SELECT COUNT(*) FROM " + s.table);
      s.new_rows = std::stoll(rows.at(0).at(0).value_or("0"));
    }
    db.Close();
  } catch (const std::exception&) {
  }
}

std::string RunContext::what_the_database_holds() const {
  if (uncommitted_table.empty())
    return connection_lost ? "the connection to the database was lost; the database holds the rows written until then."
                           : "the database holds the rows written until then.";
  if (connection_lost)
    return "the connection to the database was lost, and the rows written to " + uncommitted_table +
           " were not committed (the database holds the tables before it).";
  return "the rows written to " + uncommitted_table +
         " could not be committed (the database holds the tables before it).";
}

}  // namespace qv
