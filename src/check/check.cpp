#include "check/check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include <fmt/format.h>

#include "run/context.h"
#include "jobsearch/jobsearch.h"
#include "paradox/table.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "registry/values.h"

namespace qv::check {

namespace {

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

// The finding for a value's fate.
Kind kind_of(registry::Fate fate) {
  using registry::Fate;
  switch (fate) {
    case Fate::shortened: return Kind::shortened;
    case Fate::beyond_precision: return Kind::beyond_precision;
    case Fate::time_dropped: return Kind::time_dropped;
    case Fate::missing_required: return Kind::missing_required;
    case Fate::too_long: return Kind::too_long;
    case Fate::empty_key: return Kind::empty_key;
    case Fate::no_cp1252: return Kind::no_cp1252;
    case Fate::bad_date: return Kind::bad_date;
    case Fate::bad_number: return Kind::bad_number;
    case Fate::fraction: return Kind::fraction;
    case Fate::kept: break;
  }
  throw std::logic_error("a value kept as it is is no finding");
}

class Checker {
 public:
  explicit Checker(const Options& o) : o_(o) {}

  Report run() {
    for (std::size_t i = 0; i < registry::kItems; ++i) {
      if (!o_.ticks.empty() && (i >= o_.ticks.size() || !o_.ticks[i])) continue;
      const registry::Item& item = registry::items()[i];
      try {
        if (item.rule)
          check_rule(item);
        else
          check_job_search(item);
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

  // ---- one value ----
  // Adds the finding for a value's outcome at one step; false when the run
  // stops on it.
  bool note(const registry::Outcome& out, std::int64_t row, std::string_view field, std::string_view shown) {
    if (out.fate != registry::Fate::kept) add(kind_of(out.fate), row, field, shown, out.detail);
    return !registry::stops(out.fate);
  }

  // What the column keeps of the value read as `value` and given to it as
  // `text`, as the key comparison sees it; nullopt when the run stops on it.
  std::optional<std::string> stored(const registry::Target& target, std::int64_t row, std::string_view field,
                                    const std::string& text, const std::string& value) {
    registry::Outcome out = registry::stored(target, text);
    if (!note(out, row, field, value)) return std::nullopt;
    return std::move(out.text);
  }

  // ---- tables converted by a rule ----
  void check_rule(const registry::Item& item) {
    const registry::TableRule& rule = *item.rule;
    dest_table_ = item.dest_table;
    if (!open(item.old_file)) return;
    std::vector<std::string_view> names;
    for (const registry::Column& c : rule.columns) names.push_back(c.old_field);
    const std::vector<registry::Target> columns = registry::targets(rule, *item.definition);
    const auto fields = bind(names);
    if (!fields) return;

    std::unordered_map<std::string, std::int64_t> keys;  // stored key -> first row
    std::vector<std::string> values;
    walk(*fields, values, [&](std::int64_t row) {
      if (registry::skipped(rule, values)) return;
      std::string key;
      bool key_ok = true;
      for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string_view field = rule.columns[i].old_field;
        const registry::Outcome posted = registry::posted(columns[i], values[i]);
        const auto kept =
            note(posted, row, field, values[i]) ? stored(columns[i], row, field, posted.text, values[i]) : std::nullopt;
        if (i < rule.key_columns) {
          key_ok = key_ok && kept.has_value();
          if (kept) key += *kept + '\x1f';
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
  void check_job_search(const registry::Item& item) {
    dest_table_ = item.dest_table;
    if (!open(item.old_file)) return;
    std::vector<std::string_view> names;
    std::vector<registry::Target> columns;
    for (std::size_t i = 0; i < jobsearch::kCarried; ++i) {
      names.push_back(jobsearch::kLayout[i].name);
      columns.push_back(registry::target(*item.definition, jobsearch::kLayout[i].dest_column));
    }
    const auto fields = bind(names);
    if (!fields) return;
    std::vector<std::string> values;
    walk(*fields, values, [&](std::int64_t row) {
      for (std::size_t i = 1; i < jobsearch::kCarried; ++i) {  // PK is numbered afresh
        const jobsearch::Field& f = jobsearch::kLayout[i];
        const registry::Outcome temp = registry::through_temporary(f, values[i]);
        if (note(temp, row, f.name, values[i]))
          stored(columns[i], row, f.name, registry::loaded_text(f, temp.text), values[i]);
      }
    });
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

namespace {
// At most `n` characters of a text, "..." marking a cut.
std::string cut(const std::string& text, std::size_t n) {
  if (platform::utf8_length(text) <= n) return text;
  return std::string(platform::utf8_prefix(text, n - 3)) + "...";
}
}  // namespace

bool DetailLines::joins(const Finding& f) const {
  const std::size_t open = open_[static_cast<std::size_t>(f.kind)];
  if (open == SIZE_MAX || f.row <= 0) return false;
  const Line& l = lines_[open];
  return l.first.table == f.table && l.first.field == f.field && l.last_row + 1 == f.row;
}

void DetailLines::add(const Finding& f) {
  std::size_t& open = open_[static_cast<std::size_t>(f.kind)];
  if (!joins(f)) {
    open = lines_.size();
    lines_.push_back({f, f.row, 0});
  }
  lines_[open].last_row = f.row;
  ++lines_[open].rows;
}

std::vector<std::string> DetailLines::lines() const {
  std::vector<std::string> out;
  for (const Line& l : lines_) {
    Finding f = l.first;
    f.value = cut(f.value, 40);  // the detail stays whole: it may name a file
    std::string text = format_finding(f);
    if (l.rows > 1) {
      const std::string one = fmt::format("{}, row {}", f.table, f.row);
      text.replace(0, one.size(), fmt::format("{}, rows {}-{}", f.table, f.row, l.last_row));
      text += fmt::format(" ({} rows, the first shown)", l.rows);
    }
    out.push_back(std::move(text));
  }
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
  return lines;
}

namespace {

// The run creates the destination folder with its missing parents: the
// nearest one that exists must let it write there.
void describe_folder(const std::string& folder, Report& report) {
  std::filesystem::path at = platform::map_path(folder);
  std::error_code ec;
  while (!std::filesystem::exists(at, ec) && at.has_parent_path() && at.parent_path() != at) at = at.parent_path();
  if (::access(at.c_str(), W_OK | X_OK) == 0) return;
  report.destination = fmt::format("The folder {} cannot be written ({}): the run would stop.", at.string(),
                                   std::strerror(errno));
  report.destination_stops = true;
}

// Two data sets can give the same database name: the check says when the
// run would replace a database that is already there.
void describe_destination(const Options& options, Report& report) {
  const std::string name =
      RunContext::chosen_database_name(options.directory, options.database_name);
  if (name.empty()) return;
  if (!platform::valid_utf8(name)) {
    report.destination = fmt::format(
        "The database name \"{}\" is not UTF-8 text (a folder name in an old code page): the database engine cannot "
        "take it as a file name, so the run would stop. Rename the folder.",
        platform::printable(name));
    report.destination_stops = true;
    return;
  }
  if (options.on_server) return;
  const std::string file = RunContext::destination_file(name);
  const std::string path = platform::map_path(file).string();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    describe_folder(RunContext::kDestinationDirectory, report);
    if (report.destination.empty() && options.existing != Existing::Deleted)
      report.destination = fmt::format("The run will create the database {}.", path);
    return;
  }
  const std::string kind = RunContext::odd_file_kind(file);
  if (kind == "a symbolic link" && options.existing == Existing::Deleted) {
    report.destination = fmt::format("The run will replace the link {} (the file it points to stays as it is).", path);
    return;
  }
  if (!kind.empty() && kind != "a symbolic link") {
    report.destination = fmt::format("In place of the database {} is {}, not a database file: the run would be refused.",
                                     path, kind);
    report.destination_stops = true;
    return;
  }
  if (kind.empty() && platform::file_locked(file)) {
    report.destination = fmt::format("The database {} is in use by another program: the run would be refused.", path);
    report.destination_stops = true;
    return;
  }
  std::tm local{};
  ::localtime_r(&st.st_mtime, &local);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  switch (options.existing) {
    case Existing::Deleted:
      report.destination = fmt::format("The run will replace the database {}, last changed {}.", path, when);
      break;
    case Existing::Refused:
      report.destination = fmt::format(
          "The database {} (last changed {}) is already there: the run would be refused. Give --replace to replace it.",
          path, when);
      report.destination_stops = true;
      break;
    case Existing::Replaced:
      report.destination = fmt::format(
          "The run will build a new database beside {} (last changed {}) and put it in its place once it completes.",
          path, when);
      break;
  }
  describe_folder(RunContext::kDestinationDirectory, report);
}

}  // namespace

Report run(const Options& options) {
  Report report = Checker(options).run();
  describe_destination(options, report);
  return report;
}

}  // namespace qv::check
