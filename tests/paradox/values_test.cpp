// Stored bytes to text and text to stored bytes, field type by field type.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "paradox/values.h"

namespace qv::pdx {
namespace {

// A BCD value as stored: the sign and scale byte, then 32 digit nibbles
// (every nibble inverted for a negative value).
std::array<unsigned char, 17> bcd(bool negative, int scale, const std::string& digits32) {
  std::array<unsigned char, 17> b{};
  b[0] = static_cast<unsigned char>((negative ? 0x00 : 0x80) | scale);
  for (std::size_t i = 0; i < 32; ++i) {
    unsigned nib = static_cast<unsigned>(digits32.at(i) - '0');
    if (negative) nib = 0xF - nib;
    b[1 + i / 2] = static_cast<unsigned char>(b[1 + i / 2] | (i % 2 ? nib : nib << 4));
  }
  return b;
}

TEST(ParadoxValues, BcdDecodesEveryDigit) {
  struct Case {
    bool negative;
    int scale;
    const char* digits;
    const char* text;
  };
  const Case cases[] = {
      {false, 10, "12345678901234567890123456789012", "1234567890123456789012.3456789012"},
      {true, 32, "12345678901234567890123456789012", "-0.12345678901234567890123456789012"},
      {false, 0, "99999999999999999999999999999999", "99999999999999999999999999999999"},
      {false, 2, "00000000000000000000000000012300", "123"},
      {true, 4, "00000000000000000000000000000500", "-0.05"},
      {true, 2, "00000000000000000000000000000000", "0"},
  };
  for (const auto& c : cases) {
    const auto b = bcd(c.negative, c.scale, c.digits);
    std::string out;
    values::format(FieldType::BCD, b.data(), out);
    EXPECT_EQ(out, c.text) << c.digits;
  }
}

TEST(ParadoxValues, DateFieldsTakeTheDatePartOfADateAndTime) {
  struct Case {
    FieldType type;
    const char* in;
    const char* out;  // nullptr: refused
    std::int64_t ms_of_day;  // -1: what follows the date is no time of day
  };
  const Case cases[] = {
      {FieldType::Date, "12/22/1998 00:00:00", "12/22/1998", 0},
      {FieldType::Date, "12/22/1998 14:30:05", "12/22/1998", 52205000},
      {FieldType::Date, "1998-12-22 8:30", "12/22/1998", 30600000},
      {FieldType::Date, "12/22/1998", "12/22/1998", 0},
      {FieldType::Date, "12/22/1998 24:00:00", nullptr, -1},
      {FieldType::Date, "12/22/1998 noon", nullptr, -1},
      {FieldType::Timestamp, "02/29/2000 23:59:59", "02/29/2000 23:59:59", 86399000},
      {FieldType::Timestamp, "12/22/1998", "12/22/1998 00:00:00", 0},
      {FieldType::Timestamp, "12/22/1998 08:05:00.250", "12/22/1998 08:05:00", 29100250},
      {FieldType::Timestamp, "02/30/2000 10:00:00", nullptr, 36000000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string_view date;
    std::int64_t ms = -1;
    EXPECT_EQ(values::split_date_time(c.in, date, ms), c.ms_of_day >= 0);
    if (c.ms_of_day >= 0) {
      EXPECT_EQ(ms, c.ms_of_day);
    }
    std::array<unsigned char, 8> stored{};
    if (!c.out) {
      EXPECT_THROW(values::encode(c.type, c.in, stored.data()), values::Invalid);
      continue;
    }
    values::encode(c.type, c.in, stored.data());
    std::string text;
    values::format(c.type, stored.data(), text);
    EXPECT_EQ(text, c.out);
  }
}

}  // namespace
}  // namespace qv::pdx
