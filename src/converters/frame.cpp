#include "converters/frame.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>

#include "builder/schema.h"
#include "firebird/ib.h"
#include "paradox/table.h"
#include "platform/text.h"
#include "datamodule/datamodule.h"

namespace qv::conv {

namespace {

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

// The fields of both tables, looked up once per conversion.
struct Binding {
  std::vector<pdx::PDField*> old_fields;
  std::vector<fb::IBField*> dest_fields;
  std::vector<bool> integer;  // the destination column is INTEGER
};

bool integer_column(const TableRule& rule, std::string_view column) {
  const builder::TableDef* table = builder::find_table(rule.dest_table);
  const builder::ColumnDef* col = table ? table->find_column(column) : nullptr;
  return col && builder::parse_type(col->type).kind == builder::ColumnType::Kind::integer;
}

Binding bind_fields(const TableRule& rule, std::int64_t row) {
  auto& dm = *DataModule2;
  Binding b;
  for (const Column& c : rule.columns)
    b.integer.push_back(c.write != Write::TrueFlag && integer_column(rule, c.dest_column));
  for (const Column& c : rule.columns)
    b.old_fields.push_back(
        in_context(rule.old_file, row, c.old_field, [&] { return &dm.PDTable1.FieldByName(c.old_field); }));
  for (const Column& c : rule.columns)
    b.dest_fields.push_back(
        in_context(rule.old_file, row, c.dest_column, [&] { return &dm.IBTable1.FieldByName(c.dest_column); }));
  return b;
}

bool any_blank(const std::vector<std::string>& values) {
  for (const auto& v : values)
    if (platform::is_blank(v)) return true;
  return false;
}

// Appends and posts one row; false when a lookup list already holds it.
bool post_row(const TableRule& rule, const Binding& b, const std::vector<std::string>& written, std::int64_t row) {
  for (std::size_t i = 0; i < rule.columns.size(); ++i)
    if (b.integer[i] && has_fraction(written[i]))
      throw RunError(with_context(rule.old_file, row, rule.columns[i].old_field,
                                  fmt::format("\"{}\" is not a whole number: {}.{} is INTEGER", written[i],
                                              platform::ascii_upper(rule.dest_table),
                                              platform::ascii_upper(rule.columns[i].dest_column))));
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
    if (rule.merge_duplicates) return table.PostUnlessDuplicate();
    table.Post();
    return true;
  } catch (const fb::Error& e) {
    if (e.is_duplicate_key() && rule.key_columns > 0)
      throw RunError(with_context(rule.old_file, row, {},
                                  fmt::format("{} is already in {}: {}", key_text(rule, written),
                                              platform::ascii_upper(rule.dest_table), e.what())));
    rethrow_in_context(rule.old_file, row, {});
  } catch (...) {
    rethrow_in_context(rule.old_file, row, {});
  }
}

}  // namespace

std::string written_text(Write how, const std::string& value) {
  switch (how) {
    case Write::AsRead:
      return value;
    case Write::Upper:
      return platform::upper(value);
    case Write::TrueFlag:
      return platform::upper(value) == "TRUE" ? "1" : "0";
  }
  return value;
}

std::optional<double> read_number(std::string_view text) {
  std::string_view t = platform::trim(text);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty() || !((t.front() >= '0' && t.front() <= '9') || t.front() == '-' || t.front() == '.'))
    return std::nullopt;
  double v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

bool has_fraction(std::string_view text) {
  const std::optional<double> v = read_number(text);
  if (!v) return false;
  // Digit by digit where the text is plain: a double would lose a fraction
  // past its sixteenth digit.
  const std::string_view t = platform::trim(text);
  if (t.find_first_of("eE") != std::string_view::npos) return std::trunc(*v) != *v;
  const std::size_t point = t.find('.');
  return point != std::string_view::npos && t.find_first_not_of('0', point + 1) != std::string_view::npos;
}

[[noreturn]] void rethrow_in_context(std::string_view file, std::int64_t row, std::string_view field) {
  try {
    throw;
  } catch (const RunError&) {
    throw;  // already placed
  } catch (const std::exception& e) {
    throw RunError(with_context(file, row, field, e.what()));
  }
}

bool connect_destination(const std::string& dbname) {
  auto& db = DataModule2->IBDatabase2;
  db.Close();
  db.Params.clear();
  db.Params.push_back("user_name=SYSDBA");
  db.Params.push_back("password=tarnwheel");
  Tconversion_form::aim_at_database(db, dbname, DataModule2->Server ? &*DataModule2->Server : nullptr);
  db.LoginPrompt = false;
  // Rows are loaded without waiting on the disk for every page; closing the
  // connection (the next converter, or the end of the run) makes the file
  // durable again.
  db.set_bulk_load(true);
  db.Open();
  return db.Connected();
}

void convert_table(Tconversion_form& form, const std::string& dbname, const TableRule& rule) {
  auto& dm = *DataModule2;
  auto& old = dm.PDTable1;
  auto& dest = dm.IBTable1;
  if (connect_destination(dbname)) {
    form.Memo1.Add(std::string(rule.heading));
    dest.TableName = rule.dest_table;
    // The table's own indexes are built once, when the connection closes.
    dm.IBDatabase2.defer_indexes(rule.dest_table);
    dest.Open();
    // A run that ended on an error leaves the old table open; start afresh.
    if (old.Active()) old.Close();
    old.Directory = form.old_table_directory;
    old.TableName = rule.old_file;
    in_context(rule.old_file, 0, {}, [&] { old.Open(); });
    const std::int64_t old_rows = old.RecordCount();
    form.Memo1.Add(fmt::format("---->Record Count in old table: {}", old_rows));

    TableStats& stats = form.begin_table(platform::ascii_upper(rule.dest_table), old_rows);
    const std::int64_t shortened_before = dest.Shortened();
    Binding fields;
    std::vector<std::string> values(rule.columns.size());
    std::vector<std::string> written(rule.columns.size());
    for (std::int64_t row = 1; !old.Eof(); ++row) {
      if (row == 1) fields = bind_fields(rule, row);
      for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = in_context(rule.old_file, row, rule.columns[i].old_field,
                               [&] { return fields.old_fields[i]->AsString(); });
      if (rule.skip == Skip::AnyBlank && any_blank(values)) {
        ++stats.skipped;
      } else {
        for (std::size_t i = 0; i < values.size(); ++i) written[i] = written_text(rule.columns[i].write, values[i]);
        if (!post_row(rule, fields, written, row)) ++stats.merged;
      }
      stats.done = row;
      stats.shortened = dest.Shortened() - shortened_before;
      form.table_progress();
      old.Next();
    }

    const std::int64_t new_rows = dest.RecordCount();
    form.Memo1.Add(fmt::format("---->Records In New Table: {}", new_rows));
    stats.shortened = dest.Shortened() - shortened_before;
    stats.new_rows = new_rows;
    if (stats.shortened > 0)
      form.Memo1.Add(fmt::format("---->Values shortened to fit their columns: {}", stats.shortened));
    if (rule.merge_duplicates && stats.merged > 0)
      form.Memo1.Add(fmt::format("---->Duplicate values merged: {}", stats.merged));
    form.table_progress(true);
  }
  old.Close();
}

}  // namespace qv::conv
