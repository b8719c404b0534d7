#include "converters/frame.h"

#include <fmt/format.h>

#include "firebird/ib.h"
#include "paradox/table.h"
#include "platform/text.h"
#include "registry/values.h"
#include "run/log_lines.h"
#include "datamodule/datamodule.h"

namespace qv::conv {

namespace {

using registry::Column;
using registry::TableRule;
using registry::Write;

std::string with_context(std::string_view file, std::int64_t row, std::string_view field, std::string_view what) {
  std::string where(file);
  auto add = [&where](std::string_view part) {
    if (!where.empty()) where += ", ";
    where += part;
  };
  if (row > 0) add(fmt::format("row {}", row));
  if (!field.empty()) add(field);
  return where.empty() ? std::string(what) : fmt::format("{}: {}", where, what);
}

// "key CARRIER 'UPS'" or "key ORDER_ '3', CATEGORY 'MAIL'".
std::string key_text(const TableRule& rule, const std::vector<std::string>& written) {
  std::string out = "key ";
  for (std::size_t i = 0; i < rule.key_columns && i < written.size(); ++i) {
    if (i) out += ", ";
    out += fmt::format("{} '{}'", platform::ascii_upper(rule.columns[i].dest_column), written[i]);
  }
  return out;
}

// The fields of both tables, looked up once per conversion, and the
// destination columns as values meet them.
struct Binding {
  std::vector<pdx::PDField*> old_fields;
  std::vector<fb::IBField*> dest_fields;
  std::vector<registry::Target> targets;
};

Binding bind_fields(const registry::Item& item, std::int64_t row) {
  const TableRule& rule = *item.rule;
  auto& dm = *DataModule2;
  Binding b;
  b.targets = registry::targets(rule, *item.definition);
  for (const Column& c : rule.columns)
    b.old_fields.push_back(
        in_context(rule.old_file, row, c.old_field, [&] { return &dm.PDTable1.FieldByName(c.old_field); }));
  for (const Column& c : rule.columns)
    b.dest_fields.push_back(
        in_context(rule.old_file, row, c.dest_column, [&] { return &dm.IBTable1.FieldByName(c.dest_column); }));
  return b;
}

// The texts the run posts for one row's values; a value its column refuses
// stops the run.
void posted_texts(const TableRule& rule, const Binding& b, const std::vector<std::string>& values,
                  std::vector<std::string>& written, std::int64_t row) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    registry::Outcome out = registry::posted(b.targets[i], values[i]);
    if (out.fate == registry::Fate::fraction)
      throw RunError(with_context(rule.old_file, row, rule.columns[i].old_field,
                                  registry::fraction_refused(b.targets[i], out.text)),
                     false, std::string(rule.columns[i].old_field), true);
    written[i] = std::move(out.text);
  }
}

// A posted row on its way into the engine: its old row, its texts (for the
// key a clash names) and the rows skipped before it.
struct PostedRow {
  std::int64_t row;
  std::vector<std::string> written;
  std::int64_t skipped;
};
using Posting = RowsInFlight<PostedRow>;

// Rethrows the failure in flight of the row `row` whose texts were `written`.
[[noreturn]] void rethrow_row_failure(const TableRule& rule, const std::vector<std::string>& written,
                                      std::int64_t row) {
  try {
    throw;
  } catch (const fb::Error& e) {
    if (e.is_duplicate_key() && rule.key_columns > 0)
      throw RunError(with_context(rule.old_file, row, {},
                                  fmt::format("{} is already in {}: {}", key_text(rule, written),
                                              platform::ascii_upper(rule.dest_table), e.what())),
                     false, platform::ascii_upper(rule.columns[0].dest_column), true);
    rethrow_in_context(rule.old_file, row, {});
  } catch (...) {
    rethrow_in_context(rule.old_file, row, {});
  }
}

// Appends and posts one row; false when a lookup list already holds it.
bool post_row(const TableRule& rule, const Binding& b, const std::vector<std::string>& written, std::int64_t row,
              Posting& posting, std::int64_t skipped) {
  auto& table = DataModule2->IBTable1;
  table.Append();
  for (std::size_t i = 0; i < rule.columns.size(); ++i)
    in_context(rule.old_file, row, rule.columns[i].dest_column, [&] {
      if (rule.columns[i].write == Write::TrueFlag)
        b.dest_fields[i]->SetAsInteger(written[i] == "1" ? 1 : 0);
      else
        b.dest_fields[i]->SetAsString(written[i]);
    });
  try {
    // Lists that merge their duplicates post one row per call.
    if (rule.merge_duplicates) return table.PostUnlessDuplicate();
    posting.post({row, written, skipped});
    return true;
  } catch (...) {
    rethrow_row_failure(rule, written, row);
  }
}

