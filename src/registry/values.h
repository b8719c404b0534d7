// What a value becomes on its way from an old table into the database:
// written as read, upper-cased or as a flag; left out with its row;
// shortened to its column; NULL; merged into a lookup value already there;
// or refused, which stops the run. The converters, the job-search
// conversion, the check and verify all ask here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "builder/schema.h"
#include "registry/registry.h"
#include "registry/temp_layout.h"

namespace qv::registry {

// What happens to one value at one step.
enum class Fate {
  kept,  // arrives as given
  // The value arrives changed.
  shortened,         // longer than its CHAR column
  beyond_precision,  // more integer digits than the NUMERIC column declares (kept whole)
  time_dropped,      // a time of day, where the job-search temporary file keeps the date only
  // The run stops on the value.
  missing_required,  // a job-search record without a value the run needs
  too_long,          // longer than the temporary job-search field it passes through
  empty_key,         // no value for a column that needs one
  no_cp1252,         // a character without a Windows-1252 form
  bad_date,          // a date the database (or the temporary file) cannot take
  bad_number,        // a number the database (or the temporary file) cannot take
  fraction,          // a number with a fraction for a whole-number (INTEGER) column
};

// True for the fates that stop the run.
bool stops(Fate fate);

struct Outcome {
  Fate fate = Fate::kept;
  std::string text;    // what the step gives on (when the run goes on)
  std::string detail;  // what happened, when the fate is not `kept`
};

// A destination column as values meet it, read from its definition once
// per table rather than once per value.
struct Target {
  const builder::ColumnDef* column = nullptr;
  builder::ColumnType type;
  Write write = Write::AsRead;
  std::string where;  // "TABLE_4.COLUMN"
};
// `column` of `table` (case-insensitive); std::logic_error when it has none.
Target target(const builder::TableDef& table, std::string_view column, Write write = Write::AsRead);
// The targets of a rule's columns, in order.
std::vector<Target> targets(const TableRule& rule, const builder::TableDef& table);

// The text given to the destination for a value read as `value`.
std::string written_text(Write how, const std::string& value);

// The number a text stands for as the database reads it (blanks around it
// allowed); nullopt when it is no number.
std::optional<double> read_number(std::string_view text);

// True for a number with a fraction ("2.5"): an INTEGER column refuses it
// rather than rounding it, which would change the value (and a key).
bool has_fraction(std::string_view text);

// True when the rule leaves a row with these values (its columns', in
// order) out.
bool skipped(const TableRule& rule, const std::vector<std::string>& values);

// The text the run posts for a value read as `value`: its written text;
// Fate::fraction when the column is INTEGER and the text has a fraction.
Outcome posted(const Target& target, const std::string& value);
// The run's words for such a refusal: "\"2.5\" is not a whole number:
// STATS_JT_4.ORDER_ is INTEGER".
std::string fraction_refused(const Target& target, const std::string& text);

// What the column keeps of a posted text, as the database compares it
// (Windows-1252 bytes; CHAR without trailing blanks; numbers in their
// plain decimal form; NULL as an empty text), or the fate that refuses it.
// The run leaves this to the engine; the check asks here.
Outcome stored(const Target& target, const std::string& text);

// What a job-search field's temporary file gives back for a value read as
// `value`: the text it reads back, or the fate that stops the run; a date
// with a time of day comes back with Fate::time_dropped.
Outcome through_temporary(const TempField& field, const std::string& value);

// The text loaded into the job-search table for a text read back from a
// temporary file: an empty flag is "False", and everything upper-cased.
std::string loaded_text(const TempField& field, const std::string& temp_text);
// The same, appended to `out`.
void append_loaded_text(const TempField& field, std::string_view temp_text, std::string& out);

}  // namespace qv::registry
