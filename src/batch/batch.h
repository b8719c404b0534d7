// Many data sets in one command: every folder under a root that holds
// quorvel2.db is migrated (or checked, or verified) by a child process of
// its own, several at once, each with its own log file; a summary follows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qv::batch {

struct DataSet {
  std::filesystem::path directory;  // absolute real path
  std::string database;             // the database's name, e.g. "abcd1234"
};

// The database name of a data set in a batch: the single run's name when
// the folder's path has a "\db\" folder, else the folder's own name cut to
// eight characters and lower-cased.
std::string database_name(const std::filesystem::path& directory);

// The job-search temporary folder of a batch's data set (a program path).
std::string temp_directory(const std::string& database);

// Every folder at or below `root` holding quorvel2.db (any letter case),
// sorted by path. Symbolic links to folders are not followed; folders that
// cannot be read are listed in `problems` and skipped.
std::vector<DataSet> find_data_sets(const std::filesystem::path& root, std::vector<std::string>& problems);

// One message per data set that would write the database of an earlier one
// in `sets`, naming both folders. Empty when every database is its own.
std::vector<std::string> clashes(const std::vector<DataSet>& sets);

// The hidden option by which a child learns its data set's database name
// (the temporary folder follows from it).
inline constexpr const char* kChildOption = "--batch-database";

enum class Action { Convert, ConvertThenVerify, Check, Verify };

struct Options {
  std::filesystem::path root;
  Action action = Action::Convert;
  unsigned jobs = 0;                       // 0: one per processor
  std::filesystem::path log_dir;           // empty: a new folder in the current one
  std::filesystem::path report;            // JSON of the whole batch; empty: none
  std::vector<std::string> child_options;  // the single-run options every child gets
  std::string executable = "/proc/self/exe";
  // A database already there: replaced (the children get --replace), else
  // the whole batch is refused before anything is written.
  bool replace = false;
  // Called with the batch's JSON report just before it is written.
  std::function<void(nlohmann::json&)> complete_report;
};

// Runs the batch; returns the command's exit code: 0 every data set
// succeeded, 1 one failed, 2 a refusal (nothing written), 128 + the signal
// when SIGINT or SIGTERM stopped it. Progress and the summary go to stderr.
int run(const Options& options);

}  // namespace qv::batch
