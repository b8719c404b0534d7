#include "form/conversion_form.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include <fmt/format.h>
#include <stdexcept>
#include <utility>

#include "converters/frame.h"
#include "jobsearch/jobsearch.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace {

constexpr const char* kCaption = "DIRECTORY SELECT";
constexpr const char* kMarkerFile = "quorvel2.db";

// The message of the exception `error`.
std::string error_text(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an error of an unknown kind";
  }
}

// True when the folder (a program path) holds the marker file, spelt in any
// letter case.
bool has_marker_file(const std::string& directory) {
  std::filesystem::path hit = platform::find_case_insensitive(platform::map_path(directory), kMarkerFile);
  std::error_code ec;
  return !hit.empty() && std::filesystem::is_regular_file(hit, ec);
}

}  // namespace

bool ConversionSteps::create_database(Tconversion_form& form, const std::string& dbname) {
  return form.check_and_create_database_4(&form, dbname);
}

void ConversionSteps::convert(Tconversion_form& form, std::size_t index, const std::string& dbname) {
  form.run_converter(index, dbname);
}

Tconversion_form::Tconversion_form(MessageBoxes* boxes, FormSetup setup)
    : RunContext(setup.records_per_temp_file, std::move(setup.temp_directory)),
      boxes_(boxes),
      steps_(setup.steps),
      database_name_(std::move(setup.database_name)) {
  static ConversionSteps own_steps;
  if (!steps_) steps_ = &own_steps;
  set_row_errors(setup.row_errors);
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

void Tconversion_form::refuse_with_message(const std::string& text) {
  refuse(text);
  if (boxes_) boxes_->Show(text, kCaption);
}

void Tconversion_form::add_log_line(const std::string& line) { Memo1.Add(line); }

void Tconversion_form::clear_log() { Memo1.Clear(); }

void Tconversion_form::show_record_count(std::int64_t records) {
  Edit1.SetText(std::to_string(records));
  Edit1.Refresh();
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
    refuse_with_message("Doesn't appear to be a valid directory");
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
    refuse_with_message("The folder \"" + directory +
                 "\" is not inside a \"db\" folder of data sets, so the new database cannot be named "
                 "after it. Choose the folder of one data set inside the \"db\" folder.");
    return false;
  }
  const auto& ticks = files_checklistbox.Checked;
  if (std::none_of(ticks.begin(), ticks.end(), [](bool on) { return on; })) {
    refuse_with_message("No tables selected");
    return false;
  }
  return true;
}

