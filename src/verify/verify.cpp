#include "verify/verify.h"

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "builder/schema.h"
#include "run/row_errors.h"
#include "datamodule/datamodule.h"
#include "firebird/ib.h"
#include "run/context.h"
#include "jobsearch/jobsearch.h"
#include "paradox/table.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "registry/values.h"
#include "verify/structure.h"

namespace qv::verify {

namespace {

constexpr const char* kNoRow = "(no row)";

// One destination table as verify sees it: its columns, the old field each is
// read from, and how the run turns a value into the text it posts.
struct Plan {
  std::string old_file;
  std::string dest_table;
  std::vector<std::string> old_fields, dest_columns;
  std::size_t key_columns = 0;  // the first n columns form the key
  bool sequence_key = false;    // the key is the row's place (1, 2, ...)
  bool merge = false;
  // The texts posted for one old record, written over `out` (whose strings
  // keep their room from record to record); false when the run leaves it
  // out. Raises (naming the field) where the run would stop.
  std::function<bool(const std::vector<std::string>&, std::int64_t, std::vector<std::string>& out)> texts;
  // The columns the run leaves to what the table definition gives them
  // (their default, else NULL), read after dest_columns through an
  // expression that is NULL while the column holds that.
  std::vector<std::string> left_columns, left_reads, left_values;
};

// Adds to `plan` the columns of its table that the run does not write and
// that the database has (`found`, upper case).
void add_left_columns(Plan& plan, const std::set<std::string>& found) {
  const builder::TableDef* def = builder::find_table(plan.dest_table);
  if (!def) return;
  for (const builder::ColumnDef& c : def->columns) {
    const std::string name(c.name);
    if (!found.count(name) ||
        std::find(plan.dest_columns.begin(), plan.dest_columns.end(), name) != plan.dest_columns.end())
      continue;
    std::string read;
    if (builder::parse_type(c.type).kind == builder::ColumnType::Kind::text_blob)
      read = fmt::format("IIF({0} IS NULL, NULL, CAST(SUBSTRING({0} FROM 1 FOR 80) AS VARCHAR(80)))", name);
    else if (c.default_value.empty())
      read = name;
    else
      read = fmt::format("IIF({0} IS NOT DISTINCT FROM {1}, NULL, {0})", name, c.default_value);
    plan.left_columns.push_back(name);
    plan.left_reads.push_back(std::move(read));
    plan.left_values.push_back(c.default_value.empty() ? "NULL (the run leaves it empty)"
                                                       : fmt::format("{} (the column's default)", c.default_value));
  }
}

Plan frame_plan(const registry::Item& item) {
  const registry::TableRule& rule = *item.rule;
  Plan p;
  p.old_file = item.old_file;
  p.dest_table = item.dest_table;
  for (const registry::Column& c : rule.columns) {
    p.old_fields.emplace_back(c.old_field);
    p.dest_columns.push_back(platform::ascii_upper(c.dest_column));
  }
  p.key_columns = rule.key_columns;
  p.merge = rule.merge_duplicates;
  p.texts = [&rule, targets = registry::targets(rule, *item.definition)](
                const std::vector<std::string>& values, std::int64_t, std::vector<std::string>& out) {
    if (registry::skipped(rule, values)) return false;
    out.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      registry::Outcome posted = registry::posted(targets[i], values[i]);
      if (posted.fate == registry::Fate::fraction)
        throw std::runtime_error(fmt::format("{}: {}", rule.columns[i].old_field,
                                             registry::fraction_refused(targets[i], posted.text)));
      out[i] = std::move(posted.text);
    }
    return true;
  };
  return p;
}

// The job-search records pass through the temporary files' typed fields and
// arrive upper-cased, keyed 1, 2, 3, ... in the old table's order.
Plan jsearch_plan(const registry::Item& item) {
  Plan p;
  p.old_file = item.old_file;
  p.dest_table = item.dest_table;
  for (std::size_t i = 0; i < jobsearch::kCarried; ++i) {
    p.old_fields.emplace_back(jobsearch::kLayout[i].name);
    p.dest_columns.emplace_back(jobsearch::kLayout[i].dest_column);
  }
  p.key_columns = 1;
  p.sequence_key = true;
  p.texts = [](const std::vector<std::string>& values, std::int64_t row, std::vector<std::string>& out) {
    out.resize(values.size());
    const fmt::format_int key(row);
    out[0].assign(key.data(), key.size());
    for (std::size_t i = 1; i < values.size(); ++i) {
      const auto& f = jobsearch::kLayout[i];
      const registry::Outcome temp = registry::through_temporary(f, values[i]);
      if (registry::stops(temp.fate)) throw std::runtime_error(fmt::format("{}: {}", f.name, temp.detail));
      out[i].clear();
      registry::append_loaded_text(f, temp.text, out[i]);
    }
    return true;
  };
  return p;
}

std::string key_bytes(const fb::TypedRow& row, std::size_t n) {
  std::string k;
  for (std::size_t i = 0; i < n && i < row.size(); ++i) {
    k += row[i] ? 'v' : 'n';
    if (row[i]) k += std::to_string(row[i]->size()) + ':' + *row[i];
  }
  return k;
}

// The stored rows of a table, fetched in key order on a thread of its own
// through an attachment of its own, a few batches ahead of the reader, so
// that the engine's fetch overlaps the reading and converting of the old
// table (the job-search table's verify streams both sides).
class StoredRows {
 public:
  StoredRows(const fb::IBDatabase& like, const std::string& table, const std::vector<std::string>& columns,
             const std::string& order) {
    db_.Params = like.Params;
    db_.DatabaseName = like.DatabaseName;
    db_.RemoteServer = like.RemoteServer;
    db_.SQLDialect = like.SQLDialect;
    // The attachment is made on the thread too, while the caller opens the
    // old table and prepares its own reading.
    thread_ = std::thread([this, table, columns, order] { fetch_all(table, columns, order); });
  }
  ~StoredRows() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  StoredRows(const StoredRows&) = delete;
  StoredRows& operator=(const StoredRows&) = delete;

