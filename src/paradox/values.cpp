#include "paradox/values.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "paradox/format.h"
#include "platform/text.h"

namespace qv::pdx::values {

namespace {

using format::be;
using format::put_be;

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kMaxDay = 3652059;  // 12/31/9999
constexpr std::int64_t kUnixEpochDay = 719163;

char* two(unsigned v, char* p) {
  p[0] = static_cast<char>('0' + v / 10 % 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

// Days since 01/01/1970 to a civil date (proleptic Gregorian).
void civil(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void append_time(std::int64_t ms, std::string& out) {
  const auto s = static_cast<unsigned>(ms / 1000);
  char buf[8];
  two(s % 60, buf + 6);
  buf[5] = ':';
  two(s / 60 % 60, buf + 3);
  buf[2] = ':';
  two(s / 3600, buf);
  out.append(buf, sizeof buf);
}

template <class T>
void append_int(T v, std::string& out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

double stored_double(const unsigned char* p) {
  std::uint64_t raw = be(p, 8);
  raw = (raw & 0x8000000000000000ULL) ? raw ^ 0x8000000000000000ULL : ~raw;
  double v;
  std::memcpy(&v, &raw, sizeof v);
  return v;
}

void store_double(double v, unsigned char* p) {
  std::uint64_t raw;
  std::memcpy(&raw, &v, sizeof raw);
  raw = (raw & 0x8000000000000000ULL) ? ~raw : raw ^ 0x8000000000000000ULL;
  put_be(p, 8, raw);
}

void format_bcd(const unsigned char* p, std::string& out) {
  const bool negative = !(p[0] & 0x80);
  const int scale = p[0] & 0x3F;
  if (scale > 32) throw Invalid(fmt::format("BCD value with {} decimals", scale));
  // 32 digits, the last `scale` of them after the point, written out as
  // they stand (no double in between: a double keeps about 16 of them).
  // Digits past the first nibble that is not a digit are noise left by the
  // writer.
  char digits[32];
  bool stop = false;
  for (int i = 0; i < 32; ++i) {
    unsigned nib = (p[1 + i / 2] >> (i % 2 ? 0 : 4)) & 0xF;
    if (negative) nib = 0xF - nib;
    if (nib > 9) stop = true;
    digits[i] = static_cast<char>('0' + (stop ? 0 : nib));
  }
  const std::string_view all(digits, sizeof digits);
  std::string_view whole = all.substr(0, static_cast<std::size_t>(32 - scale));
  std::string_view fraction = all.substr(static_cast<std::size_t>(32 - scale));
  whole.remove_prefix(std::min(whole.find_first_not_of('0'), whole.size()));
  fraction = fraction.substr(0, fraction.find_last_not_of('0') + 1);
  if (whole.empty() && fraction.empty()) {
    out += '0';
    return;
  }
  if (negative) out += '-';
  if (whole.empty()) out += '0';
  out += whole;
  if (!fraction.empty()) out.append(1, '.').append(fraction);
}

bool parse_int(std::string_view t, std::int64_t& v) {
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

bool parse_double(std::string_view t, double& v) {
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(v);
}

// Up to `max_digits` decimal digits at the start of `t`, consumed.
bool digits(std::string_view& t, std::size_t max_digits, unsigned& v) {
  std::size_t n = 0;
  v = 0;
  while (n < t.size() && n < max_digits && t[n] >= '0' && t[n] <= '9') v = v * 10 + static_cast<unsigned>(t[n++] - '0');
  t.remove_prefix(n);
  return n > 0;
}

// "H:MM", "HH:MM:SS" or "HH:MM:SS.fff" to milliseconds since midnight.
bool parse_time(std::string_view t, std::int64_t& ms) {
  unsigned h = 0, m = 0, sec = 0, frac = 0;
  if (!digits(t, 2, h) || t.empty() || t[0] != ':') return false;
  t.remove_prefix(1);
  if (!digits(t, 2, m)) return false;
  if (!t.empty() && t[0] == ':') {
    t.remove_prefix(1);
    if (!digits(t, 2, sec)) return false;
    if (!t.empty() && t[0] == '.') {
      t.remove_prefix(1);
      const std::size_t before = t.size();
      if (!digits(t, 3, frac)) return false;
      for (std::size_t n = before - t.size(); n < 3; ++n) frac *= 10;
      while (!t.empty() && t[0] >= '0' && t[0] <= '9') t.remove_prefix(1);  // beyond milliseconds
    }
  }
  if (!t.empty() || h > 23 || m > 59 || sec > 59) return false;
  ms = ((static_cast<std::int64_t>(h) * 60 + m) * 60 + sec) * 1000 + frac;
  return true;
}

// "MM/DD/YYYY" (one-digit month and day too) or "YYYY-MM-DD", with or
// without a time of day, which is left out.
bool parse_date(std::string_view t, std::int64_t& day) {
  std::int64_t ms = 0;
  if (!split_date_time(t, t, ms)) return false;
  unsigned parts[3] = {0, 0, 0};
  int n = 0;
  std::size_t count[3] = {0, 0, 0};
  const char sep = t.find('-') != std::string_view::npos ? '-' : '/';
  for (char c : t) {
    if (c == sep) {
      if (++n > 2) return false;
    } else if (c >= '0' && c <= '9' && count[n] < 4) {
      parts[n] = parts[n] * 10 + static_cast<unsigned>(c - '0');
      ++count[n];
    } else {
      return false;
    }
  }
  if (n != 2 || !count[0] || !count[1] || !count[2]) return false;
  unsigned y = parts[2], m = parts[0], d = parts[1];
  if (sep == '-') y = parts[0], m = parts[1], d = parts[2];
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
  day = days_from_civil(y, m, d) + kUnixEpochDay;
  std::int64_t yy;
  unsigned mm, dd;
  civil(day - kUnixEpochDay, yy, mm, dd);
  return mm == m && dd == d;  // rejects 02/30 and the like
}

}  // namespace

bool all_zero(const unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

bool valid_ordinal_day(std::int64_t day) { return day >= 1 && day <= kMaxDay; }

bool split_date_time(std::string_view text, std::string_view& date, std::int64_t& ms_of_day) {
  const std::size_t blank = text.find(' ');
  ms_of_day = 0;
  date = text.substr(0, blank);
  if (blank == std::string_view::npos) return true;
  return parse_time(platform::trim(text.substr(blank)), ms_of_day);
}

void append_date(std::int64_t ordinal_day, std::string& out) {
  std::int64_t y;
  unsigned m, d;
  civil(ordinal_day - kUnixEpochDay, y, m, d);
  char buf[10];
  two(m, buf);
  buf[2] = '/';
  two(d, buf + 3);
  buf[5] = '/';
  two(static_cast<unsigned>(y % 100), two(static_cast<unsigned>(y / 100), buf + 6));
  out.append(buf, sizeof buf);
}

void format(FieldType type, const unsigned char* p, std::string& out) {
  switch (type) {
    case FieldType::Short:
      append_int(static_cast<std::int16_t>(be(p, 2) ^ 0x8000U), out);
      return;
    case FieldType::Long:
    case FieldType::AutoInc:
      append_int(static_cast<std::int32_t>(be(p, 4) ^ 0x80000000U), out);
      return;
    case FieldType::Number:
    case FieldType::Money: {
      const double v = stored_double(p);
      if (!std::isfinite(v)) throw Invalid("a number that is not finite");
      out += platform::decimal_text(v);
      return;
    }
    case FieldType::Logical:
      if (p[0] == 0x80) out += "False";
      else if (p[0] == 0x81) out += "True";
      else throw Invalid(fmt::format("logical value {:#04x}", p[0]));
      return;
    case FieldType::Date: {
      const auto day = static_cast<std::int32_t>(be(p, 4) ^ 0x80000000U);
      if (!valid_ordinal_day(day)) throw Invalid(fmt::format("date value {} is out of range", day));
      append_date(day, out);
      return;
    }
    case FieldType::Time: {
      const auto ms = static_cast<std::int32_t>(be(p, 4) ^ 0x80000000U);
      if (ms < 0 || ms >= kMsPerDay) throw Invalid(fmt::format("time value {} is out of range", ms));
      append_time(ms, out);
      return;
    }
    case FieldType::Timestamp: {
      const double v = stored_double(p);
      if (!(v >= kMsPerDay && v < static_cast<double>((kMaxDay + 1) * kMsPerDay)))
        throw Invalid("timestamp value out of range");
      const auto ms = static_cast<std::int64_t>(v);
      append_date(ms / kMsPerDay, out);
      out += ' ';
      append_time(ms % kMsPerDay, out);
      return;
    }
    case FieldType::BCD:
      format_bcd(p, out);
      return;
    default:
      throw Invalid(fmt::format("type '{}' has no fixed-size text form", static_cast<char>(type)));
  }
}

void encode(FieldType type, std::string_view t, unsigned char* p) {
  std::int64_t i = 0;
  double d = 0;
  switch (type) {
    case FieldType::Short:
      if (!parse_int(t, i) || i < -32767 || i > 32767) throw Invalid("not a short integer (-32767 to 32767)");
      put_be(p, 2, static_cast<std::uint16_t>(i) ^ 0x8000U);
      return;
    case FieldType::Long:
    case FieldType::AutoInc:
      if (!parse_int(t, i) || i < -2147483647 || i > 2147483647) throw Invalid("not a long integer");
      put_be(p, 4, static_cast<std::uint32_t>(i) ^ 0x80000000U);
      return;
    case FieldType::Number:
    case FieldType::Money:
      if (!parse_double(t, d)) throw Invalid("not a number");
      store_double(d, p);
      return;
    case FieldType::Logical: {
      const std::string l = platform::ascii_lower(t);
      if (l == "true" || l == "t" || l == "yes" || l == "1") p[0] = 0x81;
      else if (l == "false" || l == "f" || l == "no" || l == "0") p[0] = 0x80;
      else throw Invalid("not a logical value (True or False)");
      return;
    }
    case FieldType::Date:
      // A date-and-time text (a timestamp field's) gives its date.
      if (!parse_date(t, i) || !valid_ordinal_day(i)) throw Invalid("not a date (MM/DD/YYYY)");
      put_be(p, 4, static_cast<std::uint32_t>(i) ^ 0x80000000U);
      return;
    case FieldType::Timestamp: {
      std::string_view date;
      std::int64_t ms = 0;
      if (!split_date_time(t, date, ms) || !parse_date(date, i) || !valid_ordinal_day(i))
        throw Invalid("not a date and time (MM/DD/YYYY HH:MM:SS)");
      store_double(static_cast<double>(i * kMsPerDay + ms), p);
      return;
    }
    default:
      throw Invalid(fmt::format("fields of type '{}' cannot be written", static_cast<char>(type)));
  }
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    s += kDigits[c >> 4];
    s += kDigits[c & 0xF];
  }
  return s;
}

std::string through_field(FieldType type, std::string_view text) {
  if (type == FieldType::Alpha || type == FieldType::Memo) return std::string(text);
  const std::string_view t = platform::trim(text);
  if (t.empty()) return {};
  unsigned char stored[32] = {};
  encode(type, t, stored);
  std::string out;
  if (!all_zero(stored, sizeof stored)) format(type, stored, out);
  return out;
}

}  // namespace qv::pdx::values
