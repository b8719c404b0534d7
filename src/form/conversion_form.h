// The conversion form's state and handlers, free of any toolkit. The builder
// and converter methods are members; their sources live in builder/,
// converters/ and jobsearch/.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "form/controls.h"

namespace qv {

namespace fb {
class IBDatabase;
}
struct ServerDestination;

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

class Tconversion_form;
using Sender = Tconversion_form*;

// A time as a clock shows it: "0:42", "12:05", "1:02:05".
std::string clock_text(double seconds);

// What Convert runs once its checks have passed: the creation of the
// database, then the converter of each ticked item in turn. These run the
// form's own builder and converters; a form made with other steps runs
// those instead.
class ConversionSteps {
 public:
  virtual ~ConversionSteps() = default;
  // False when the database was not created (the log says why).
  virtual bool create_database(Tconversion_form& form, const std::string& dbname);
  // Converter `index` of the check list.
  virtual void convert(Tconversion_form& form, std::size_t index, const std::string& dbname);
};

// A database file that Convert would delete and make again: what the
// question asked before a desktop run names.
struct ExistingDatabase {
  std::string file;       // its program path, "C:\\MyData\\...\\name.gdb"
  std::uintmax_t bytes = 0;
  std::string changed;    // last change, local time "YYYY-MM-DD HH:MM"
  // Other folders beside the chosen one whose database has the same name
  // (the name keeps only the first eight letters of a folder's name).
  std::vector<std::string> sharing;
};

// What a form is made with besides its message boxes.
struct FormSetup {
  ConversionSteps* steps = nullptr;  // null: the form's own
  // The most records a temporary job-search file takes.
  std::int64_t records_per_temp_file = 5000;
  // The batch command's children: the database's name when the folder does
  // not give one, and a temporary folder of the data set's own. Empty: the
  // name from the folder, the one temporary folder.
  std::string database_name = {};
  std::string temp_directory = {};
};

class Tconversion_form {
 public:
  static constexpr std::size_t kTables = 18;
  static constexpr const char* kDefaultDirectory = "C:\\MyData\\wk-db\\Quorvel2\\Db\\";
  static constexpr const char* kDestinationDirectory = "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\";
  static constexpr const char* kTempDirectory = "C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp";
  static const std::string kRule;  // 105 hyphens
  static constexpr std::size_t kNameLength = 8;  // characters of a database name

  explicit Tconversion_form(MessageBoxes* boxes, FormSetup setup = {});

  // Controls, in the order of the form.
  Label Label1;
  DirectoryOutline CDirectoryOutline_Source;
  Label Label2;
  CheckListBox files_checklistbox;
  Button btn_select_directory;
  Button btn_reset;
  Memo Memo1;
  Label Label3;
  Button btn_convert;
  EditBox Edit1;

  // Event handlers.
  void FormActivate(Sender sender);
  void btn_select_directoryClick(Sender sender);
  void btn_resetClick(Sender sender);
  void btn_convertClick(Sender sender);

  // Converters, one per check-list item.
  void convert_carrier_4(Sender sender, std::string dbname);
  void convert_category_4(Sender sender, std::string dbname);
  void convert_city_4(Sender sender, std::string dbname);
  void convert_comment_4(Sender sender, std::string dbname);
  void convert_comment_js_4(Sender sender, std::string dbname);
  void convert_config_4(Sender sender, std::string dbname);
  void convert_contact_name_4(Sender sender, std::string dbname);
  void convert_quorvel_4(Sender sender, std::string dbname);
  void convert_item_4(Sender sender, std::string dbname);
  void convert_js_edit_4(Sender sender, std::string dbname);
  void convert_jsearch_4(Sender sender, std::string dbname);
  void convert_poscode_4(Sender sender, std::string dbname);
  void convert_posqual_4(Sender sender, std::string dbname);
  void convert_postitle_4(Sender sender, std::string dbname);
  void convert_reason_4(Sender sender, std::string dbname);
  void convert_stats_jt_4(Sender sender, std::string dbname);
  void convert_stats_st_4(Sender sender, std::string dbname);
  void convert_time10_4(Sender sender, std::string dbname);

  // Builder.
  bool check_and_create_database_4(Sender sender, std::string dbname);
  void create_carrier_4(Sender sender, std::string dbfile);
  void create_category_4(Sender sender, std::string dbfile);
  void create_city_4(Sender sender, std::string dbfile);
  void create_comment_4(Sender sender, std::string dbfile);
  void create_comment_js_4(Sender sender, std::string dbfile);
  void create_config_4(Sender sender, std::string dbfile);
  void create_contact_name_4(Sender sender, std::string dbfile);
  void create_quorvel_4(Sender sender, std::string dbfile);
  void create_item_4(Sender sender, std::string dbfile);
  void create_js_edit_4(Sender sender, std::string dbfile);
  void create_jsearch_4(Sender sender, std::string dbfile);
  void create_poscode_4(Sender sender, std::string dbfile);
  void create_posqual_4(Sender sender, std::string dbfile);
  void create_postitle_4(Sender sender, std::string dbfile);
  void create_reason_4(Sender sender, std::string dbfile);
  void create_stats_jt_4(Sender sender, std::string dbfile);
  void create_stats_st_4(Sender sender, std::string dbfile);
  void create_time10_4(Sender sender, std::string dbfile);
  void create_indexes_4(Sender sender, std::string dbfile);

  // Temporary job-search store.
  void create_jsearch2_table(Sender sender, int number);

  // ---- Beyond the form's own members ----

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

  // Figures per converted table, in run order, with a listener called as
  // rows are handled (at most a few times a second) and when a table ends.
  std::vector<TableStats> stats;
  std::function<void(const TableStats&, bool finished)> on_progress;
  TableStats& begin_table(const std::string& table, std::int64_t old_rows);
  void table_progress(bool finished = false);