  // The next stored row; false after the last. Raises what the fetch raised.
  // The row given back in `row` goes to the fetch with its batch, so that
  // the values' strings are reused rather than made anew for every row.
  bool Next(fb::TypedRow& row) {
    if (at_ == batch_.count) {
      std::unique_lock lock(mutex_);
      if (!batch_.rows.empty()) spare_.push_back(std::exchange(batch_, {}));
      changed_.wait(lock, [&] { return !ready_.empty() || done_; });
      if (ready_.empty()) {
        if (error_) std::rethrow_exception(error_);
        return false;
      }
      batch_ = std::move(ready_.front());
      ready_.pop_front();
      at_ = 0;
      changed_.notify_all();
    }
    row.swap(batch_.rows[at_++]);
    return true;
  }

 private:
  static constexpr std::size_t kBatch = 512, kAhead = 4;

  struct Batch {
    std::vector<fb::TypedRow> rows;
    std::size_t count = 0;  // rows filled
  };

  void fetch_all(const std::string& table, const std::vector<std::string>& columns, const std::string& order) {
    try {
      db_.Open();
      reader_.emplace(db_, table, columns, order);
      for (bool more = true; more;) {
        Batch batch;
        {
          std::lock_guard lock(mutex_);
          if (!spare_.empty()) {
            batch = std::move(spare_.back());
            spare_.pop_back();
          }
        }
        batch.rows.resize(kBatch);
        batch.count = 0;
        while (batch.count < kBatch && (more = reader_->Next(batch.rows[batch.count]))) ++batch.count;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return ready_.size() < kAhead || cancelled_; });
        if (cancelled_) return;
        if (batch.count) ready_.push_back(std::move(batch));
        changed_.notify_all();
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      error_ = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }

