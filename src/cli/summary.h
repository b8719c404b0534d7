// The end-of-run summary of the headless command: a table for people, JSON
// for programs.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "form/conversion_form.h"

namespace qv::cli {

// The version of the JSON reports' layout (docs/report-schema.md); raised
// when a member changes meaning or goes away.
inline constexpr int kReportSchemaVersion = 1;

// "2026-12-07T18:23:39.123Z"
std::string utc_time(std::chrono::system_clock::time_point t);

enum class Outcome { Completed, Refused, Failed };

struct RunSummary {
  std::string old_table_directory;
  std::string database;  // real path of the database file
  Outcome outcome = Outcome::Failed;
  std::string error;     // the error's message when the run failed
  std::vector<TableStats> tables;
  bool on_error_skip = false;  // refused rows were left out, into reject_file
  std::string reject_file;
};

// One line per table: old rows, new rows, skipped, shortened, merged, seconds.
void print_summary(std::FILE* out, const RunSummary& s);
nlohmann::json to_json(const RunSummary& s);

}  // namespace qv::cli
