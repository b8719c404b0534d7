#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <charconv>
#include <clocale>
#include <cwctype>
#include <stdexcept>
#include <utility>
#include <locale.h>

namespace qv::platform {

std::string_view trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

namespace {

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i.
// Returns -1 for an invalid sequence (i advances by one byte).
long decode_utf8(std::string_view s, std::size_t& i) {
  auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) { ++i; return c; }
  int len = (c >= 0xF0 && c < 0xF8) ? 4 : (c >= 0xE0) ? 3 : (c >= 0xC2 && c < 0xE0) ? 2 : 0;
  if (len == 0 || c >= 0xF8 || i + static_cast<std::size_t>(len) > s.size()) { ++i; return -1; }
  long cp = c & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    auto d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((d & 0xC0) != 0x80) { ++i; return -1; }
    cp = (cp << 6) | (d & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return -1; }
  i += static_cast<std::size_t>(len);
  return cp;
}

void encode_utf8(long cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool can_show(long cp) { return cp == '\n' || cp == '\t' || (cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0)); }

locale_t utf8_locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return loc;
}

// Windows-1252 bytes 0x80..0x9F; 0 marks the five unassigned bytes.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

// The Windows-1252 byte of a code point, or -1 when the page has none.
int cp1252_byte(long cp) {
  if (cp >= 0 && cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0xA0 && cp <= 0xFF) return static_cast<int>(cp);
  for (std::size_t k = 0; k < kCp1252High.size(); ++k)
    if (kCp1252High[k] != 0 && kCp1252High[k] == cp) return 0x80 + static_cast<int>(k);
  return -1;
}

// Every letter to its capital, appended to `out`; with `cp1252_only` only to
// a capital that Windows-1252 has.
void to_capitals(std::string_view s, bool cp1252_only, std::string& out) {
  out.reserve(out.size() + s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    // A run of ASCII at once.
    std::size_t end = i;
    while (end < s.size() && static_cast<unsigned char>(s[end]) < 0x80) ++end;
    if (end > i) {
      const std::size_t at = out.size();
      out.resize(at + (end - i));
      std::transform(s.begin() + static_cast<std::ptrdiff_t>(i), s.begin() + static_cast<std::ptrdiff_t>(end),
                     out.begin() + static_cast<std::ptrdiff_t>(at),
                     [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
      i = end;
      continue;
    }
    std::size_t start = i;
    long cp = decode_utf8(s, i);
    if (cp < 0) {  // not UTF-8: keep the byte as it is
      out += s[start];
      continue;
    }
    locale_t loc = utf8_locale();
    long up = loc ? static_cast<long>(towupper_l(static_cast<wint_t>(cp), loc)) : cp;
    if (cp1252_only && up != cp && cp1252_byte(up) < 0) up = cp;
    encode_utf8(up, out);
  }
}

}  // namespace

bool is_ascii(std::string_view s) {
  // Eight bytes at a time.
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::size_t i = 0;
  for (std::uint64_t w; i + 8 <= s.size(); i += 8) {
    std::memcpy(&w, s.data() + i, 8);
    if (w & kHigh) return false;
  }
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void append_upper(std::string_view utf8, std::string& out) { to_capitals(utf8, true, out); }

std::string upper(std::string_view utf8) {
  std::string out;
  to_capitals(utf8, true, out);
  return out;
}

std::string fold_name(std::string_view utf8) {
  std::string out;
  to_capitals(utf8, false, out);
  return out;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (auto& ch : out)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  return out;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (auto& ch : out)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::size_t utf8_length(std::string_view s) {
  std::size_t n = 0;
  for (char ch : s)
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
  return n;
}

std::string_view utf8_prefix(std::string_view s, std::size_t n) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == n) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

std::optional<std::string> to_cp1252(std::string_view s, std::string* bad) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { out += static_cast<char>(c); ++i; continue; }
    std::size_t start = i;
    const long cp = decode_utf8(s, i);
    const int byte = cp >= 0x80 ? cp1252_byte(cp) : -1;  // below 0x80 here: a broken sequence
    if (byte < 0) {
      if (bad) *bad = std::string(s.substr(start, i - start));
      return std::nullopt;
    }
    out += static_cast<char>(byte);
  }
  return out;
}

std::string from_cp1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 4);
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) out += ch;
    else if (c < 0xA0) encode_utf8(kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : c, out);
    else encode_utf8(c, out);
  }
  return out;
}

std::string decimal_text(double v) {
  char buf[512];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  if (r.ec != std::errc()) return "0";
  std::string out(buf, r.ptr);
  if (out == "-0") out = "0";
  return out;
}

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();)
    if (decode_utf8(s, i) < 0) return false;
  return true;
}

std::string printable(std::string_view utf8) {
  std::string out;
  char code[24];
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t at = i;
    const long cp = decode_utf8(utf8, i);
    if (cp >= 0 && can_show(cp)) {
      out += utf8.substr(at, i - at);
      continue;
    }
    if (cp < 0)
      std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(utf8[at]));
    else
      std::snprintf(code, sizeof code, "U+%04lX", cp);
    out += code;
  }
  return out;
}

std::string csv_field(std::string_view v) {
  const bool plain = v.find_first_of(",\"\r\n") == std::string_view::npos &&
                     (v.empty() || (v.front() != ' ' && v.back() != ' '));
  if (plain) return std::string(v);
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

std::vector<std::vector<std::string>> csv_records(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> fields{""};
  bool quoted = false, any = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') fields.back() += c;
      else if (i + 1 < text.size() && text[i + 1] == '"') fields.back() += text[++i];
      else quoted = false;
    } else if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      fields.emplace_back();
      any = true;
    } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      if (c == '\r') ++i;
      records.push_back(std::exchange(fields, {""}));
      any = false;
    } else {
      fields.back() += c;
      any = true;
    }
  }
  if (quoted) throw std::runtime_error("a quoted CSV field is not closed");
  if (any) records.push_back(std::move(fields));
  return records;
}

}  // namespace qv::platform