  fb::IBDatabase db_;
  std::optional<fb::IBTypedReader> reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch> ready_;
  std::vector<Batch> spare_;  // batches read, for the fetch to fill again
  bool done_ = false, cancelled_ = false;
  std::exception_ptr error_;
  Batch batch_;  // the consumer's, taken from ready_
  std::size_t at_ = 0;
  std::thread thread_;  // last: started once everything above exists
};

// The old rows a run's reject file lists, per old file (lower case).
using RejectedRows = std::map<std::string, std::set<std::int64_t>>;
// Old records whose texts go to the engine together for their values.
constexpr std::size_t kConvertRows = 2048;

class TableVerifier {
 public:
  TableVerifier(const Plan& plan, fb::IBDatabase& db, const Options& o, const RejectedRows& rejected)
      : plan_(plan), db_(db), o_(o) {
    result_.table = plan.dest_table;
    if (const auto it = rejected.find(platform::ascii_lower(plan.old_file)); it != rejected.end()) rejected_ = &it->second;
  }

  TableResult run() {
    pdx::PDTable old;
    old.Directory = o_.directory;
    old.TableName = plan_.old_file;
    old.CodePageOverride = o_.codepage;
    try {
      old.Open();
    } catch (const std::exception& e) {
      note(plan_.old_file, "", "(the old table)", e.what());
      result_.missing = 1;  // nothing can be expected: count the table as missing
      return result_;
    }
    std::optional<fb::IBTypedReader> reader;
    try {
      const std::string order = plan_.sequence_key ? plan_.dest_columns[0] : std::string();
      std::vector<std::string> reads = plan_.dest_columns;
      reads.insert(reads.end(), plan_.left_reads.begin(), plan_.left_reads.end());
      // The fetch starts first; a table that is missing is found by the
      // reader below, and the fetch's own failure then goes unread.
      if (plan_.sequence_key) stored_rows_.emplace(db_, plan_.dest_table, reads, order);
      reader.emplace(db_, plan_.dest_table, reads, order);
    } catch (const std::exception& e) {
      // A run stopped before the table was made: every row is missing.
      note("", "", "(the table is missing from the database)", e.what());
      for (; !old.Eof(); old.Next()) ++result_.expected;
      result_.missing = result_.expected;
      return result_;
    }
    reader_ = &*reader;
    std::vector<pdx::PDField*> fields;
    for (const auto& f : plan_.old_fields) fields.push_back(&old.FieldByName(f));
    std::vector<std::string> values(fields.size());
    for (std::int64_t row = 1; !old.Eof(); ++row, old.Next()) {
      for (std::size_t i = 0; i < fields.size(); ++i) values[i] = fields[i]->AsString();
      const std::size_t at = waiting_rows_.size();
      if (at == waiting_texts_.size()) waiting_texts_.emplace_back();
      try {
        // The key a row gets counts the rows before it that pass the
        // temporary file (one the table refuses keeps its key, unused).
        if (!plan_.texts(values, keyed_ + 1, waiting_texts_[at])) continue;
      } catch (const std::exception& e) {
        convert_batch();
        refused(row, e.what());
        continue;
      }
      ++keyed_;
      waiting_rows_.push_back(row);
      if (waiting_rows_.size() == kConvertRows) convert_batch();
    }
    convert_batch();
    finish();
    return result_;
  }

 private:
  // The run stops at a refused row, or leaves it out when its reject file
  // lists it: it cannot arrive.
  void refused(std::int64_t old_row, const std::string& why) {
    std::string key = fmt::format("{} row {}", plan_.old_file, old_row);
    if (rejected_ && rejected_->count(old_row)) {
      ++result_.refused;
      if (result_.refused_shown.size() < o_.max_shown)
        result_.refused_shown.push_back({plan_.dest_table, std::move(key), "", "(refused by the run)", why});
      return;
    }
    ++result_.expected;
    ++result_.missing;
    note(std::move(key), "", "(refused by the run)", why);
  }

  // The waiting rows' texts in the columns' types, in few calls of the
  // engine. When it refuses one, each row goes alone, so that the refused
  // row is named (its key stays unused, as in the run).
  void convert_batch() {
    if (waiting_rows_.empty()) return;
    // Only a short batch (the last, or one cut by a refused row) drops texts
    // kept for the next.
    waiting_texts_.resize(waiting_rows_.size());
    bool converted = true;
    try {
      reader_->ConvertRows(waiting_texts_, converted_);
    } catch (const std::exception&) {
      converted = false;
      converted_.resize(waiting_texts_.size());
    }
    for (std::size_t i = 0; i < waiting_texts_.size(); ++i) {
      if (!converted) {
        try {
          reader_->Convert(waiting_texts_[i], converted_[i]);
        } catch (const std::exception& e) {
          refused(waiting_rows_[i], e.what());
          continue;
        }
      }
      add_expected(converted_[i], waiting_rows_[i]);
    }
    waiting_rows_.clear();
  }

