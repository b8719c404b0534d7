// What a column receives for a text, for the table that stores it and the
// typed reader that converts it as a stored row would be. Private to
// src/firebird.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "firebird/error.h"
#include "firebird/typed_reader.h"
#include "platform/text.h"

namespace qv::fb {

struct Column {
  std::string name;
  bool text = false;   // CHAR or VARCHAR
  unsigned width = 0;  // bytes (= characters: the database's character set is NONE)
};

enum class State : char { Unset, Null, Set };

struct Value {
  State state = State::Unset;
  bool shortened = false;
  std::string bytes;  // Windows-1252
};

// A failure of a value the column does not take.
inline Error refused(const std::string& what) {
  Error e(what);
  e.set_refused_value();
  return e;
}

// What a column receives for a text: an empty text is NULL in non-text
// columns and an empty string in text columns; a text longer than its CHAR
// column is shortened to the width. `where` names the place for an error.
// The value is written into `v`, whose buffer is kept from row to row.
template <class Where>
void column_value(const Column& c, std::string_view utf8, Value& v, Where&& where) {
  v.shortened = false;
  if (utf8.empty()) {
    // The engine refuses '' for numbers and dates.
    v.state = c.text ? State::Set : State::Null;
    v.bytes.clear();
    return;
  }
  std::optional<std::string> converted;
  std::string_view bytes = utf8;
  if (!platform::is_ascii(utf8)) {
    std::string bad;
    converted = platform::to_cp1252(utf8, &bad);
    if (!converted) throw refused(where() + ": the character \"" + bad + "\" has no Windows-1252 form");
    bytes = *converted;
  }
  if (!c.text && bytes.size() > kMaxConvertedText)
    throw refused(where() + ": the value \"" + std::string(utf8.substr(0, 40)) + "...\" is too long");
  v.shortened = c.text && bytes.size() > c.width;
  v.bytes.assign(v.shortened ? bytes.substr(0, c.width) : bytes);
  v.state = State::Set;
}

}  // namespace qv::fb