void Tconversion_form::btn_convertClick(Sender) {
  if (!convert_allowed()) return;
  const std::string directory = CDirectoryOutline_Source.Directory;
  const std::string dbname = run_database_name(directory);
  // Two runs at once (two windows, or the headless command beside this one)
  // would write the same numbered temporary files: the later one is refused
  // before it writes anything.
  platform::FolderLock temp_folder;
  const auto job_search = static_cast<std::size_t>(&registry::job_search() - registry::items().data());
  if (files_checklistbox.Checked[job_search]) {
    // The database's folder comes first, as it always has: the two share
    // "...\intrbase\quorvel4", whose letter case the first one made sets.
    if (!(DataModule2 && DataModule2->Server)) {
      try {
        platform::force_directories(kDestinationDirectory);
      } catch (const std::exception&) {
        // The database's creation says why.
      }
    }
    temp_folder = jobsearch::hold_temp_folder(*this);
    if (temp_folder.busy()) {
      refuse_with_message(jobsearch::temp_folder_in_use(*this));
      return;
    }
  }

  Label1.SetEnabled(false);
  Label2.SetEnabled(false);
  Label3.SetEnabled(true);
  // Every way out of a run ends it alike. After an error this mends the
  // original program, which left the connection and the old tables as the
  // error left them: the rows written stayed uncommitted, out of sight of
  // any other program, until the next run or the program's end.
  const RunScope scope = begin_run();
  old_table_directory = directory;
  last_run_ = {directory, files_checklistbox.Checked};
  try {
    if (!steps_->create_database(*this, dbname)) {
      if (result.outcome == RunResult::Outcome::none) refuse("the database was not created");
      return;
    }

    log_lines::add_block(*this, {log_lines::kStartingConversions});
    for (std::size_t i = 0; i < kTables; ++i) {
      if (!files_checklistbox.Checked[i]) continue;
      // The previous table's rows are committed and its indexes built; the
      // connection goes on to the next table.
      if (!stats.empty() && DataModule2 && DataModule2->IBDatabase2.Connected()) {
        table_step(kBuildingIndexes);
        commit_rows();
      }
      move_to(destination_table(i));
      steps_->convert(*this, i, dbname);
    }

    // The last converter's rows are still in the open transaction: they are
    // committed, the deferred indexes built and the file made durable before
    // the run is reported complete.
    if (DataModule2 && DataModule2->IBDatabase2.Connected()) {
      if (!stats.empty()) table_step(kBuildingIndexes);
      commit_rows();
      DataModule2->IBDatabase2.Close();
    }
  } catch (const RunStopped& stop) {
    end_on_stop(stop.table());
    return;
  } catch (...) {
    // A stop signal met the run inside an engine call, which was cancelled.
    if (fb::cancelled_on_stop()) {
      end_on_stop(run_position());
      return;
    }
    connection_lost = connection_lost || conv::connection_lost(std::current_exception());
    end_run();
    const std::string ending = log_lines::stopped_on_error_at(run_position(), what_the_database_holds());
    Memo1.Add(ending);
    failed(error_text(std::current_exception()), ending);
    throw;
  }

  log_lines::add_block(*this, {log_lines::kRunComplete});
  complete();
  btn_resetClick(this);
}

void Tconversion_form::end_on_stop(const std::string& table) {
  // The form stays as after a refused run: folder and ticks kept, Convert
  // offered again.
  end_run();
  const std::string ending = log_lines::stopped_at(table, what_the_database_holds());
  Memo1.Add(ending);
  stopped(table, ending);
}

void Tconversion_form::run_converter(std::size_t index, const std::string& dbname) {
  if (index >= kTables) throw std::out_of_range("no converter number " + std::to_string(index));
  const registry::Item& item = registry::items()[index];
  if (item.rule)
    conv::convert_table(*this, dbname, item);
  else
    jobsearch::convert_job_search(*this, dbname);
}

std::string Tconversion_form::destination_table(std::size_t index) {
  return registry::items().at(index).dest_table;
}

bool Tconversion_form::database_exists(const std::string& directory) {
  const std::string dbname = database_name(directory);
  std::error_code ec;
  return !dbname.empty() && std::filesystem::is_regular_file(platform::map_path(destination_file(dbname)), ec);
}

namespace {

// "512 bytes", "12.3 MB", "2.5 GB".
std::string readable_size(std::uintmax_t bytes) {
  if (bytes < 1024) return fmt::format("{} bytes", bytes);
  const char* units[] = {"KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes) / 1024;
  std::size_t u = 0;
  for (; v >= 1024 && u + 1 < std::size(units); ++u) v /= 1024;
  return fmt::format("{:.1f} {}", v, units[u]);
}

}  // namespace

std::string clock_text(double seconds) {
  const auto s = static_cast<long long>(std::max(0.0, seconds));
  return s >= 3600 ? fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60)
                   : fmt::format("{}:{:02}", s / 60, s % 60);
}

std::string Tconversion_form::progress_text(const TableStats& t, double run_seconds, std::int64_t all_done,
                                            std::int64_t all_records) const {
  const auto ticked = static_cast<std::size_t>(std::count(last_run_.ticks.begin(), last_run_.ticks.end(), true));
  std::string text;
  if (all_records > 0) {
    all_done = std::min(all_done, all_records);
    text = fmt::format("All tables: {} of {} records", all_done, all_records);
    if (all_done > 0 && all_done < all_records && run_seconds >= 1)
      text += ", about " +
              clock_text(run_seconds * static_cast<double>(all_records - all_done) / static_cast<double>(all_done)) +
              " left";
    text += "; table";
  } else {
    text = "Table";
  }
  text += fmt::format(" {} of {}: {}, {} elapsed", stats.size(), ticked, t.table, clock_text(run_seconds));
  if (t.seconds > 0 && t.done > 0 && t.step != kBuildingIndexes)
    text += fmt::format(", {:.0f} records/s", static_cast<double>(t.done) / t.seconds);
  return text;
}

