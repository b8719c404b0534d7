#include "check/check.h"

#include <sys/stat.h>

#include <array>
#include <ctime>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include <fmt/format.h>

#include "builder/schema.h"
#include "converters/frame.h"
#include "form/conversion_form.h"
#include "jobsearch/jobsearch.h"
#include "paradox/table.h"
#include "paradox/values.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace qv::check {

namespace {

using builder::ColumnDef;
using builder::ColumnType;

constexpr std::string_view kJobSearchFile = "JSEARCH2.db";
constexpr std::string_view kJobSearchTable = "JSEARCH_4";

struct KindInfo {
  const char* name;
  bool stops;
};

constexpr std::array<KindInfo, kKinds> kInfo{{
    {"missing table", true},
    {"missing field", true},
    {"corrupt file", true},
    {"missing required value", true},
    {"too long for the job-search temporary file", true},
    {"key clash", true},
    {"empty key", true},
    {"no Windows-1252 form", true},
    {"date the database cannot take", true},
    {"number the database cannot take", true},
    {"number with a fraction for a whole-number column", true},
    {"merged", false},
    {"shortened", false},
    {"beyond the declared precision", false},
    {"time of day dropped", false},
}};

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool valid_day(int y, int m, int d) {
  static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  return d <= kDays[static_cast<std::size_t>(m - 1)] + (m == 2 && leap(y) ? 1 : 0);
}

// Reads "a<sep>b<sep>c" of decimal numbers at the start of `t`.
bool three_numbers(std::string_view t, char sep, std::array<int, 3>& out) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= t.size() || t[pos] != sep) return false;
      ++pos;
    }
    auto [end, ec] = std::from_chars(t.data() + pos, t.data() + t.size(), out[i]);
    if (ec != std::errc() || end == t.data() + pos) return false;
    pos = static_cast<std::size_t>(end - t.data());
  }
  return pos == t.size();
}

// True for the date forms the old tables hold (MM/DD/YYYY, also
// YYYY-MM-DD and DD.MM.YYYY, a time of day after a blank), naming a day
// the database's dates reach (years 1 to 9999).
bool valid_date(std::string_view text) {
  std::string_view t;
  std::int64_t ms_of_day = 0;
  if (!pdx::values::split_date_time(platform::trim(text), t, ms_of_day)) return false;
  std::array<int, 3> n{};
  if (three_numbers(t, '/', n)) return valid_day(n[2], n[0], n[1]);
  if (three_numbers(t, '-', n)) return valid_day(n[0], n[1], n[2]);
  if (three_numbers(t, '.', n)) return valid_day(n[2], n[1], n[0]);
  return false;
}

class Checker {
 public:
  explicit Checker(const Options& o) : o_(o) {}

  Report run() {
    for (std::size_t i = 0; i < Tconversion_form::kTables; ++i) {
      if (!o_.ticks.empty() && (i >= o_.ticks.size() || !o_.ticks[i])) continue;
      try {
        // The job-search table is the one item without a rule.
        if (const conv::TableRule* rule = conv::rule_for_item(i))
          check_rule(*rule);
        else
          check_job_search();
      } catch (const pdx::Error& e) {
        add(Kind::corrupt_file, row_, {}, {}, e.what());
      }
    }
    return report_;
  }

 private:
  // ---- findings ----
  void add(Kind kind, std::int64_t row, std::string_view field, std::string_view value, std::string detail) {
    ++report_.counts[static_cast<std::size_t>(kind)];
    if (o_.on_finding)
      o_.on_finding(Finding{kind, table_, row, std::string(field), std::string(value), std::move(detail)});
  }

  // ---- the old table ----
  // Opens `file` of the folder; false (with a finding) when it is missing.
  bool open(std::string_view file) {
    table_ = std::string(file);
    row_ = 0;
    if (old_.Active()) old_.Close();
    if (platform::find_case_insensitive(platform::map_path(o_.directory), file).empty()) {
      add(Kind::missing_table, 0, {}, {}, fmt::format("no file {} in {}", file, o_.directory));
      return false;
    }
    old_.Directory = o_.directory;
    old_.TableName = std::string(file);
    old_.CodePageOverride = o_.codepage;
    old_.Open();
    return true;
  }

