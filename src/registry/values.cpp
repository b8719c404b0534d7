#include "registry/values.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "firebird/typed_reader.h"
#include "paradox/values.h"
#include "platform/text.h"

namespace qv::registry {

namespace {

using builder::ColumnType;

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

Outcome refused(Fate fate, std::string detail) { return {fate, {}, std::move(detail)}; }

// The Windows-1252 bytes of `text`, or the refusal.
Outcome cp1252(std::string_view text) {
  std::string bad;
  std::optional<std::string> bytes = platform::to_cp1252(text, &bad);
  if (!bytes) return refused(Fate::no_cp1252, fmt::format("the character \"{}\" cannot be stored", bad));
  return {Fate::kept, std::move(*bytes), {}};
}

}  // namespace

bool stops(Fate fate) { return fate >= Fate::missing_required; }

Target target(const builder::TableDef& table, std::string_view column, Write write) {
  const builder::ColumnDef* col = table.find_column(column);
  if (!col) throw std::logic_error(fmt::format("no column {} in {}", column, table.name));
  return {col, builder::parse_type(col->type), write, fmt::format("{}.{}", table.name, col->name)};
}

std::vector<Target> targets(const TableRule& rule, const builder::TableDef& table) {
  std::vector<Target> out;
  for (const Column& c : rule.columns) out.push_back(target(table, c.dest_column, c.write));
  return out;
}

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

bool skipped(const TableRule& rule, const std::vector<std::string>& values) {
  if (rule.skip != Skip::AnyBlank) return false;
  for (const auto& v : values)
    if (platform::is_blank(v)) return true;
  return false;
}

Outcome posted(const Target& target, const std::string& value) {
  Outcome out{Fate::kept, written_text(target.write, value), {}};
  // A flag is stored as 1 or 0, whatever the column.
  if (target.write != Write::TrueFlag && target.type.kind == ColumnType::Kind::integer && has_fraction(out.text)) {
    out.fate = Fate::fraction;
    out.detail = fmt::format("{} is INTEGER: whole numbers only, nothing is rounded", target.where);
  }
  return out;
}

std::string fraction_refused(const Target& target, const std::string& text) {
  return fmt::format("\"{}\" is not a whole number: {} is INTEGER", text, target.where);
}

Outcome stored(const Target& target, const std::string& text) {
  const builder::ColumnDef& col = *target.column;
  const ColumnType& type = target.type;
  const std::string& where = target.where;
  if (text.empty() && type.kind != ColumnType::Kind::character) {
    // The engine takes an empty text for NULL, except in a CHAR column.
    if (col.not_null) return refused(Fate::empty_key, fmt::format("{} needs a value", where));
    return {};
  }
  Outcome out = cp1252(text);
  if (stops(out.fate)) return out;
  switch (type.kind) {
    case ColumnType::Kind::character: {
      if (out.text.size() > static_cast<std::size_t>(type.length)) {
        out.text.resize(static_cast<std::size_t>(type.length));
        out.fate = Fate::shortened;
        out.detail = fmt::format("{} keeps the first {} characters: \"{}\"", where, type.length,
                                 platform::from_cp1252(out.text));
      }
      // CHAR values compare without their trailing blanks.
      out.text.erase(out.text.find_last_not_of(' ') + 1);
      return out;
    }
    case ColumnType::Kind::integer:
    case ColumnType::Kind::numeric: {
      const std::optional<double> v = read_number(text);
      if (!v) return refused(Fate::bad_number, fmt::format("{} is {}", where, col.type));
      if (out.text.size() > fb::kMaxConvertedText)
        return refused(Fate::bad_number, fmt::format("{} is {}: the database takes numbers of at most {} characters",
                                                     where, col.type, fb::kMaxConvertedText));
      if (type.kind == ColumnType::Kind::integer) {
        if (has_fraction(text))
          return refused(Fate::fraction, fmt::format("{} is INTEGER: whole numbers only, nothing is rounded", where));
        if (*v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max())
          return refused(Fate::bad_number, fmt::format("{} is INTEGER: out of range", where));
        return {Fate::kept, fmt::format("{}", static_cast<std::int64_t>(*v)), {}};
      }
      out.text = platform::decimal_text(*v);
      if (std::fabs(*v) >= std::pow(10.0, type.precision - type.scale)) {
        out.fate = Fate::beyond_precision;
        out.detail = fmt::format("{} is {}: the value is kept but exceeds the declared digits", where, col.type);
      }
      return out;
    }
    case ColumnType::Kind::date:
      if (!valid_date(text)) return refused(Fate::bad_date, fmt::format("{} is a DATE (years 1 to 9999)", where));
      return out;
    default:
      return out;
  }
}

Outcome through_temporary(const TempField& field, const std::string& value) {
  const bool alpha = field.type == pdx::FieldType::Alpha;
  if (alpha ? value.empty() : platform::is_blank(value)) {
    if (field.required) return refused(Fate::missing_required, "the job-search conversion needs a value");
    return {};
  }
  if (alpha) {
    // Plain ASCII is its own Windows-1252 form.
    const bool ascii = platform::is_ascii(value);
    Outcome out = ascii ? Outcome{} : cp1252(value);
    if (stops(out.fate)) return out;
    if ((ascii ? value.size() : out.text.size()) > static_cast<std::size_t>(field.size))
      return refused(Fate::too_long, fmt::format("the temporary field takes {} characters", field.size));
    return {Fate::kept, value, {}};
  }
  Outcome out;
  try {
    out.text = pdx::values::through_field(field.type, value);
  } catch (const pdx::values::Invalid& e) {
    return refused(field.type == pdx::FieldType::Date ? Fate::bad_date : Fate::bad_number,
                   std::string("the temporary field cannot take it: ") + e.what());
  }
  std::string_view date;
  std::int64_t ms_of_day = 0;
  if (field.type == pdx::FieldType::Date && pdx::values::split_date_time(platform::trim(value), date, ms_of_day) &&
      ms_of_day != 0) {
    out.fate = Fate::time_dropped;
    out.detail = fmt::format("the temporary field keeps the date only: {} arrives", date);
  }
  return out;
}

void append_loaded_text(const TempField& field, std::string_view temp_text, std::string& out) {
  if (field.type == pdx::FieldType::Logical && temp_text.empty()) {
    out += "FALSE";
    return;
  }
  platform::append_upper(temp_text, out);
}

std::string loaded_text(const TempField& field, const std::string& temp_text) {
  std::string out;
  append_loaded_text(field, temp_text, out);
  return out;
}

}  // namespace qv::registry
