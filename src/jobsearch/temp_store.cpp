// The temporary job-search store: numbered Paradox files in the temporary
// folder, reached through the alias TEMPDB.
#include <filesystem>
#include <string>

#include "jobsearch/jobsearch.h"
#include "platform/paths.h"
#include "run/log_lines.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace jobsearch {

std::string temp_file_name(std::int64_t number) { return std::to_string(number) + "-js.db"; }

namespace {

void make_temp_folder(const RunContext& run) {
  const std::filesystem::path folder = platform::map_path(run.temp_directory());
  std::error_code ec;
  const bool existed = std::filesystem::exists(folder, ec);
  platform::force_directories(run.temp_directory());
  // A folder we make for the files is the user's alone, as the files are.
  if (!existed) std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
}

}  // namespace

platform::FolderLock hold_temp_folder(const RunContext& run) {
  try {
    make_temp_folder(run);
  } catch (const std::exception&) {
    // Not there and cannot be made: the run's first temporary file says why.
    return {};
  }
  return platform::FolderLock(run.temp_directory());
}

std::string temp_folder_in_use(const RunContext& run) {
  return "The job-search temporary folder " + run.temp_directory() +
         " is in use by another run of this program, which writes its temporary files there. Nothing was done: "
         "convert again once that run has ended.";
}

void create_temp_file(RunContext& run, int number) {
  auto& session = pdx::Session::instance();
  session.DeleteAlias(kTempAlias);
  make_temp_folder(run);
  session.AddStandardAlias("tempdb", run.temp_directory(), "PARADOX");

  auto& table = run.components().PDTable2;
  table.DatabaseName = kTempAlias;
  table.TableName = temp_file_name(number);
  table.SetActive(false);
  table.TableType = "ttParadox";
  table.FieldDefs.clear();
  for (const auto& f : kLayout)
    table.FieldDefs.push_back({std::string(f.name), f.type, f.size, 0, f.required});
  table.CreateTable();
  table.SetActive(false);
  run.add_log_line(log_lines::created_temp_file(temp_file_name(number)));
}

}  // namespace jobsearch

}  // namespace qv