  // The fields named, or nullopt (with a finding per missing field).
  template <class Names>
  std::optional<std::vector<pdx::PDField*>> bind(const Names& names) {
    std::vector<pdx::PDField*> fields;
    bool all = true;
    for (std::string_view n : names) {
      try {
        fields.push_back(&old_.FieldByName(n));
      } catch (const pdx::Error& e) {
        add(Kind::missing_field, 0, n, {}, e.what());
        all = false;
      }
    }
    if (!all) return std::nullopt;
    return fields;
  }

  // Walks every record, reading `fields` into `values` before `each(row)`.
  template <class F>
  void walk(const std::vector<pdx::PDField*>& fields, std::vector<std::string>& values, F&& each) {
    values.resize(fields.size());
    for (row_ = 1; !old_.Eof(); ++row_) {
      for (std::size_t i = 0; i < fields.size(); ++i) values[i] = fields[i]->AsString();
      each(row_);
      ++report_.rows_read;
      old_.Next();
    }
    row_ = 0;
    old_.Close();
  }

  // ---- one value against its destination column ----
  // A destination column with what is read from its definition once per
  // table rather than once per value.
  struct Target {
    const ColumnDef& col;
    ColumnType type;
    std::string where;  // "TABLE_4.COLUMN"
  };

  Target target(const builder::TableDef& dest, std::string_view column) const {
    const ColumnDef* col = dest.find_column(column);
    if (!col) throw std::logic_error("no column " + std::string(column) + " in " + dest_table_);
    return {*col, builder::parse_type(col->type), fmt::format("{}.{}", dest_table_, col->name)};
  }

  // The Windows-1252 bytes of `text`; nullopt (with a finding) when it has
  // a character without that form.
  std::optional<std::string> cp1252(std::int64_t row, std::string_view field, std::string_view text,
                                    std::string_view shown) {
    std::string bad;
    std::optional<std::string> bytes = platform::to_cp1252(text, &bad);
    if (!bytes) add(Kind::no_cp1252, row, field, shown, fmt::format("the character \"{}\" cannot be stored", bad));
    return bytes;
  }

  // What the column stores of `text`, as the key comparison sees it;
  // nullopt when the value would stop the run.
  std::optional<std::string> check_value(const Target& target, std::int64_t row, std::string_view field,
                                         const std::string& text, const std::string& shown) {
    const ColumnDef& col = target.col;
    const ColumnType& type = target.type;
    const std::string& where = target.where;
    if (text.empty() && type.kind != ColumnType::Kind::character) {
      if (col.not_null) {
        add(Kind::empty_key, row, field, shown, fmt::format("{} needs a value", where));
        return std::nullopt;
      }
      return std::string();
    }
    const std::optional<std::string> bytes = cp1252(row, field, text, shown);
    if (!bytes) return std::nullopt;
    switch (type.kind) {
      case ColumnType::Kind::character: {
        std::string stored = *bytes;
        if (stored.size() > static_cast<std::size_t>(type.length)) {
          stored.resize(static_cast<std::size_t>(type.length));
          add(Kind::shortened, row, field, shown,
              fmt::format("{} keeps the first {} characters: \"{}\"", where, type.length,
                          platform::from_cp1252(stored)));
        }
        // CHAR values compare without their trailing blanks.
        stored.erase(stored.find_last_not_of(' ') + 1);
        return stored;
      }
      case ColumnType::Kind::integer:
      case ColumnType::Kind::numeric: {
        const std::optional<double> v = conv::read_number(text);
        if (!v) {
          add(Kind::bad_number, row, field, shown, fmt::format("{} is {}", where, col.type));
          return std::nullopt;
        }
        if (type.kind == ColumnType::Kind::integer) {
          if (conv::has_fraction(text)) {
            add(Kind::fraction, row, field, shown,
                fmt::format("{} is INTEGER: whole numbers only, nothing is rounded", where));
            return std::nullopt;
          }
          if (*v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max()) {
            add(Kind::bad_number, row, field, shown, fmt::format("{} is INTEGER: out of range", where));
            return std::nullopt;
          }
          return fmt::format("{}", static_cast<std::int64_t>(*v));
        }
        if (std::fabs(*v) >= std::pow(10.0, type.precision - type.scale))
          add(Kind::beyond_precision, row, field, shown,
              fmt::format("{} is {}: the value is kept but exceeds the declared digits", where, col.type));
        return platform::decimal_text(*v);
      }
      case ColumnType::Kind::date:
        if (!valid_date(text)) {
          add(Kind::bad_date, row, field, shown, fmt::format("{} is a DATE (years 1 to 9999)", where));
          return std::nullopt;
        }
        return *bytes;
      default:
        return *bytes;
    }
  }

