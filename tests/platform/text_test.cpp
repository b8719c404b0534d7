#include "platform/text.h"

#include <gtest/gtest.h>

using namespace qv::platform;

TEST(Text, TrimRemovesCodesZeroToThirtyTwoAtBothEndsOnly) {
  EXPECT_EQ(trim(std::string("\t\r\n  a b \x01\x1f", 11)), "a b");
  EXPECT_EQ(trim(std::string("\0 \0", 3)), "");
  EXPECT_TRUE(is_blank(" \t\x7"));
  EXPECT_FALSE(is_blank(" x "));
}

TEST(Text, UpperStaysInsideWindows1252AndKeepsBlanks) {
  const std::pair<const char*, const char*> cases[] = {
      {"  ups ", "  UPS "},
      {"café déjà-vu ÿ", "CAFÉ DÉJÀ-VU Ÿ"},
      {"œuvre šž", "ŒUVRE ŠŽ"},
      {"12/31/1999 pm", "12/31/1999 PM"},
      // Their capitals (U+039C, U+0191, "SS") have no Windows-1252 form.
      {"5µm ƒ-post straße", "5µM ƒ-POST STRAßE"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(upper(in), out);
    EXPECT_TRUE(to_cp1252(upper(in))) << in;
  }
  // Names compare in any script.
  EXPECT_EQ(fold_name("Наименование µ"), "НАИМЕНОВАНИЕ Μ");
}

TEST(Text, Cp1252RoundTripAndRefusal) {
  auto b = to_cp1252("é€Ÿ");
  ASSERT_TRUE(b);
  EXPECT_EQ(*b, "\xE9\x80\x9F");
  EXPECT_EQ(from_cp1252(*b), "é€Ÿ");
  std::string bad;
  EXPECT_FALSE(to_cp1252("a中b", &bad));
  EXPECT_EQ(bad, "中");
  EXPECT_FALSE(to_cp1252("\xC3"));  // broken UTF-8
}

TEST(Text, Utf8PrefixCountsCharacters) {
  EXPECT_EQ(utf8_length("aé€"), 3u);
  EXPECT_EQ(utf8_prefix("aé€b", 3), "aé€");
  EXPECT_EQ(utf8_prefix("ab", 5), "ab");
}

TEST(Text, DecimalTextIsShortestAndNeverExponent) {
  EXPECT_EQ(decimal_text(12.5), "12.5");
  EXPECT_EQ(decimal_text(-0.001), "-0.001");
  EXPECT_EQ(decimal_text(1e11), "100000000000");
  EXPECT_EQ(decimal_text(0.1), "0.1");
  EXPECT_EQ(decimal_text(-0.0), "0");
  EXPECT_EQ(decimal_text(1.5e-7), "0.00000015");
}

// Values written as CSV fields read back as they were, whatever they hold.
TEST(Text, CsvFieldsReadBackAsWritten) {
  const std::vector<std::string> values = {"", "plain", "a,b", "say \"hi\"", "two\r\nlines", " padded ", "é€", "\"", ","};
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) text += (i ? "," : "") + csv_field(values[i]);
  text += "\r\nlast,\n";
  EXPECT_EQ(csv_field("plain"), "plain");
  EXPECT_EQ(csv_field(" padded "), "\" padded \"");
  EXPECT_EQ(csv_records(text), (std::vector<std::vector<std::string>>{values, {"last", ""}}));
  EXPECT_THROW(csv_records("a,\"open"), std::runtime_error);
}