  // The run's progress as the desktop view shows it, `t` being the table at
  // work and `run_seconds` the time since Convert: "Table 3 of 18:
  // CITY_4, 120 of 500 records, copying rows; 0:42 elapsed, 2300 records/s,
  // about 0:01 left for this table".
  std::string progress_text(const TableStats& t, double run_seconds) const;

  // After a complete local run, for the desktop view: where the database is,
  // its size, and where the job-search temporary files stay and how much
  // room they take.
  std::string run_end_text() const;

  // Calls converter i of the check list.
  void run_converter(std::size_t index, const std::string& dbname);
  // The destination table converter i fills, e.g. "CARRIER_4".
  static std::string destination_table(std::size_t index);

  // Steps 1 and 2 of Convert: a database name can be derived and at least
  // one table is ticked. Shows the refusal's message box otherwise.
  bool convert_allowed();

  // Where the current (or last) run is: the destination table of the
  // converter at work, or "database creation" before the first.
  const std::string& run_position() const { return run_position_; }
  // Reports a step of the current table through on_progress at once, with
  // the records of the step handled so far (-1: the table's count).
  void table_step(const char* step, std::int64_t step_done = -1);
  // The step while the engine builds a table's indexes (no row count moves).
  static constexpr const char* kBuildingIndexes = "building indexes";

  std::int64_t records_per_temp_file() const { return records_per_temp_file_; }
  // The folder of the job-search temporary files (a program path).
  const std::string& temp_directory() const { return temp_directory_; }
  // The database Convert writes for `directory`: the name given at
  // construction, else the one the folder gives.
  std::string run_database_name(const std::string& directory) const { return chosen_database_name(directory, database_name_); }

  // What Verify compares: the folder of old tables (whose database is the
  // one compared) and the tables, per check-list item.
  struct VerifyTarget {
    std::string directory;
    std::vector<bool> ticks;
    bool operator==(const VerifyTarget&) const = default;
  };
  // The folder is the chosen one when its database exists, else the last
  // run's when its database exists; the tables are the ticked ones, else
  // the last run's for its folder, else all eighteen. Nothing (Verify
  // unavailable) when neither folder has a database. Whether a server holds
  // a database is not known without a login: `on_server`, a folder that
  // names a database counts as having one (Verify then says when the server
  // has none).
  std::optional<VerifyTarget> verify_target(bool on_server = false) const;
  // True when the database a folder names is a file that exists.
  static bool database_exists(const std::string& directory);

  // The local database file Convert would replace for `directory`; nothing
  // when there is none (or no name can be derived).
  std::optional<ExistingDatabase> existing_database(const std::string& directory) const;
  // The folders beside the one chosen (in the same data-sets folder) whose
  // database name is `dbname`, sorted; the chosen one is left out.
  static std::vector<std::string> folders_sharing_database(const std::string& directory, const std::string& dbname);
  // The question asked before such a database is replaced.
  static std::string replace_question(const ExistingDatabase& existing);
  // The line the desktop view adds after a run that a person stopped.
  static constexpr const char* kIncompleteLine =
      "The database is incomplete: it holds only the rows written before the stop. Press Convert to make it "
      "again with every ticked table.";

  // Withdraws a stop request once the run it stopped has ended, so that the
  // next run goes ahead (a person's stop; a stop that ends the program is
  // never withdrawn).
  void withdraw_stop() noexcept { stop_.store(false, std::memory_order_relaxed); }

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

  // What the database holds after a run that did not complete.
  std::string what_the_database_holds() const;
  // Asks a run to end at its next row. Safe from a signal handler and from
  // any thread. The request stays for the life of the form, so one made
  // before or between runs stops the next run at its first row.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
  // Throws RunStopped naming `table` when a stop was requested.
  void stop_point(const std::string& table) const;
 private:
  // Ends a run that was stopped at `table`.
  void end_on_stop(const std::string& table);
  void show_message(const std::string& text);  // caption "DIRECTORY SELECT"
  void refuse_odd_file(const std::string& file, const std::string& kind);
  static std::string odd_file_line(const std::string& file, const std::string& kind);
  // Removes an earlier local database file of the run; false when it stays
  // (`odd` then says what is there when it is no database file).
  bool remove_local_file(const std::string& dbname, std::string& odd);
  // Drops an earlier database of the run through the server; false when
  // another attachment holds it.
  bool drop_on_server(fb::IBDatabase& db, const std::string& dbname, const ServerDestination& server);
  void set_ticks(bool on);                      // every item, index 0 to 17
  // Commits the rows of the table at work and closes the connection
  // (building the table's deferred indexes). A failed commit rolls the
  // rows back, names their table in uncommitted_table and raises.
  void commit_rows();
  // Every way out of a run: the connection committed and closed, the old
  // tables closed, the rows the tables hold counted into `stats`.
  void end_run() noexcept;
  void count_committed_rows() noexcept;

  static_assert(std::atomic<bool>::is_always_lock_free);
  std::atomic<bool> stop_{false};
  MessageBoxes* boxes_;
  std::string run_position_;  // "database creation" or the table being converted
  VerifyTarget last_run_;     // the folder and ticks of the last Convert that started
  std::size_t committed_tables_ = 0;  // entries of `stats` whose rows are committed
  bool run_ended_ = true;
  ConversionSteps* steps_;
  std::int64_t records_per_temp_file_;
  std::string database_name_;
  std::string temp_directory_;
  std::chrono::steady_clock::time_point table_start_;
  std::chrono::steady_clock::time_point last_progress_;
};

}  // namespace qv
