// The temporary job-search store: numbered Paradox files in the temporary
// folder, reached through the alias TEMPDB.
#include <filesystem>
#include <string>

#include "form/conversion_form.h"
#include "jobsearch/jobsearch.h"
#include "platform/paths.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace jobsearch {

std::string temp_file_name(std::int64_t number) { return std::to_string(number) + "-js.db"; }

}  // namespace jobsearch

void Tconversion_form::create_jsearch2_table(Sender, int number) {
  auto& session = pdx::Session::instance();
  session.DeleteAlias(jobsearch::kTempAlias);
  const std::filesystem::path folder = platform::map_path(temp_directory_);
  std::error_code ec;
  const bool existed = std::filesystem::exists(folder, ec);
  platform::force_directories(temp_directory_);
  // A folder we make for the files is the user's alone, as the files are.
  if (!existed) std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
  session.AddStandardAlias("tempdb", temp_directory_, "PARADOX");

  auto& table = DataModule2->PDTable2;
  table.DatabaseName = jobsearch::kTempAlias;
  table.TableName = jobsearch::temp_file_name(number);
  table.SetActive(false);
  table.TableType = "ttParadox";
  table.FieldDefs.clear();
  for (const auto& f : jobsearch::kLayout)
    table.FieldDefs.push_back({std::string(f.name), f.type, f.size, 0, f.required});
  table.CreateTable();
  table.SetActive(false);
  Memo1.Add("Created Temp file " + jobsearch::temp_file_name(number));
}

}  // namespace qv
