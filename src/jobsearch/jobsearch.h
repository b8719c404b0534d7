// The job-search conversion: the temporary store of numbered Paradox files
// ("1-js.db", "2-js.db", ...) and the split-and-load converter that moves
// "JSEARCH2.db" through them into "JSEARCH_4".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "paradox/table.h"
#include "platform/paths.h"
#include "registry/temp_layout.h"
#include "run/context.h"

namespace qv::jobsearch {

// The temporary file's layout (registry/temp_layout.h).
using Field = registry::TempField;
inline constexpr const auto& kLayout = registry::kTempLayout;
inline constexpr std::size_t kCarried = registry::kTempCarried;

// The alias the temporary files are reached through.
inline constexpr const char* kTempAlias = "TEMPDB";

// "12-js.db" for 12.
std::string temp_file_name(std::int64_t number);

// Makes the run's temporary folder when it is missing and locks it for as
// long as the lock is kept, so that two runs never write their temporary
// files into one folder at once. Not held: busy() when another run has it;
// otherwise the folder could not be made or opened, which the run's first
// temporary file reports.
platform::FolderLock hold_temp_folder(const RunContext& run);
// Why a run is refused when another run holds its temporary folder.
std::string temp_folder_in_use(const RunContext& run);

// Creates the empty temporary file `number` in the run's temporary folder.
void create_temp_file(RunContext& run, int number);

// Moves "JSEARCH2.db" through the temporary files into "JSEARCH_4" of the
// database `dbname`.
void convert_job_search(RunContext& run, const std::string& dbname);

// The explanation logged after the count line.
inline constexpr std::array<std::string_view, 3> kExplanation{{
    "QUORVEL2 imports records from www.jobsweep-example.net, and since the file may hold thousands of job",
    "search records, I have to break the file apart to prevent",
    "an out of memory condition.",
}};

}  // namespace qv::jobsearch
