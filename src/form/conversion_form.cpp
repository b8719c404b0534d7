#include "form/conversion_form.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "converters/frame.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace {

constexpr const char* kCaption = "DIRECTORY SELECT";
constexpr const char* kMarkerFile = "quorvel2.db";
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

// True when the folder (a program path) holds the marker file, spelt in any
// letter case.
bool has_marker_file(const std::string& directory) {
  std::filesystem::path hit = platform::find_case_insensitive(platform::map_path(directory), kMarkerFile);
  std::error_code ec;
  return !hit.empty() && std::filesystem::is_regular_file(hit, ec);
}

}  // namespace

const std::string Tconversion_form::kRule(105, '-');

bool ConversionSteps::create_database(Tconversion_form& form, const std::string& dbname) {
  return form.check_and_create_database_4(&form, dbname);
}

void ConversionSteps::convert(Tconversion_form& form, std::size_t index, const std::string& dbname) {
  form.run_converter(index, dbname);
}

Tconversion_form::Tconversion_form(MessageBoxes* boxes, FormSetup setup)
    : boxes_(boxes),
      steps_(setup.steps),
      records_per_temp_file_(setup.records_per_temp_file),
      database_name_(std::move(setup.database_name)),
      temp_directory_(setup.temp_directory.empty() ? std::string(kTempDirectory) : std::move(setup.temp_directory)) {
  static ConversionSteps own_steps;
  if (!steps_) steps_ = &own_steps;
  if (records_per_temp_file_ < 1)
    throw std::invalid_argument("a temporary file takes at least one record, not " +
                                std::to_string(records_per_temp_file_));
  Label1.Caption = "STEP 01 - SELECT OLD TABLE LOCATION";
  Label2.Caption = "STEP 02 - SELECT TABLES TO MIGRATE";
  Label2.Enabled = false;
  Label3.Caption = "STATUS MESSAGES";
  files_checklistbox.Items.clear();
  for (const registry::Item& item : registry::items()) files_checklistbox.Items.emplace_back(item.item);
  files_checklistbox.Checked.assign(kTables, false);
  files_checklistbox.Enabled = false;
  btn_select_directory.Caption = "Select This Directory - >>>>";
  btn_reset.Caption = "Reset";
  btn_convert.Caption = "Convert";
  Memo1.Lines = {"Memo1"};
  Edit1.Text = "Edit1";
}

void Tconversion_form::show_message(const std::string& text) {
  if (boxes_) boxes_->Show(text, kCaption);
}

void Tconversion_form::set_ticks(bool on) {
  for (std::size_t i = 0; i < kTables; ++i) files_checklistbox.SetChecked(i, on);
}

void Tconversion_form::FormActivate(Sender) {
  CDirectoryOutline_Source.SetDirectory(kDefaultDirectory);
  files_checklistbox.SetEnabled(false);
  btn_select_directory.SetEnabled(true);
  CDirectoryOutline_Source.SetEnabled(true);
  btn_reset.SetEnabled(false);
  btn_convert.SetEnabled(false);
  Memo1.Clear();
}

void Tconversion_form::btn_select_directoryClick(Sender) {
  if (!has_marker_file(CDirectoryOutline_Source.Directory)) {
    show_message("Doesn't appear to be a valid directory");
    return;
  }
  files_checklistbox.SetEnabled(true);
  btn_select_directory.SetEnabled(false);
  CDirectoryOutline_Source.SetEnabled(false);
  btn_reset.SetEnabled(true);
  btn_convert.SetEnabled(true);
  Label1.SetEnabled(false);
  Label2.SetEnabled(true);
  Label3.SetEnabled(false);
  set_ticks(true);
}

void Tconversion_form::btn_resetClick(Sender) {
  CDirectoryOutline_Source.SetDirectory(kDefaultDirectory);
  files_checklistbox.SetEnabled(false);
  btn_select_directory.SetEnabled(true);
  CDirectoryOutline_Source.SetEnabled(true);
  btn_reset.SetEnabled(false);
  Label1.SetEnabled(true);
  Label2.SetEnabled(false);
  Label3.SetEnabled(false);
  btn_convert.SetEnabled(false);
  set_ticks(false);
}

