#include "firebird/typed_reader.h"

#include <ibase.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "firebird/column_value.h"
#include "firebird/database_impl.h"
#include "platform/text.h"

namespace qv::fb {

using namespace Firebird;
using detail::Status;

namespace {

// How many texts of one column the engine converts in one call, and how
// many rows ConvertRows reads before it calls the engine.
constexpr std::size_t kValuesPerCall = 16;
constexpr std::size_t kRowsPerBatch = 256;

// Where each value of a message lies.
struct Layout {
  std::vector<unsigned> offsets, null_offsets;
  std::size_t length = 0;

  Layout() = default;
  Layout(Status& st, IMessageMetadata* meta) {
    for (unsigned i = 0, n = meta->getCount(st.get()); i < n; ++i) {
      offsets.push_back(meta->getOffset(st.get(), i));
      null_offsets.push_back(meta->getNullOffset(st.get(), i));
    }
    length = meta->getMessageLength(st.get());
  }
};

// The bytes of a whole number written plainly ("0", "17", "-250": no plus
// sign, no leading zero, no blank, point or exponent, at most 15 digits) in
// a double column (whose value is never scaled) or a whole-number one
// without decimals, when it fits the column: the value the engine gives
// that text. Such a number is exact in every one of these types (a double
// holds every whole number below 2^53 exactly), and a conversion of a number
// that the type holds exactly yields that number, so the result does not
// depend on how the engine converts. Empty for any other text or type:
// that goes to the engine.
std::string whole_number(unsigned type, int scale, std::string_view text) {
  const std::string_view digits = text.substr(!text.empty() && text[0] == '-');
  if ((scale != 0 && type != SQL_DOUBLE) || digits.empty() || digits.size() > 15 ||
      (digits[0] == '0' && (digits.size() > 1 || text[0] == '-')) ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  std::int64_t n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n);
  const auto bytes = [](auto v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); };
  switch (type) {
    case SQL_DOUBLE:
      return bytes(static_cast<double>(n));
    case SQL_INT64:
      return bytes(n);
    case SQL_LONG:
      return n >= INT32_MIN && n <= INT32_MAX ? bytes(static_cast<std::int32_t>(n)) : std::string();
    case SQL_SHORT:
      return n >= INT16_MIN && n <= INT16_MAX ? bytes(static_cast<std::int16_t>(n)) : std::string();
    default:
      return {};
  }
}

// The bytes of a decimal with a fraction ("2.5", "-123456.25": no plus
// sign, blank or exponent, no leading zero but a lone one, at most 15
// digits) in a double column, when the double holds it exactly (the digits
// divided by 10^k are a whole number of 2^-k): as with whole_number, the
// value the engine gives whatever way it converts. Empty otherwise.
std::string exact_fraction(unsigned type, std::string_view text) {
  const std::size_t point = text.find('.');
  const std::string_view sign = text.substr(0, !text.empty() && text[0] == '-');
  if (type != SQL_DOUBLE || point == std::string_view::npos) return {};
  const std::string_view whole = text.substr(sign.size(), point - sign.size()), fraction = text.substr(point + 1);
  const auto digits = [](std::string_view d) {
    return std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || fraction.empty() || whole.size() + fraction.size() > 15 || !digits(whole) ||
      !digits(fraction) || (whole[0] == '0' && whole.size() > 1))
    return {};
  std::int64_t m = 0, five = 1, ten = 1;
  for (char c : whole) m = m * 10 + (c - '0');
  for (char c : fraction) {
    m = m * 10 + (c - '0');
    five *= 5;
    ten *= 10;
  }
  if (m == 0 || m % five != 0) return {};
  const double v = (sign.empty() ? 1.0 : -1.0) * (static_cast<double>(m) / static_cast<double>(ten));
  return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

// The bytes of a date written "MM/DD/YYYY" (the engine's order for slashes;
// two digits each, a year of four from 1000) in a date or timestamp column,
// encoded by the engine's own function, when the day exists; such a text
// means nothing else. Empty otherwise (that goes to the engine, which also
// refuses a day that does not exist).
std::string plain_date(unsigned type, std::string_view text, IUtil& util) {
  if ((type != SQL_TIMESTAMP && type != SQL_TYPE_DATE) || text.size() != 10 || text[2] != '/' || text[5] != '/')
    return {};
  unsigned n[3] = {};
  const std::size_t at[3] = {0, 3, 6}, width[3] = {2, 2, 4};
  for (int i = 0; i < 3; ++i)
    if (std::from_chars(text.data() + at[i], text.data() + at[i] + width[i], n[i]).ptr !=
        text.data() + at[i] + width[i])
      return {};
  const unsigned month = n[0], day = n[1], year = n[2];
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1000 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap))
    return {};
  ISC_TIMESTAMP ts{util.encodeDate(year, month, day), 0};
  return type == SQL_TIMESTAMP ? std::string(reinterpret_cast<const char*>(&ts), sizeof ts)
                               : std::string(reinterpret_cast<const char*>(&ts.timestamp_date), sizeof(ISC_DATE));
}