  // ---- tables converted by a rule ----
  void check_rule(const conv::TableRule& rule) {
    dest_table_ = platform::ascii_upper(rule.dest_table);
    const builder::TableDef* dest = builder::find_table(rule.dest_table);
    if (!dest) throw std::logic_error("no destination table " + dest_table_);
    if (!open(rule.old_file)) return;
    std::vector<std::string_view> names;
    std::vector<Target> columns;
    for (const conv::Column& c : rule.columns) {
      names.push_back(c.old_field);
      columns.push_back(target(*dest, c.dest_column));
    }
    const auto fields = bind(names);
    if (!fields) return;

    std::unordered_map<std::string, std::int64_t> keys;  // stored key -> first row
    std::vector<std::string> values;
    walk(*fields, values, [&](std::int64_t row) {
      if (rule.skip == conv::Skip::AnyBlank)
        for (const auto& v : values)
          if (platform::is_blank(v)) return;
      std::string key;
      bool key_ok = true;
      for (std::size_t i = 0; i < values.size(); ++i) {
        const conv::Column& c = rule.columns[i];
        if (c.write == conv::Write::TrueFlag) continue;  // stored as 1 or 0
        const auto stored = check_value(columns[i], row, c.old_field, conv::written_text(c.write, values[i]), values[i]);
        if (i < rule.key_columns) {
          key_ok = key_ok && stored.has_value();
          if (stored) key += *stored + '\x1f';
        }
      }
      if (rule.key_columns == 0 || !key_ok) return;
      const auto [at, fresh] = keys.emplace(key, row);
      if (fresh) return;
      const std::string shown = values[0] + (rule.key_columns > 1 ? ", " + values[1] : "");
      if (rule.merge_duplicates)
        add(Kind::merged, row, rule.columns[0].old_field, shown,
            fmt::format("the same as row {} in {}: stored once", at->second, dest_table_));
      else
        add(Kind::key_clash, row, rule.columns[0].old_field, shown,
            fmt::format("the same key as row {} in {}", at->second, dest_table_));
    });
  }

  // ---- the job-search table ----
  // Its records pass through temporary files (whose fields must take them)
  // into JSEARCH_4 with fresh keys, upper-cased.
  void check_job_search() {
    dest_table_ = std::string(kJobSearchTable);
    const builder::TableDef* dest = builder::find_table(kJobSearchTable);
    if (!dest) throw std::logic_error("no destination table JSEARCH_4");
    if (!open(kJobSearchFile)) return;
    std::vector<std::string_view> names;
    std::vector<Target> columns;
    for (std::size_t i = 0; i < jobsearch::kCarried; ++i) {
      names.push_back(jobsearch::kLayout[i].name);
      columns.push_back(target(*dest, jobsearch::kLayout[i].dest_column));
    }
    const auto fields = bind(names);
    if (!fields) return;
    std::vector<std::string> values;
    walk(*fields, values, [&](std::int64_t row) {
      for (std::size_t i = 1; i < jobsearch::kCarried; ++i) {  // PK is numbered afresh
        const jobsearch::Field& f = jobsearch::kLayout[i];
        if (!fits_temporary(f, row, values[i])) continue;
        std::string text = values[i];
        if (f.type == pdx::FieldType::Logical && text.empty()) text = "False";
        check_value(columns[i], row, f.name, platform::upper(text), values[i]);
      }
    });
  }

