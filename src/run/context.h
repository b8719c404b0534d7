// What a conversion run works through: the status log, the progress of its
// tables, the stop request, the connection it writes through (the data
// module's components) and how it ended. The conversion form is one; the
// builder, the converters, the job-search run, check and verify know only
// this. Core code: no toolkit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace qv {

namespace fb {
class IBDatabase;
}
struct ServerDestination;
class TDataModule2;
namespace conv {
class RowErrors;
}

// Figures of one converted table, for the headless command's summary.
struct TableStats {
  std::string table;        // destination table, e.g. "CARRIER_4"
  std::int64_t old_rows = 0;
  std::int64_t done = 0;    // old rows handled so far
  std::int64_t step_done = -1;  // records of the current step when a table has several; -1: as done
  std::int64_t new_rows = 0;
  std::int64_t skipped = 0;
  std::int64_t shortened = 0;
  std::int64_t merged = 0;
  std::int64_t refused = 0;  // rows refused and left out (a run that goes past them)
  double seconds = 0;
  std::string step = "copying rows";  // what the run is doing to the table
};

// Thrown at the next row once a stop was requested: the run ends there and
// what was written stays.
class RunStopped : public std::exception {
 public:
  explicit RunStopped(std::string table) : table_(std::move(table)), what_("run stopped at " + table_) {}
  const std::string& table() const noexcept { return table_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string table_;  // destination table being written, e.g. "JSEARCH_4"
  std::string what_;
};

// How the last run ended, for the programs over it.
struct RunResult {
  enum class Outcome {
    none,       // no run yet
    completed,  // "Conversion run complete"
    refused,    // nothing was written: the folder, the ticks or an earlier database
    stopped,    // a stop request ended it
    failed      // an error ended it
  };
  Outcome outcome = Outcome::none;
  // Where it ended: the table at work, or "database creation"; empty for a
  // refusal before the run began (its message box said why).
  std::string where;
  // Why: the refusal's reason, or the error, naming file, row and column
  // where known.
  std::string why;
  // After a stop or an error: the log's line saying where the run ended and
  // what the database holds.
  std::string ending;
};

class RunContext {
 public:
  static constexpr const char* kDestinationDirectory = "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\";
  static constexpr const char* kTempDirectory = "C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp";
  static constexpr std::size_t kNameLength = 8;  // characters of a database name

  // `temp_directory` empty: the one temporary folder.
  RunContext(std::int64_t records_per_temp_file, std::string temp_directory);
  virtual ~RunContext() = default;
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  // ---- The status log and the record counter beside it ----
  virtual void add_log_line(const std::string& line) = 0;
  virtual void clear_log() = 0;
  // The job-search run's records moved so far.
  virtual void show_record_count(std::int64_t records) = 0;

  // ---- Where a run reads and writes ----

  // The database name for a chosen folder: the characters after the first
  // "\db\" of the lower-case path (separators "\"), up to eight, ending at
  // the next separator. Empty when there is no "\db\" or no name after it.
  static std::string database_name(const std::string& directory);
  // `given` when it is not empty, else the name the folder gives.
  static std::string chosen_database_name(const std::string& directory, const std::string& given);
  // The destination file for a database name (a program path).
  static std::string destination_file(const std::string& dbname);
  // Points `db` at the database a run makes for `dbname`: the destination
  // file, or with `server` the database in the server's folder.
  static void aim_at_database(fb::IBDatabase& db, const std::string& dbname, const ServerDestination* server);
  // What is at `file` when it is not a regular file ("a symbolic link", "a
  // folder", ...); empty for a regular file or nothing.
  static std::string odd_file_kind(const std::string& file);

  // The folder the old tables are read from: set by Convert from the tree.
  std::string old_table_directory;
  std::int64_t records_per_temp_file() const { return records_per_temp_file_; }
  // The folder of the job-search temporary files (a program path).
  const std::string& temp_directory() const { return temp_directory_; }
  // The components the run reads and writes through.
  TDataModule2& components() const;
  // What a refused row does: null, the run stops there (the default); set,
  // the converters leave it out through it (the headless command's
  // --on-error skip).
  conv::RowErrors* row_errors() const { return row_errors_; }
  void set_row_errors(conv::RowErrors* errors) { row_errors_ = errors; }