// Answers of the engine are kept for texts that mean the same at any
// moment: only digits, blanks and the signs of numbers and dates ('NOW',
// 'TODAY' and the like are never kept).
bool keepable(std::string_view text) {
  return text.size() <= 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == ' ' || c == '-' || c == '+' || c == '.' || c == '/' || c == ':';
         });
}
constexpr std::size_t kMaxKept = 4096;  // per column; then forgotten and kept anew

// Text compares without its trailing blanks, as the engine compares it.
void drop_trailing_blanks(std::string& v) { v.erase(v.find_last_not_of(' ') + 1); }

}  // namespace

struct IBTypedReader::Impl {
  // A column whose texts the engine converts: one prepared "SELECT CAST(?
  // AS VARCHAR(n)), ... FROM RDB$DATABASE" of kValuesPerCall texts, whose
  // results are taken in the column's own type, so that the engine converts
  // them as it does for a stored row. Text columns of character set NONE
  // have none: into them the engine copies the bytes as they are, with no
  // character set to translate or check, pads a CHAR with blanks that the
  // comparison drops, and has nothing to refuse, since column_value has
  // already shortened the text to the column's width; the bytes are
  // therefore exactly the value the engine would give.
  struct Casts {
    detail::Statement stmt;
    detail::Metadata in, out;
    Layout in_at, out_at;
    std::vector<unsigned char> in_buffer, out_buffer;
    // The values of texts converted before, which the same text gives again.
    std::unordered_map<std::string, TypedValue> kept;
    // Texts waiting for the call, with the value each one fills.
    std::vector<std::pair<std::string, TypedValue*>> waiting;
  };

  std::shared_ptr<const Engine> engine;
  std::string context;
  std::optional<detail::OwnTransaction> tra;
  std::vector<Column> columns;
  std::vector<unsigned> types, lengths;
  std::vector<int> scales;
  std::vector<bool> required;
  std::vector<std::unique_ptr<Casts>> casts;  // per column; null: copied
  detail::Statement select;
  detail::Metadata out;
  Layout out_at;
  detail::ResultSet rs;
  std::vector<unsigned char> buffer;

  // Field `f` of a message laid out by `at`, a value of column `c`.
  void read(const std::vector<unsigned char>& message, const Layout& at, std::size_t f, std::size_t c,
            TypedValue& value) const {
    short null_flag = 0;
    std::memcpy(&null_flag, &message[at.null_offsets[f]], sizeof null_flag);
    if (null_flag) {
      value.reset();
      return;
    }
    const char* p = reinterpret_cast<const char*>(&message[at.offsets[f]]);
    std::string& v = value ? *value : value.emplace();  // keeps its room for the next row
    if (types[c] == SQL_VARYING) {
      unsigned short len = 0;
      std::memcpy(&len, p, sizeof len);
      v.assign(p + sizeof len, len);
    } else {
      v.assign(p, lengths[c]);
    }
    if (types[c] == SQL_TEXT || types[c] == SQL_VARYING) drop_trailing_blanks(v);
  }