  bool fits_temporary(const jobsearch::Field& f, std::int64_t row, const std::string& v) {
    const bool alpha = f.type == pdx::FieldType::Alpha;
    if (alpha ? v.empty() : platform::is_blank(v)) {
      if (f.required) add(Kind::missing_required, row, f.name, v, "the job-search conversion needs a value");
      return !f.required;
    }
    if (alpha) {
      const auto bytes = cp1252(row, f.name, v, v);
      if (!bytes) return false;
      if (bytes->size() > static_cast<std::size_t>(f.size)) {
        add(Kind::too_long, row, f.name, v, fmt::format("the temporary field takes {} characters", f.size));
        return false;
      }
      return true;
    }
    std::array<unsigned char, 32> buffer{};
    try {
      pdx::values::encode(f.type, platform::trim(v), buffer.data());
    } catch (const pdx::values::Invalid& e) {
      add(f.type == pdx::FieldType::Date ? Kind::bad_date : Kind::bad_number, row, f.name, v,
          std::string("the temporary field cannot take it: ") + e.what());
      return false;
    }
    std::string_view date;
    std::int64_t ms_of_day = 0;
    if (f.type == pdx::FieldType::Date && pdx::values::split_date_time(platform::trim(v), date, ms_of_day) &&
        ms_of_day != 0)
      add(Kind::time_dropped, row, f.name, v, fmt::format("the temporary field keeps the date only: {} arrives", date));
    return true;
  }

  const Options& o_;
  Report report_;
  pdx::PDTable old_;
  std::string table_;
  std::string dest_table_;
  std::int64_t row_ = 0;
};

}  // namespace

bool stops_run(Kind kind) { return kInfo[static_cast<std::size_t>(kind)].stops; }
const char* kind_name(Kind kind) { return kInfo[static_cast<std::size_t>(kind)].name; }

std::string format_finding(const Finding& f) {
  std::string out = f.table;
  if (f.row > 0) out += fmt::format(", row {}", f.row);
  if (!f.field.empty()) out += ", " + f.field;
  if (f.row > 0) out += fmt::format(": \"{}\"", f.value);
  out += fmt::format(" - {}{}: {}", kind_name(f.kind), stops_run(f.kind) ? " (stops the run)" : "", f.detail);
  return out;
}

bool Report::stops() const {
  if (destination_stops) return true;
  for (std::size_t k = 0; k < kKinds; ++k)
    if (counts[k] > 0 && stops_run(static_cast<Kind>(k))) return true;
  return false;
}

std::vector<std::string> Report::summary_lines() const {
  std::vector<std::string> lines;
  lines.push_back(fmt::format("Records read: {}", rows_read));
  for (std::size_t k = 0; k < kKinds; ++k)
    if (counts[k] > 0)
      lines.push_back(fmt::format("{}: {}{}", kind_name(static_cast<Kind>(k)), counts[k],
                                  stops_run(static_cast<Kind>(k)) ? " (stops the run)" : ""));
  if (!destination.empty()) lines.push_back(destination);
  lines.push_back(stops() ? "The run would stop: see the findings above."
                          : "Nothing would stop the run.");
  return lines;
}

namespace {

// Two data sets can give the same database name: the check says when the
// run would replace a database that is already there.
void describe_destination(const std::string& directory, Report& report) {
  const std::string name = Tconversion_form::database_name(directory);
  if (name.empty()) return;
  const std::string file = Tconversion_form::destination_file(name);
  const std::string path = platform::map_path(file).string();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  const std::string kind = Tconversion_form::odd_file_kind(file);
  if (kind == "a symbolic link") {
    report.destination = fmt::format("The run will replace the link {} (the file it points to stays as it is).", path);
  } else if (!kind.empty()) {
    report.destination = fmt::format("In place of the database {} is {}, not a database file: the run would be refused.",
                                     path, kind);
    report.destination_stops = true;
  } else {
    std::tm local{};
    ::localtime_r(&st.st_mtime, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    report.destination = fmt::format("The run will replace the database {}, last changed {}.", path, when);
  }
}

}  // namespace

Report run(const Options& options) {
  Report report = Checker(options).run();
  if (!options.on_server) describe_destination(options.directory, report);
  return report;
}

}  // namespace qv::check