  // ---- Progress ----

  // Figures per converted table, in run order, with a listener called as
  // rows are handled (at most a few times a second) and when a table ends.
  std::vector<TableStats> stats;
  std::function<void(const TableStats&, bool finished)> on_progress;
  TableStats& begin_table(const std::string& table, std::int64_t old_rows);
  void table_progress(bool finished = false);
  // Reports a step of the current table through on_progress at once, with
  // the records of the step handled so far (-1: the table's count).
  void table_step(const char* step, std::int64_t step_done = -1);
  // The step while the engine builds a table's indexes (no row count moves).
  static constexpr const char* kBuildingIndexes = "building indexes";
  // Where the current (or last) run is: the destination table of the
  // converter at work, or "database creation" before the first.
  const std::string& run_position() const { return run_position_; }

  // ---- The stop request ----

  // Asks a run to end at its next row. Safe from a signal handler and from
  // any thread. The request stays for the life of the context, so one made
  // before or between runs stops the next run at its first row.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
  // Withdraws a stop request once the run it stopped has ended, so that the
  // next run goes ahead (a person's stop; a stop that ends the program is
  // never withdrawn).
  void withdraw_stop() noexcept { stop_.store(false, std::memory_order_relaxed); }
  // Throws RunStopped naming `table` when a stop was requested.
  void stop_point(const std::string& table) const;

  // ---- How the last run ended ----

  RunResult result;
  // Ends the run as refused: nothing was written.
  void refuse(std::string why);

  // True when the last Convert ran to "Conversion run complete".
  bool last_run_completed = false;
  // True when the last Convert ended on a stop request.
  bool last_run_stopped = false;
  // True when the last Convert created its database (false when it was
  // refused or failed before).
  bool run_created_database = false;
  // How the last Convert's rows ended: the table whose rows written in the
  // run were not committed (empty when none), and whether the connection to
  // the database was lost. `stats` then counts the rows each table holds,
  // counted once the run's connection was closed.
  std::string uncommitted_table;
  bool connection_lost = false;

 protected:
  // Ends the run (end_run) on every way out of the scope it was made in.
  class RunScope {
   public:
    explicit RunScope(RunContext& run) : run_(run) {}
    ~RunScope() { run_.end_run(); }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

   private:
    RunContext& run_;
  };
  // Starts a run: the figures and the outcome of the last one are cleared.
  // The run ends when the scope goes.
  [[nodiscard]] RunScope begin_run();
  // The run's end, as the log's last line says it: `ending` names where it
  // ended and what the database holds.
  void complete();
  void stopped(const std::string& table, std::string ending);
  void failed(std::string why, std::string ending);
  // Moves the run on to `position` (a destination table).
  void move_to(std::string position);
  // Commits the rows of the table at work and builds its deferred indexes;
  // the connection stays open for the next table. A failed commit rolls the
  // rows back, names their table in uncommitted_table and raises.
  void commit_rows();
  // Every way out of a run: the connection committed and closed, the old
  // tables closed, the rows the tables hold counted into `stats`.
  void end_run() noexcept;
  // What the database holds after a run that did not complete.
  std::string what_the_database_holds() const;

 private:
  void count_committed_rows() noexcept;

  static_assert(std::atomic<bool>::is_always_lock_free);
  std::atomic<bool> stop_{false};
  std::string run_position_;  // "database creation" or the table being converted
  std::size_t committed_tables_ = 0;  // entries of `stats` whose rows are committed
  bool run_ended_ = true;
  std::int64_t records_per_temp_file_;
  std::string temp_directory_;
  conv::RowErrors* row_errors_ = nullptr;
  std::chrono::steady_clock::time_point table_start_;
  std::chrono::steady_clock::time_point last_progress_;
};

}  // namespace qv