std::string Tconversion_form::run_end_text() const {
  std::error_code ec;
  const std::string file = destination_file(run_database_name(last_run_.directory));
  const std::uintmax_t bytes = std::filesystem::file_size(platform::map_path(file), ec);
  std::string text = "The database is " + file + (ec ? std::string() : " (" + readable_size(bytes) + ")") + ".";
  std::uintmax_t temp = 0;
  std::size_t files = 0;
  for (std::filesystem::directory_iterator it(platform::map_path(temp_directory()), ec), end; !ec && it != end;
       it.increment(ec))
    if (it->is_regular_file(ec)) {
      temp += it->file_size(ec);
      ++files;
    }
  if (files)
    text += " The job-search temporary files stay in " + temp_directory() + " (" + std::to_string(files) +
            (files == 1 ? " file, " : " files, ") + readable_size(temp) + "); they may be deleted.";
  return text;
}

std::optional<ExistingDatabase> Tconversion_form::existing_database(const std::string& directory) const {
  const std::string dbname = run_database_name(directory);
  if (dbname.empty()) return std::nullopt;
  ExistingDatabase e;
  e.file = destination_file(dbname);
  const std::filesystem::path real = platform::map_path(e.file);
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(real, ec);
  if (ec || !std::filesystem::exists(status)) return std::nullopt;
  if (std::filesystem::is_regular_file(real, ec)) e.bytes = std::filesystem::file_size(real, ec);
  const auto changed = std::filesystem::last_write_time(real, ec);
  if (!ec) {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(changed));
    std::tm local{};
    ::localtime_r(&t, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
    e.changed = when;
  }
  if (database_name_.empty()) e.sharing = folders_sharing_database(directory, dbname);
  return e;
}

std::vector<std::string> Tconversion_form::folders_sharing_database(const std::string& directory,
                                                                    const std::string& dbname) {
  std::string path = platform::ascii_lower(directory);
  std::replace(path.begin(), path.end(), '/', '\\');
  const std::string key = "\\db\\";
  const std::size_t at = path.find(key);
  if (at == std::string::npos) return {};
  // The same letters in the folder's own spelling (lower-casing keeps lengths).
  const std::string sets = directory.substr(0, at + key.size());
  std::string chosen = directory.substr(at + key.size());
  chosen = chosen.substr(0, chosen.find_first_of("\\/"));
  std::vector<std::string> found;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(platform::map_path(sets), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name == chosen || !it->is_directory(ec)) continue;
    if (database_name(sets + name) == dbname) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string Tconversion_form::replace_question(const ExistingDatabase& e) {
  std::string text = "The database " + e.file + " is already there (" + readable_size(e.bytes);
  if (!e.changed.empty()) text += ", last changed " + e.changed;
  text +=
      ").\n\nConvert deletes it and makes it again from the old tables: whatever was entered in it since it was "
      "made is lost.";
  if (!e.sharing.empty()) {
    text += "\n\nThe database takes its name from the first eight letters of the folder's name, so ";
    text += e.sharing.size() == 1 ? "the folder " : "the folders ";
    for (std::size_t i = 0; i < e.sharing.size(); ++i) {
      if (i) text += i + 1 == e.sharing.size() ? " and " : ", ";
      text += "\"" + e.sharing[i] + "\"";
    }
    text += e.sharing.size() == 1 ? " beside this one writes" : " beside this one write";
    text += " the same database: it may hold that data set.";
  }
  text += "\n\nReplace the database?";
  return text;
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

}  // namespace qv