bool Tconversion_form::convert_allowed() {
  const std::string& directory = CDirectoryOutline_Source.Directory;
  if (run_database_name(directory).empty()) {
    show_message("The folder \"" + directory +
                 "\" is not inside a \"db\" folder of data sets, so the new database cannot be named "
                 "after it. Choose the folder of one data set inside the \"db\" folder.");
    return false;
  }
  const auto& ticks = files_checklistbox.Checked;
  if (std::none_of(ticks.begin(), ticks.end(), [](bool on) { return on; })) {
    show_message("No tables selected");
    return false;
  }
  return true;
}

void Tconversion_form::btn_convertClick(Sender) {
  if (!convert_allowed()) return;
  const std::string directory = CDirectoryOutline_Source.Directory;
  const std::string dbname = run_database_name(directory);

  Label1.SetEnabled(false);
  Label2.SetEnabled(false);
  Label3.SetEnabled(true);
  last_run_completed = false;
  last_run_stopped = false;
  run_created_database = false;
  uncommitted_table.clear();
  connection_lost = false;
  stats.clear();
  committed_tables_ = 0;
  run_ended_ = false;
  old_table_directory = directory;
  last_run_ = {directory, files_checklistbox.Checked};
  run_position_ = "database creation";
  fb::note_activity(run_position_);

  // Every way out of a run ends it alike. After an error this mends the
  // original program, which left the connection and the old tables as the
  // error left them: the rows written stayed uncommitted, out of sight of
  // any other program, until the next run or the program's end.
  struct EndRun {
    Tconversion_form& form;
    ~EndRun() { form.end_run(); }
  } end_run_guard{*this};
  try {
    if (!steps_->create_database(*this, dbname)) return;

    Memo1.Add(kRule);
    Memo1.Add("Attempting to start conversions");
    Memo1.Add(kRule);
    for (std::size_t i = 0; i < kTables; ++i) {
      if (!files_checklistbox.Checked[i]) continue;
      // The previous table's rows are committed and its indexes built, as
      // the converter's reconnection would do.
      if (!stats.empty() && DataModule2 && DataModule2->IBDatabase2.Connected()) {
        table_step("building indexes");
        commit_rows();
      }
      run_position_ = destination_table(i);
      fb::note_activity(run_position_);
      steps_->convert(*this, i, dbname);
    }

    // The last converter's rows are still in the open transaction: closing
    // commits them (and builds the deferred indexes) before the run is
    // reported complete.
    if (DataModule2 && DataModule2->IBDatabase2.Connected()) {
      if (!stats.empty()) table_step("building indexes");
      commit_rows();
    }
  } catch (const RunStopped& stop) {
    end_on_stop(stop.table());
    return;
  } catch (...) {
    // A stop signal met the run inside an engine call, which was cancelled.
    if (fb::cancelled_on_stop()) {
      end_on_stop(run_position_);
      return;
    }
    connection_lost = connection_lost || conv::connection_lost(std::current_exception());
    end_run();
    Memo1.Add("The run stopped on an error at " + run_position_ + ": " + what_the_database_holds());
    throw;
  }

  Memo1.Add(kRule);
  Memo1.Add("Conversion run complete");
  Memo1.Add(kRule);
  last_run_completed = true;
  btn_resetClick(this);
}

void Tconversion_form::end_on_stop(const std::string& table) {
  // The form stays as after a refused run: folder and ticks kept, Convert
  // offered again.
  end_run();
  Memo1.Add("The run was stopped at " + table + ": " + what_the_database_holds());
  last_run_stopped = true;
}

void Tconversion_form::commit_rows() {
  TDataModule2& dm = *DataModule2;
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
  dm.IBDatabase2.Close();
}