  std::unique_ptr<Casts> prepare_casts(IAttachment* att, unsigned dialect, std::size_t c) const {
    auto k = std::make_unique<Casts>();
    const std::string cast = "CAST(? AS VARCHAR(" + std::to_string(kMaxConvertedText) + "))";
    std::string sql = "SELECT " + cast;
    for (std::size_t f = 1; f < kValuesPerCall; ++f) sql += ", " + cast;
    sql += " FROM RDB$DATABASE";
    Status st(*engine);
    k->stmt = detail::Statement(att->prepare(st.get(), tra->get(), static_cast<unsigned>(sql.size()), sql.c_str(),
                                             dialect, IStatement::PREPARE_PREFETCH_METADATA));
    const detail::Metadata in(k->stmt->getInputMetadata(st.get()));
    k->in = detail::text_message(*engine, in.get(), [](unsigned) { return kMaxConvertedText; });
    const auto col = static_cast<unsigned>(c);
    detail::MetadataBuilder b(engine->master()->getMetadataBuilder(st.get(), static_cast<unsigned>(kValuesPerCall)));
    for (unsigned f = 0; f < kValuesPerCall; ++f) {
      b->setType(st.get(), f, out->getType(st.get(), col));
      b->setSubType(st.get(), f, out->getSubType(st.get(), col));
      b->setLength(st.get(), f, out->getLength(st.get(), col));
      b->setScale(st.get(), f, out->getScale(st.get(), col));
      b->setCharSet(st.get(), f, out->getCharSet(st.get(), col));
    }
    k->out = detail::Metadata(b->getMetadata(st.get()));
    k->in_at = Layout(st, k->in.get());
    k->out_at = Layout(st, k->out.get());
    k->in_buffer.resize(k->in_at.length);
    k->out_buffer.resize(k->out_at.length);
    return k;
  }

  // Column c's value of a text: at once where it is known, else when the
  // engine has answered (call()).
  void convert(std::size_t c, std::string_view text, TypedValue& value) {
    Value v;
    column_value(columns[c], text, v, [&] { return "column " + columns[c].name; });
    Casts* k = casts[c].get();
    if (!k) {
      value.emplace(std::move(v.bytes));
      drop_trailing_blanks(*value);
      return;
    }
    if (v.state == State::Null) {
      if (required[c]) throw Error("column " + columns[c].name + ": no value for a column that must have one");
      value.reset();
      return;
    }
    if (std::string n = whole_number(types[c], scales[c], v.bytes); !n.empty()) {
      value.emplace(std::move(n));
      return;
    }
    if (std::string n = exact_fraction(types[c], v.bytes); !n.empty()) {
      value.emplace(std::move(n));
      return;
    }
    if (std::string n = plain_date(types[c], v.bytes, *engine->util()); !n.empty()) {
      value.emplace(std::move(n));
      return;
    }
    if (const auto hit = k->kept.find(v.bytes); hit != k->kept.end()) {
      value = hit->second;
      return;
    }
    k->waiting.emplace_back(std::move(v.bytes), &value);
  }

