// A realistic old QUORVEL data set: the eighteen Paradox tables of one data
// set folder, written with our Paradox writer, with the kinds of values the
// migration rules deal with (lower-case and accented text, leading blanks,
// blank and control-character lookup rows, case variants, empty dates and
// numbers, fractional keys, texts wider than their new columns, timestamps
// in date fields, letters whose capitals Windows-1252 lacks).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "paradox/table.h"

namespace qv::sample {

struct Options {
  std::size_t rows = 300;      // payment records; the larger lookup lists scale with it
  std::size_t jobs = 12000;    // job-search records
  std::uint64_t seed = 1;
  // STATS_JT.db's ORDER as a number field, one of them 3.5: the run stops
  // on it (a whole-number column refuses a fraction).
  bool fractional_order = false;
  // Above 0: payment record `repeated_key` (1-based) has the key of the
  // record before it (the migration stops on it).
  std::size_t repeated_key = 0;
};

// Writes one Paradox table `file_name` in `dir` with `defs` and `count`
// rows; `fill(i, values)` gives row i's values as text, one per field, in
// field order (an empty text leaves the field without a value).
void write_table(const std::filesystem::path& dir, const std::string& file_name,
                 const std::vector<pdx::FieldDef>& defs, std::size_t count,
                 const std::function<void(std::size_t, std::vector<std::string>&)>& fill);

// Rewrites the table `file_name` in `dir` with `change` applied to its field
// definitions and its rows (every value as text), to plant a problem.
void rewrite_table(const std::filesystem::path& dir, const std::string& file_name,
                   const std::function<void(std::vector<pdx::FieldDef>&, std::vector<std::vector<std::string>>&)>& change);

// The place of field `name` in `defs`; raises when there is none.
std::size_t field_index(const std::vector<pdx::FieldDef>& defs, const std::string& name);

// The old job-search table's fields (JSEARCH2.db).
std::vector<pdx::FieldDef> jsearch_fields();

// Writes JSEARCH2.db with `count` records into `dir`.
void write_jsearch(const std::filesystem::path& dir, std::size_t count, std::uint64_t seed);

// Writes the whole data set into `dir` (created when missing). Returns the
// file names written, as they are spelled on disk.
std::vector<std::string> write_data_set(const std::filesystem::path& dir, const Options& options);

}  // namespace qv::sample