  struct Expected {
    fb::TypedRow row;
    bool matched = false;
  };

  void note(std::string key, std::string column, std::string expected, std::string found) {
    if (result_.shown.size() < o_.max_shown)
      result_.shown.push_back({plan_.dest_table, std::move(key), std::move(column), std::move(expected), std::move(found)});
  }

  std::string key_text(const fb::TypedRow& row) const {
    if (plan_.key_columns == 0) return {};
    std::string out;
    for (std::size_t i = 0; i < plan_.key_columns; ++i)
      out += fmt::format("{}{} '{}'", i ? ", " : "", column_name(i), reader_->Display(i, row[i]));
    return out;
  }

  const std::string& column_name(std::size_t i) const {
    return i < plan_.dest_columns.size() ? plan_.dest_columns[i] : plan_.left_columns.at(i - plan_.dest_columns.size());
  }

  std::string expected_text(std::size_t i, const fb::TypedValue& v) const {
    return i < plan_.dest_columns.size() ? reader_->Display(i, v) : plan_.left_values.at(i - plan_.dest_columns.size());
  }

  // The columns the run writes, and those it leaves empty that hold a value.
  std::string row_text(const fb::TypedRow& row) const {
    std::string out;
    for (std::size_t i = 0; i < row.size(); ++i)
      if (i < plan_.dest_columns.size() || row[i])
        out += fmt::format("{}{}={}", i ? ", " : "", column_name(i), reader_->Display(i, row[i]));
    return out;
  }