  // The engine's answers for every waiting text, kValuesPerCall of a column
  // in each call.
  void call() {
    Status st(*engine);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      Casts* k = casts[c].get();
      if (!k) continue;
      for (std::size_t at = 0; at < k->waiting.size(); at += kValuesPerCall) {
        const std::size_t count = std::min(kValuesPerCall, k->waiting.size() - at);
        for (std::size_t f = 0; f < kValuesPerCall; ++f) {
          const std::string* bytes = f < count ? &k->waiting[at + f].first : nullptr;
          const short null_flag = bytes ? 0 : -1;
          std::memcpy(&k->in_buffer[k->in_at.null_offsets[f]], &null_flag, sizeof null_flag);
          const auto len = static_cast<unsigned short>(bytes ? bytes->size() : 0);
          std::memcpy(&k->in_buffer[k->in_at.offsets[f]], &len, sizeof len);
          if (bytes) std::memcpy(&k->in_buffer[k->in_at.offsets[f] + sizeof len], bytes->data(), len);
        }
        try {
          k->stmt->execute(st.get(), tra->get(), k->in.get(), k->in_buffer.data(), k->out.get(), k->out_buffer.data());
        } catch (const FbException& e) {
          throw detail::error(e, "column " + columns[c].name);
        }
        for (std::size_t f = 0; f < count; ++f) {
          auto& [text, value] = k->waiting[at + f];
          read(k->out_buffer, k->out_at, f, c, *value);
          if (!keepable(text)) continue;
          if (k->kept.size() >= kMaxKept) k->kept.clear();
          k->kept.emplace(std::move(text), *value);
        }
      }
      k->waiting.clear();
    }
  }

  void convert_rows(const std::vector<std::string>* texts, std::size_t count, TypedRow* rows) {
    try {
      for (std::size_t r = 0; r < count; ++r) {
        rows[r].resize(columns.size());
        for (std::size_t c = 0; c < columns.size(); ++c) {
          if (c < texts[r].size())
            convert(c, texts[r][c], rows[r][c]);
          else
            rows[r][c].reset();
        }
      }
      call();
    } catch (...) {
      // Nothing waits for rows that will not be filled.
      for (auto& k : casts)
        if (k) k->waiting.clear();
      throw;
    }
  }
};

IBTypedReader::IBTypedReader(IBDatabase& db, std::string_view table, const std::vector<std::string>& columns,
                             std::string_view order_by)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.engine = db.impl().engine;
  if (!db.Connected()) throw Error("The database is not connected: table " + std::string(table));
  std::string list;
  for (const std::string& c : columns) list += (list.empty() ? "" : ", ") + c;
  std::string sql = "SELECT " + list + " FROM " + std::string(table);
  if (!order_by.empty()) sql += " ORDER BY " + std::string(order_by);
  d.context = sql;
  IAttachment* att = db.impl().att.get();
  const auto dialect = static_cast<unsigned>(db.SQLDialect);
  Status st(*d.engine);
  try {
    d.tra.emplace(*d.engine, att, true);
    d.select = detail::Statement(att->prepare(st.get(), d.tra->get(), static_cast<unsigned>(sql.size()), sql.c_str(),
                                              dialect, IStatement::PREPARE_PREFETCH_METADATA));
    d.out = detail::Metadata(d.select->getOutputMetadata(st.get()));
    for (unsigned i = 0, n = d.out->getCount(st.get()); i < n; ++i) {
      const unsigned type = d.out->getType(st.get(), i) & ~1u;
      const bool text = type == SQL_TEXT || type == SQL_VARYING;
      d.columns.push_back({d.out->getField(st.get(), i), text, d.out->getLength(st.get(), i)});
      d.types.push_back(type);
      d.lengths.push_back(d.out->getLength(st.get(), i));
      d.scales.push_back(d.out->getScale(st.get(), i));
      d.required.push_back(!d.out->isNullable(st.get(), i));
      const bool copied = text && d.out->getCharSet(st.get(), i) == 0;
      d.casts.push_back(copied ? nullptr : d.prepare_casts(att, dialect, i));
    }
    d.out_at = Layout(st, d.out.get());
    d.buffer.resize(d.out_at.length);
    d.rs = detail::ResultSet(d.select->openCursor(st.get(), d.tra->get(), nullptr, nullptr, d.out.get(), 0));
  } catch (const FbException& e) {
    throw detail::error(e, sql);
  }
}

IBTypedReader::~IBTypedReader() = default;

bool IBTypedReader::Next(TypedRow& row) {
  Impl& d = *impl_;
  if (!d.rs) return false;
  Status st(*d.engine);
  try {
    if (d.rs->fetchNext(st.get(), d.buffer.data()) != IStatus::RESULT_OK) {
      d.rs.end([&](IResultSet* r) { r->close(st.get()); });
      return false;
    }
  } catch (const FbException& e) {
    throw detail::error(e, d.context);
  }
  row.resize(d.columns.size());
  for (std::size_t c = 0; c < d.columns.size(); ++c) d.read(d.buffer, d.out_at, c, c, row[c]);
  return true;
}