// Leaves out row `row` whose failure is in flight (RowErrors::leave_out),
// naming the field the error names and its text in `texts`; false when the
// run is to stop on it instead.
bool left_out(RowErrors* errors, const TableRule& rule, std::int64_t row, const std::vector<std::string>& texts) {
  if (!errors) return false;
  std::string field, value;
  try {
    throw;
  } catch (const RunError& e) {
    field = e.field();
  } catch (...) {
  }
  for (std::size_t i = 0; i < rule.columns.size() && i < texts.size(); ++i)
    if (!field.empty() && (platform::iequals(field, rule.columns[i].old_field) ||
                           platform::iequals(field, rule.columns[i].dest_column)))
      value = texts[i];
  try {
    errors->leave_out(rule.old_file, row, field, value);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

[[noreturn]] void rethrow_in_context(std::string_view file, std::int64_t row, std::string_view field) {
  try {
    throw;
  } catch (const RunError&) {
    throw;  // already placed
  } catch (const fb::Error& e) {
    throw RunError(with_context(file, row, field, e.what()), e.is_connection_lost(),
                   field.empty() ? e.column() : std::string(field), e.is_refused_value());
  } catch (const std::exception& e) {
    // Our own layers refuse values (the temporary files' fields, say).
    throw RunError(with_context(file, row, field, e.what()), false, std::string(field), true);
  }
}

bool connect_destination(const std::string& dbname) {
  auto& db = DataModule2->IBDatabase2;
  RunContext::aim_at_database(db, dbname, DataModule2->Server ? &*DataModule2->Server : nullptr);
  // One connection serves every converter of a run: what the previous one
  // left open is committed and its indexes are built, as closing would.
  if (db.ConnectedToNamed()) {
    db.FinishWork();
  } else {
    db.Close();
    db.Params = admin_login();
    db.LoginPrompt = false;
  }
  // Rows are loaded without waiting on the disk for every page; closing the
  // connection at the end of the run makes the file durable again.
  db.set_bulk_load(true);
  db.Open();
  return db.Connected();
}

void convert_table(RunContext& run, const std::string& dbname, const registry::Item& item) {
  RowErrors* const errors = run.row_errors();
  const TableRule& rule = *item.rule;
  auto& dm = *DataModule2;
  auto& old = dm.PDTable1;
  auto& dest = dm.IBTable1;
  if (connect_destination(dbname)) {
    run.add_log_line(std::string(rule.heading));
    dest.TableName = rule.dest_table;
    // The table's own indexes are built once, when the connection closes.
    dm.IBDatabase2.defer_indexes(rule.dest_table);
    dest.Open();
    // A run that ended on an error leaves the old table open; start afresh.
    if (old.Active()) old.Close();
    old.Directory = run.old_table_directory;
    old.TableName = rule.old_file;
    in_context(rule.old_file, 0, {}, [&] { old.Open(); });
    const std::int64_t old_rows = old.RecordCount();
    run.add_log_line(log_lines::old_record_count(old_rows));

    TableStats& stats = run.begin_table(platform::ascii_upper(rule.dest_table), old_rows);
    const std::int64_t shortened_before = dest.Shortened();
    Binding fields;
    std::vector<std::string> values(rule.columns.size());
    std::vector<std::string> written(rule.columns.size());
    // A row that fails after later rows were read leaves the counts as they
    // were when it was posted, as a run of one row per call leaves them.
    Posting posting(dest, [&](const PostedRow& p) {
      try {
        rethrow_row_failure(rule, p.written, p.row);
      } catch (...) {
        if (left_out(errors, rule, p.row, p.written)) {
          ++stats.refused;
          return;
        }
        stats.done = p.row - 1;
        stats.skipped = p.skipped;
        stats.shortened = dest.Shortened() - shortened_before;
        throw;
      }
    });
    posting.guard([&] {
      for (std::int64_t row = 1; !old.Eof(); ++row) {
        if (row == 1) fields = bind_fields(item, row);
        for (std::size_t i = 0; i < values.size(); ++i)
          values[i] = in_context(rule.old_file, row, rule.columns[i].old_field,
                                 [&] { return fields.old_fields[i]->AsString(); });
        if (registry::skipped(rule, values)) {
          ++stats.skipped;
        } else {
          try {
            posted_texts(rule, fields, values, written, row);
            if (!post_row(rule, fields, written, row, posting, stats.skipped)) ++stats.merged;
          } catch (...) {
            // The old values: the row was not posted.
            if (!left_out(errors, rule, row, values)) throw;
            ++stats.refused;
          }
        }
        stats.done = row;
        stats.shortened = dest.Shortened() - shortened_before;
        run.table_progress();
        old.Next();
      }
      posting.flush();
    });

    const std::int64_t new_rows = dest.RecordCount();
    run.add_log_line(log_lines::new_record_count(new_rows));
    stats.shortened = dest.Shortened() - shortened_before;
    stats.new_rows = new_rows;
    if (stats.shortened > 0)
      run.add_log_line(log_lines::values_shortened(stats.shortened));
    if (rule.merge_duplicates && stats.merged > 0)
      run.add_log_line(log_lines::duplicates_merged(stats.merged));
    run.table_progress(true);
  }
  old.Close();
}

}  // namespace qv::conv
