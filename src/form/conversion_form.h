// The conversion form's state and handlers, free of any toolkit. The form is
// the run's context; its builder and converter methods forward to builder/,
// converters/ and jobsearch/, which know only the context.
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
#include "run/context.h"
#include "run/log_lines.h"

namespace qv {

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
  // Set: the converters leave a refused row out through it instead of
  // stopping the run there (the headless command's --on-error skip).
  conv::RowErrors* row_errors = nullptr;
};

class Tconversion_form : public RunContext {
 public:
  static constexpr std::size_t kTables = 18;
  static constexpr const char* kDefaultDirectory = "C:\\MyData\\wk-db\\Quorvel2\\Db\\";
  static constexpr const std::string& kRule = log_lines::kRule;  // 105 hyphens

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

  // The run's progress as the desktop view shows it below the bar (which
  // counts the table's records), `t` being the table at work, `run_seconds`
  // the time since Convert, `all_done` of `all_records` the records of
  // every ticked table (0: not known): "All tables: 1200 of 5000 records,
  // about 2:10 left; table 3 of 18: CITY_4, 0:42 elapsed, 2300 records/s".
  std::string progress_text(const TableStats& t, double run_seconds, std::int64_t all_done = 0,
                            std::int64_t all_records = 0) const;

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

  // The status log is Memo1; the job-search count shows in Edit1.
  void add_log_line(const std::string& line) override;
  void clear_log() override;
  void show_record_count(std::int64_t records) override;

 private:
  // Ends a run that was stopped at `table`.
  void end_on_stop(const std::string& table);
  // Refuses the folder or the run, saying why in a box captioned "DIRECTORY SELECT".
  void refuse_with_message(const std::string& text);
  void set_ticks(bool on);                      // every item, index 0 to 17

  MessageBoxes* boxes_;
  VerifyTarget last_run_;     // the folder and ticks of the last Convert that started
  ConversionSteps* steps_;
  std::string database_name_;
};

}  // namespace qv
