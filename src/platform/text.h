// Text helpers. Text inside the program is UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv::platform {

// Removes leading and trailing characters of code 0 to 32.
std::string_view trim(std::string_view s);
inline bool is_blank(std::string_view s) { return trim(s).empty(); }

// Upper-cases UTF-8 text with the locale's rules (letters beyond a to z too:
// é becomes É, ÿ becomes Ÿ), as a Windows-1252 locale does: a letter whose
// capital has no Windows-1252 form (µ, ƒ; ß has no one-letter capital) stays
// as it is. Nothing else changes: blanks and digits stay where they are.
std::string upper(std::string_view utf8);
// The same, appended to `out` (no text is made per call).
void append_upper(std::string_view utf8, std::string& out);

// True when every byte is below 0x80: text every code page we write keeps as
// it is.
bool is_ascii(std::string_view s);

// Names (files, fields) compare without regard to letter case beyond ASCII
// too, whatever their script: every letter to its capital (Д as well).
std::string fold_name(std::string_view utf8);

// ASCII-only case folding, for names (tables, fields, files).
std::string ascii_lower(std::string_view s);
std::string ascii_upper(std::string_view s);
bool iequals(std::string_view a, std::string_view b);

// Number of characters (code points) of UTF-8 text.
std::size_t utf8_length(std::string_view utf8);
// The first `n` characters of UTF-8 text.
std::string_view utf8_prefix(std::string_view utf8, std::size_t n);
// True when `s` is well-formed UTF-8 (a file name from an old disk may not be).
bool valid_utf8(std::string_view s);

// The text with every character that cannot be shown (control characters
// other than line break and tab, invalid UTF-8 bytes) as its code: "U+0001",
// "0x81".
std::string printable(std::string_view utf8);

// Windows-1252 <-> UTF-8. to_cp1252 returns nullopt when a character has no
// Windows-1252 form (or the text is not valid UTF-8); `bad` then receives it.
std::optional<std::string> to_cp1252(std::string_view utf8, std::string* bad = nullptr);
std::string from_cp1252(std::string_view bytes);

// Plain decimal text of a double: the shortest text that reads back as the
// same value, never with an exponent ("12.5", "-0.001", "100000000000").
std::string decimal_text(double v);

// CSV (RFC 4180): a value as one field, quoted when it holds a comma, a
// quote, a line break or blanks at either end (quotes doubled inside).
std::string csv_field(std::string_view v);
// The records of a CSV text (lines ended by CR LF or LF), each its fields
// unquoted. Raises std::runtime_error on a quote left open.
std::vector<std::vector<std::string>> csv_records(std::string_view text);

}  // namespace qv::platform
