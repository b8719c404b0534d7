// Field values of a record: their text forms and their stored bytes.
// Numbers are stored big-endian with the sign bit flipped (negative floating
// point values with every bit flipped), so that all-zero bytes mean "no value".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "paradox/table.h"

namespace qv::pdx::values {

bool all_zero(const unsigned char* p, std::size_t n);

// What is wrong with a stored value or with a text to store; the caller adds
// the table, row and field.
class Invalid : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends the text form of a value of a fixed-size type (not alpha, bytes or
// blobs) that is not all zero. Throws Invalid when the stored bytes are not
// a value of the type.
void format(FieldType type, const unsigned char* p, std::string& out);

// Text forms shared by reading and writing.
void append_date(std::int64_t ordinal_day, std::string& out);  // day 1 = 01/01/0001
bool valid_ordinal_day(std::int64_t day);

// A date text with an optional time of day after a blank, as a timestamp
// field reads ("12/22/1998 08:30:00"; also "8:30" or "08:30:00.250"):
// `date` receives the date part, `ms_of_day` the time of day (0 when there
// is none). False when what follows the date is no time of day. A date
// field given such a text keeps the date part.
bool split_date_time(std::string_view text, std::string_view& date, std::int64_t& ms_of_day);

// Stores `text` (already trimmed, not empty) as a value of a fixed-size type
// into `p`. Throws Invalid saying why the text is refused.
void encode(FieldType type, std::string_view text, unsigned char* p);

std::string hex(std::string_view bytes);

// The text a field of `type` reads back after being given `text`: alpha and
// memo text unchanged, other types stored and read again (a date keeps its
// date part, a number its stored form); empty when no value is stored.
// Throws Invalid as encode does.
std::string through_field(FieldType type, std::string_view text);

}  // namespace qv::pdx::values
