// The status log's fixed lines, and the lines it numbers, in one place.
// The texts of one table (its heading, its index lines, the job-search
// explanation) stay with the table's definition.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qv {

class RunContext;

namespace log_lines {

// The line around every block of the log: 105 hyphens.
inline const std::string kRule(105, '-');

// Database creation.
inline constexpr std::string_view kCheckingDatabase = "Checking for database, and creating if necessary";
inline constexpr std::string_view kWillDelete = "If destination database exits, I will delete it......";
inline constexpr std::string_view kAlreadyExists = "Database already exists, not attempting to create";
inline constexpr std::string_view kRenameOrDelete = "You must rename or delete this database before trying again";
inline constexpr std::string_view kCreatingTables = "Creating tables";
inline constexpr std::string_view kCreatingIndexes = "Creating indexes";
// "In place of the database FILE is a FIFO, not a database file".
std::string odd_file(const std::string& file, const std::string& kind);

// The conversions.
inline constexpr std::string_view kStartingConversions = "Attempting to start conversions";
inline constexpr std::string_view kRunComplete = "Conversion run complete";
// "The run was stopped at CITY_4: " followed by what the database holds.
std::string stopped_at(const std::string& table, const std::string& holds);
// "The run stopped on an error at CITY_4: " followed by what the database holds.
std::string stopped_on_error_at(const std::string& position, const std::string& holds);

// The counts of one table.
std::string old_record_count(std::int64_t records);  // "---->Record Count in old table: 12"
std::string new_record_count(std::int64_t records);  // "---->Records In New Table: 12"
std::string values_shortened(std::int64_t values);   // "---->Values shortened to fit their columns: 2"
std::string duplicates_merged(std::int64_t values);  // "---->Duplicate values merged: 3"

// The job-search steps.
std::string step_1(const std::string& temp_directory);  // "Step 1 create empty temporary files in DIR"
inline constexpr std::string_view kStep2 = "Step 2 - copying records into temporary files, original file isn't changed";
inline constexpr std::string_view kStep3 = "Step 3 - Copying records into JSEARCH_4";
std::string created_temp_file(const std::string& file);        // "Created Temp file 1-js.db"
std::string loading_temp_file(const std::string& file);        // "----->Loading Temp file 1-js.db"
std::string loading_temp_file_into_table(const std::string& file);  // "... 1-js.db into new table"

// Adds `lines` to the run's log between two rules.
void add_block(RunContext& run, std::initializer_list<std::string_view> lines);

}  // namespace log_lines

}  // namespace qv