  // `key` names the row; it is made only for a difference.
  template <class Key>
  void compare(const fb::TypedRow& expected, const fb::TypedRow& found, Key&& key) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (expected[i] == found[i]) continue;
      ++result_.differing;
      note(key(), column_name(i), expected_text(i, expected[i]), reader_->Display(i, found[i]));
    }
  }

  void missing(const fb::TypedRow& row, const std::string& key) {
    ++result_.missing;
    note(key, "", row_text(row), kNoRow);
  }

  void extra(const fb::TypedRow& row, const std::string& key) {
    ++result_.extra;
    note(key, "", kNoRow, row_text(row));
  }

  // Keyed tables keep their expected rows by key (a merged lookup value
  // is the first of its key); the job-search table is compared as it
  // streams, both sides in key order (`row` is kept only where it is kept
  // whole: its strings are then taken).
  void add_expected(fb::TypedRow& row, std::int64_t old_row) {
    if (plan_.sequence_key) {
      ++result_.expected;
      stream_until(row);
      return;
    }
    if (plan_.key_columns == 0) {
      ++result_.expected;
      keyless_.push_back({std::move(row)});
      return;
    }
    std::string k = key_bytes(row, plan_.key_columns);
    if (by_key_.count(k)) {
      if (plan_.merge) return;  // merged into the value already there
      // A key clash stops the run.
      if (rejected_ && rejected_->count(old_row)) return refused(old_row, key_text(row) + " is already there");
      ++result_.expected;
      ++result_.missing;
      note(fmt::format("{} row {}", plan_.old_file, old_row), "", key_text(row) + " (a key clash stops the run)", kNoRow);
      return;
    }
    ++result_.expected;
    order_.push_back(k);
    by_key_.emplace(std::move(k), Expected{std::move(row)});
  }

  static std::int64_t sequence(const fb::IBTypedReader& r, const fb::TypedValue& v) {
    return v ? std::stoll(r.Display(0, v)) : 0;
  }

  bool fetch() {
    if (!have_stored_ && !stored_done_) {
      have_stored_ = stored_rows_ ? stored_rows_->Next(stored_) : reader_->Next(stored_);
      stored_done_ = !have_stored_;
      if (have_stored_) ++result_.found;
    }
    return have_stored_;
  }

  void stream_until(const fb::TypedRow& expected) {
    // Nearly always the next stored row has the same key, which equal bytes
    // show without reading the number.
    const bool same = fetch() && stored_[0] == expected[0];
    const std::int64_t want = same ? 0 : sequence(*reader_, expected[0]);
    while (!same && fetch() && sequence(*reader_, stored_[0]) < want) {
      extra(stored_, key_text(stored_));
      have_stored_ = false;
    }
    if (same || (have_stored_ && sequence(*reader_, stored_[0]) == want)) {
      compare(expected, stored_, [&] { return key_text(expected); });
      have_stored_ = false;
    } else {
      missing(expected, key_text(expected));
    }
  }

  void finish() {
    if (plan_.sequence_key) {
      while (fetch()) {
        extra(stored_, key_text(stored_));
        have_stored_ = false;
      }
      return;
    }
    fb::TypedRow row;
    std::size_t position = 0;
    while (reader_->Next(row)) {
      ++result_.found;
      if (plan_.key_columns == 0) {
        // No key: rows are paired in the order they were stored.
        if (position < keyless_.size()) {
          keyless_[position].matched = true;
          compare(keyless_[position].row, row, [&] { return fmt::format("row {}", position + 1); });
        } else {
          extra(row, fmt::format("row {}", position + 1));
        }
        ++position;
        continue;
      }
      auto it = by_key_.find(key_bytes(row, plan_.key_columns));
      if (it == by_key_.end() || it->second.matched) {
        extra(row, key_text(row));
        continue;
      }
      it->second.matched = true;
      compare(it->second.row, row, [&] { return key_text(row); });
    }
    for (std::size_t i = 0; i < keyless_.size(); ++i)
      if (!keyless_[i].matched) missing(keyless_[i].row, fmt::format("row {}", i + 1));
    for (const std::string& k : order_) {
      const Expected& e = by_key_.at(k);
      if (!e.matched) missing(e.row, key_text(e.row));
    }
  }

  const Plan& plan_;
  fb::IBDatabase& db_;
  const Options& o_;
  TableResult result_;
  fb::IBTypedReader* reader_ = nullptr;
  std::optional<StoredRows> stored_rows_;  // the job-search table's, fetched ahead
  std::map<std::string, Expected> by_key_;
  std::vector<std::string> order_;
  std::vector<Expected> keyless_;
  fb::TypedRow stored_;
  bool have_stored_ = false, stored_done_ = false;
  std::int64_t keyed_ = 0;  // rows given a key (through the temporary file)
  const std::set<std::int64_t>* rejected_ = nullptr;  // old rows the reject file lists
  // Old records waiting for the engine to convert their texts.
  std::vector<std::int64_t> waiting_rows_;
  std::vector<std::vector<std::string>> waiting_texts_;
  std::vector<fb::TypedRow> converted_;
};

}  // namespace

bool Report::clean() const {
  if (!structure.empty()) return false;
  for (const auto& t : tables)
    if (!t.clean()) return false;
  return true;
}

namespace {
std::string difference_line(const Difference& d) {
  return fmt::format("    {}{}{}{}: expected {}, found {}", d.table, d.key.empty() ? "" : " ", d.key,
                     d.column.empty() ? "" : ", " + d.column, d.expected, d.found);
}

nlohmann::json difference_json(const Difference& d) {
  return {{"table", d.table}, {"key", d.key}, {"column", d.column}, {"expected", d.expected}, {"found", d.found}};
}
}  // namespace