void Tconversion_form::end_run() noexcept {
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

void Tconversion_form::count_committed_rows() noexcept {
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

std::string Tconversion_form::what_the_database_holds() const {
  if (uncommitted_table.empty())
    return connection_lost ? "the connection to the database was lost; the database holds the rows written until then."
                           : "the database holds the rows written until then.";
  if (connection_lost)
    return "the connection to the database was lost, and the rows written to " + uncommitted_table +
           " were not committed (the database holds the tables before it).";
  return "the rows written to " + uncommitted_table +
         " could not be committed (the database holds the tables before it).";
}

void Tconversion_form::run_converter(std::size_t index, const std::string& dbname) {
  if (index >= kTables) throw std::out_of_range("no converter number " + std::to_string(index));
  (this->*registry::items()[index].convert)(this, dbname);
}

std::string Tconversion_form::destination_table(std::size_t index) {
  return registry::items().at(index).dest_table;
}

std::string Tconversion_form::database_name(const std::string& directory) {
  std::string path = platform::ascii_lower(directory);
  std::replace(path.begin(), path.end(), '/', '\\');
  const std::string key = "\\db\\";
  const std::size_t at = path.find(key);
  if (at == std::string::npos) return {};
  std::string_view rest = std::string_view(path).substr(at + key.size());
  rest = rest.substr(0, rest.find('\\'));
  return std::string(platform::utf8_prefix(rest, kNameLength));
}

std::string Tconversion_form::chosen_database_name(const std::string& directory, const std::string& given) {
  return given.empty() ? database_name(directory) : given;
}

std::string Tconversion_form::destination_file(const std::string& dbname) {
  return std::string(kDestinationDirectory) + dbname + ".gdb";
}

bool Tconversion_form::database_exists(const std::string& directory) {
  const std::string dbname = database_name(directory);
  std::error_code ec;
  return !dbname.empty() && std::filesystem::is_regular_file(platform::map_path(destination_file(dbname)), ec);
}

std::optional<Tconversion_form::VerifyTarget> Tconversion_form::verify_target(bool on_server) const {
  const std::vector<bool>& ticked = files_checklistbox.Checked;
  const bool any = std::any_of(ticked.begin(), ticked.end(), [](bool on) { return on; });
  const auto has_database = [on_server](const std::string& directory) {
    return on_server ? !database_name(directory).empty() : database_exists(directory);
  };
  VerifyTarget t;
  if (has_database(CDirectoryOutline_Source.Directory))
    t.directory = CDirectoryOutline_Source.Directory;
  else if (!last_run_.directory.empty() && has_database(last_run_.directory))
    t.directory = last_run_.directory;
  else
    return std::nullopt;
  if (any)
    t.ticks = ticked;
  else if (t.directory == last_run_.directory)
    t.ticks = last_run_.ticks;
  else
    t.ticks.assign(kTables, true);
  return t;
}

void Tconversion_form::aim_at_database(fb::IBDatabase& db, const std::string& dbname,
                                       const ServerDestination* server) {
  db.RemoteServer.reset();
  db.DatabaseName = destination_file(dbname);
  if (!server) return;
  db.RemoteServer = server->server;
  db.DatabaseName = server->database(dbname + ".gdb");
}

TableStats& Tconversion_form::begin_table(const std::string& table, std::int64_t old_rows) {
  TableStats& s = stats.emplace_back();
  s.table = table;
  s.old_rows = old_rows;
  table_start_ = last_progress_ = std::chrono::steady_clock::now();
  // Shown at once, so a table quicker than the progress interval still shows.
  if (on_progress) on_progress(s, false);
  return s;
}

void Tconversion_form::stop_point(const std::string& table) const {
  if (stop_requested()) throw RunStopped(table);
}

void Tconversion_form::table_progress(bool finished) {
  if (stats.empty()) return;
  if (!finished) stop_point(stats.back().table);
  const auto now = std::chrono::steady_clock::now();
  TableStats& s = stats.back();
  s.seconds = std::chrono::duration<double>(now - table_start_).count();
  if (!finished && now - last_progress_ < kProgressInterval) return;
  last_progress_ = now;
  if (on_progress) on_progress(s, finished);
}

void Tconversion_form::table_step(const char* step, std::int64_t step_done) {
  if (stats.empty()) return;
  stats.back().step = step;
  stats.back().step_done = step_done;
  last_progress_ = std::chrono::steady_clock::now();
  if (on_progress) on_progress(stats.back(), false);
}

}  // namespace qv
