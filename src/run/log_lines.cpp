#include "run/log_lines.h"

#include "run/context.h"

namespace qv::log_lines {

std::string odd_file(const std::string& file, const std::string& kind) {
  return "In place of the database " + file + " is " + kind + ", not a database file";
}

std::string stopped_at(const std::string& table, const std::string& holds) {
  return "The run was stopped at " + table + ": " + holds;
}

std::string stopped_on_error_at(const std::string& position, const std::string& holds) {
  return "The run stopped on an error at " + position + ": " + holds;
}

std::string old_record_count(std::int64_t records) {
  return "---->Record Count in old table: " + std::to_string(records);
}

std::string new_record_count(std::int64_t records) { return "---->Records In New Table: " + std::to_string(records); }

std::string values_shortened(std::int64_t values) {
  return "---->Values shortened to fit their columns: " + std::to_string(values);
}

std::string duplicates_merged(std::int64_t values) { return "---->Duplicate values merged: " + std::to_string(values); }

std::string step_1(const std::string& temp_directory) {
  return "Step 1 create empty temporary files in " + temp_directory;
}

std::string created_temp_file(const std::string& file) { return "Created Temp file " + file; }

std::string loading_temp_file(const std::string& file) { return "----->Loading Temp file " + file; }

std::string loading_temp_file_into_table(const std::string& file) {
  return loading_temp_file(file) + " into new table";
}

void add_block(RunContext& run, std::initializer_list<std::string_view> lines) {
  run.add_log_line(kRule);
  for (std::string_view line : lines) run.add_log_line(std::string(line));
  run.add_log_line(kRule);
}

}  // namespace qv::log_lines