std::vector<std::string> Report::lines() const {
  std::vector<std::string> out;
  out.push_back(structure.empty() ? "Structure: as a run makes it"
                                  : fmt::format("Structure: {} differences", structure.size()));
  for (const auto& d : structure) out.push_back(difference_line(d));
  TableResult total;
  for (const auto& t : tables) {
    out.push_back(fmt::format("{:<15} expected {:>8}  found {:>8}  missing {:>6}  extra {:>6}  differing values {:>6}{}",
                              t.table, t.expected, t.found, t.missing, t.extra, t.differing,
                              t.refused ? fmt::format("  refused by the run {:>6}", t.refused) : ""));
    for (const auto& d : t.shown) out.push_back(difference_line(d));
    for (const auto& d : t.refused_shown)
      out.push_back(fmt::format("    {} {}{}: refused by the run ({}): {}", d.table, d.key,
                                d.column.empty() ? "" : ", " + d.column, reject_file, d.found));
    total.refused += t.refused;
    total.expected += t.expected;
    total.found += t.found;
    total.missing += t.missing;
    total.extra += t.extra;
    total.differing += t.differing;
  }
  out.push_back(fmt::format("Total: {} tables, expected {}, found {}, missing {}, extra {}, differing values {}{}{}: {}",
                            tables.size(), total.expected, total.found, total.missing, total.extra, total.differing,
                            structure.empty() ? "" : fmt::format(", structure differences {}", structure.size()),
                            total.refused ? fmt::format(", refused by the run {}", total.refused) : "",
                            clean() ? "every value arrived" : "DIFFERENCES FOUND"));
  return out;
}

nlohmann::json Report::to_json() const {
  nlohmann::json j;
  j["database"] = database;
  j["reject_file"] = reject_file;
  j["clean"] = clean();
  j["structure"] = nlohmann::json::array();
  for (const auto& d : structure) j["structure"].push_back(difference_json(d));
  j["tables"] = nlohmann::json::array();
  for (const auto& t : tables) {
    nlohmann::json jt{{"table", t.table},     {"expected", t.expected}, {"found", t.found},
                      {"missing", t.missing}, {"extra", t.extra},       {"differing", t.differing}};
    jt["differences"] = nlohmann::json::array();
    for (const auto& d : t.shown) jt["differences"].push_back(difference_json(d));
    jt["refused"] = t.refused;
    jt["refused_rows"] = nlohmann::json::array();
    for (const auto& d : t.refused_shown)
      jt["refused_rows"].push_back({{"key", d.key}, {"field", d.column}, {"reason", d.found}});
    j["tables"].push_back(std::move(jt));
  }
  return j;
}

Report run(const Options& options) {
  const std::string dbname =
      RunContext::chosen_database_name(options.directory, options.database_name);
  if (dbname.empty()) throw Refused("The folder " + options.directory + " names no database (no \\db\\<name> in it)");
  fb::IBDatabase db;
  db.Params = admin_login();
  RunContext::aim_at_database(db, dbname, options.server ? &*options.server : nullptr);
  const std::string name = db.real_path();
  std::error_code ec;
  if (!options.server && !std::filesystem::is_regular_file(name, ec))
    throw Refused("There is no database " + name + " to verify");
  if (!options.server && platform::file_locked(name))
    throw Refused("The database " + name + " is in use by another program: it cannot be verified now");
  try {
    db.Open();
  } catch (const fb::Error& e) {
    if (e.is_no_such_file()) throw Refused("There is no database " + name + " to verify");
    throw;
  }
  Report report;
  report.database = name;
  // The rows the run left out, from its reject file.
  RejectedRows rejected;
  report.reject_file = options.reject_file;
  if (report.reject_file.empty()) {
    const std::filesystem::path beside = platform::map_path(conv::reject_file(dbname));
    if (std::filesystem::exists(beside, ec)) report.reject_file = beside.string();
  }
  if (!report.reject_file.empty())
    for (const conv::RefusedRow& r : conv::read_rejects(report.reject_file))
      rejected[platform::ascii_lower(r.old_file)].insert(r.row);
  // The structure is compared whole whatever tables are ticked: a run
  // always makes every table and index.
  Structure structure = compare_structure(db);
  report.structure = std::move(structure.differences);
  for (std::size_t i = 0; i < registry::kItems; ++i) {
    if (!options.ticks.empty() && !options.ticks[i]) continue;
    const registry::Item& item = registry::items()[i];
    Plan plan = item.rule ? frame_plan(item) : jsearch_plan(item);
    add_left_columns(plan, structure.columns[plan.dest_table]);
    report.tables.push_back(TableVerifier(plan, db, options, rejected).run());
  }
  db.Close();
  return report;
}

}  // namespace qv::verify