void IBTypedReader::Convert(const std::vector<std::string>& texts, TypedRow& row) {
  impl_->convert_rows(&texts, 1, &row);
}

std::size_t IBTypedReader::BatchRows() const { return kRowsPerBatch; }

void IBTypedReader::ConvertRows(const std::vector<std::vector<std::string>>& texts, std::vector<TypedRow>& rows) {
  rows.resize(texts.size());
  impl_->convert_rows(texts.data(), texts.size(), rows.data());
}

std::string IBTypedReader::Display(std::size_t column, const TypedValue& value) const {
  const Impl& d = *impl_;
  if (!value) return "NULL";
  const std::string& v = *value;
  const unsigned type = d.types.at(column);
  auto scaled = [&](std::int64_t n) {
    if (d.scales[column] >= 0) return std::to_string(n);
    const auto places = static_cast<std::size_t>(-d.scales[column]);
    std::string digits = std::to_string(n < 0 ? -n : n);
    if (digits.size() <= places) digits.insert(0, places + 1 - digits.size(), '0');
    digits.insert(digits.end() - static_cast<std::ptrdiff_t>(places), '.');
    if (n < 0) digits.insert(digits.begin(), '-');
    return digits;
  };
  auto date = [&](ISC_DATE day) {
    unsigned y = 0, m = 0, dd = 0;
    d.engine->util()->decodeDate(day, &y, &m, &dd);
    char s[16];
    std::snprintf(s, sizeof s, "%04u-%02u-%02u", y, m, dd);
    return std::string(s);
  };
  auto time = [&](ISC_TIME t) {
    unsigned h = 0, mi = 0, sec = 0, frac = 0;
    d.engine->util()->decodeTime(t, &h, &mi, &sec, &frac);
    char s[24];
    std::snprintf(s, sizeof s, "%02u:%02u:%02u.%04u", h, mi, sec, frac);
    return std::string(s);
  };
  switch (type) {
    case SQL_TEXT:
    case SQL_VARYING:
      return platform::from_cp1252(v);
    case SQL_SHORT: {
      std::int16_t n = 0;
      std::memcpy(&n, v.data(), sizeof n);
      return scaled(n);
    }
    case SQL_LONG: {
      std::int32_t n = 0;
      std::memcpy(&n, v.data(), sizeof n);
      return scaled(n);
    }
    case SQL_INT64: {
      std::int64_t n = 0;
      std::memcpy(&n, v.data(), sizeof n);
      return scaled(n);
    }
    case SQL_DOUBLE: {
      // The shortest text that reads back as the same double: two values
      // that differ never look alike.
      double x = 0;
      std::memcpy(&x, v.data(), sizeof x);
      char s[32];
      const auto end = std::to_chars(s, s + sizeof s, x).ptr;
      return std::string(s, end);
    }
    case SQL_FLOAT: {
      float x = 0;
      std::memcpy(&x, v.data(), sizeof x);
      char s[32];
      const auto end = std::to_chars(s, s + sizeof s, x).ptr;
      return std::string(s, end);
    }
    case SQL_TIMESTAMP: {
      ISC_TIMESTAMP ts{};
      std::memcpy(&ts, v.data(), sizeof ts);
      return date(ts.timestamp_date) + " " + time(ts.timestamp_time);
    }
    case SQL_TYPE_DATE: {
      ISC_DATE day{};
      std::memcpy(&day, v.data(), sizeof day);
      return date(day);
    }
    case SQL_TYPE_TIME: {
      ISC_TIME t{};
      std::memcpy(&t, v.data(), sizeof t);
      return time(t);
    }
    default:
      break;
  }
  std::string hex;
  for (unsigned char c : v) {
    char s[3];
    std::snprintf(s, sizeof s, "%02x", c);
    hex += s;
  }
  return hex;
}

}  // namespace qv::fb
