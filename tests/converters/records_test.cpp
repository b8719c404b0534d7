// Payment records, settings, edit rules, statistics and the time of day.
#include <gmock/gmock.h>

#include <algorithm>

#include "converter_fixture.h"
#include "converters/frame.h"
#include "run/row_errors.h"

namespace qv::test {
namespace {

using pdx::FieldType;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Optional;
using ::testing::StartsWith;

class RecordsTest : public ConverterTest {};

std::vector<pdx::FieldDef> payment_fields() {
  std::vector<pdx::FieldDef> f = {typed("PK", FieldType::Number), alpha("CATEGORY", 25), typed("ITEM_DATE", FieldType::Date),
                                  alpha("YYYYMMDD", 8)};
  for (const char* d : {"DATE_SENT", "DATE_AVAIL", "DATE_1ST_TRY", "DATE_2ND_TRY", "DATE_3RD_TRY", "DATE_DEL",
                        "DATE_RETURNED", "DATE_CLEAR"})
    f.push_back(typed(d, std::string_view(d) == "DATE_DEL" ? FieldType::Timestamp : FieldType::Date));
  for (const char* d : {"DAYS_SENT_TO_AVAIL", "DAYS_SENT_TO_DEL", "DAYS_AVAIL_TO_DEL", "DAYS_DEL_TO_CLEAR"})
    f.push_back(typed(d, FieldType::Short));
  f.push_back(typed("DAYS_SENT_TO_CLEAR", FieldType::Long));
  f.push_back(alpha("CHECK_NBR", 6));
  f.push_back(alpha("ITEM", 80));
  for (const char* d : {"SS_AMT", "RP_AMT", "CS_AMT"}) f.push_back(typed(d, FieldType::Money));
  f.push_back(typed("OTHER_AMT", FieldType::Number));
  f.push_back(alpha("CARRIER", 40));
  f.push_back(alpha("CARR_NBR", 40));
  for (const char* d : {"ITEM_FILE", "SHIP_FILE", "SIG_FILE", "CHK_STMT"}) f.push_back(alpha(d, 255));
  f.push_back(alpha("COMMENT", 120));
  f.push_back({"MEMO", FieldType::Memo, 10, 0, false});
  return f;
}

std::vector<std::string> payment_row(const std::string& pk) {
  std::vector<std::string> v = {pk, "child support", "04/15/2003", "20030415"};
  for (int i = 0; i < 8; ++i) v.push_back(i == 4 ? "" : "04/1" + std::to_string(i) + "/2003");
  v[9] += " 14:30:00";  // DATE_DEL, a timestamp
  for (const char* d : {"1", "2", "3", "4", "5"}) v.push_back(d);
  for (const char* d : {"001234", "Support check", "250.50", "0", "12.05", "", "  ups", "1Z999", "c:\\items\\a.pdf",
                        "", "c:\\sig\\a.jpg", "", "Left with neighbor"})
    v.push_back(d);
  v.push_back("memo text");
  return v;
}

TEST_F(RecordsTest, PaymentRecordsArriveAsReadWithTheirOwnKeys) {
  create_destination({"QUORVEL_4"});
  std::vector<std::string> empty_but_key(payment_fields().size());
  empty_but_key[0] = "3";
  auto long_comment = payment_row("7");
  long_comment[29] = std::string(100, 'z');
  write_old("quorvel2.db", payment_fields(), {payment_row("12.5"), empty_but_key, long_comment});

  form_.convert_quorvel_4(&form_, kDb);

  EXPECT_THAT(form_.Memo1.Lines,
              ElementsAre("QUORVEL_4 table...........", "---->Record Count in old table: 3",
                          "---->Records In New Table: 3", "---->Values shortened to fit their columns: 1"));
  auto rows = query(
      "SELECT PK, CATEGORY, ITEM_DATE, DATE_3RD_TRY, DAYS_SENT_TO_CLEAR, SS_AMT, OTHER_AMT, CARRIER, SHIP_FILE, "
      "MEMO, CHECK_NBR, DATE_DEL FROM QUORVEL_4 ORDER BY PK");
  ASSERT_EQ(rows.size(), 3u);
  const auto& full = rows[2];
  EXPECT_THAT(full[0], Optional(StartsWith("12.5000")));
  EXPECT_THAT(full[1], Optional(StartsWith("child support")));
  EXPECT_THAT(full[2], Optional(StartsWith("15-APR-2003")));
  EXPECT_EQ(full[3], std::nullopt);  // empty date
  EXPECT_EQ(full[4], "5");
  EXPECT_THAT(full[5], Optional(StartsWith("250.5")));
  EXPECT_EQ(full[6], std::nullopt);  // empty number
  EXPECT_THAT(full[7], Optional(StartsWith("  ups ")));
  EXPECT_THAT(full[8], Optional(StartsWith("  ")));  // empty text: empty CHAR
  EXPECT_EQ(full[9], std::nullopt);                  // MEMO never set
  EXPECT_THAT(full[10], Optional(StartsWith("001234")));
  EXPECT_THAT(full[11], Optional(StartsWith("15-APR-2003 14:30:00")));  // a DATE column keeps the time
  const auto& bare = rows[0];
  EXPECT_THAT(bare[0], Optional(StartsWith("3.000")));
  EXPECT_EQ(bare[2], std::nullopt);
  EXPECT_EQ(bare[4], std::nullopt);
}

TEST_F(RecordsTest, PaymentKeyClashEndsTheRunNamingTableRowAndValue) {
  create_destination({"QUORVEL_4"});
  write_old("QUORVEL2.db", payment_fields(), {payment_row("1"), payment_row("2"), payment_row("1")});
  try {
    form_.convert_quorvel_4(&form_, kDb);
    FAIL() << "a repeated key must end the run";
  } catch (const conv::RunError& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr("QUORVEL2.db, row 3"), HasSubstr("PK '1'"), HasSubstr("QUORVEL_4")));
  }
  EXPECT_THAT(log_from("QUORVEL_4 table..........."),
              ElementsAre("QUORVEL_4 table...........", "---->Record Count in old table: 3"));
  EXPECT_THAT(column("SELECT COUNT(*) FROM QUORVEL_4"), ElementsAre("2"));
}

// Rows sent several to a call end a run as rows sent one by one: the same
// error, counts and stored rows wherever the clash falls in a call, and a
// stop stores the rows posted until then.
TEST_F(RecordsTest, SeveralRowsPerCallEndARunAsOneRowPerCall) {
  create_destination({"QUORVEL_4"});
  struct Outcome {
    std::string end;
    std::int64_t done = 0, shortened = 0;
    std::vector<std::string> keys;
    bool operator==(const Outcome&) const = default;
  };
  const auto run = [&](int per_call, std::size_t clash) {
    Rows rows;
    for (std::size_t r = 1; r <= 10; ++r) {
      rows.push_back(payment_row(std::to_string(r == clash ? r - 1 : r)));
      if (r % 3 == 0) rows.back()[29] = std::string(100, 'z');  // COMMENT shortened
    }
    write_old("quorvel2.db", payment_fields(), rows);
    conv::connect_destination(kDb);
    DataModule2->IBDatabase2.ExecuteImmediate("DELETE FROM QUORVEL_4");
    DataModule2->IBDatabase2.RowsPerCall = per_call;
    Outcome o;
    try {
      form_.convert_quorvel_4(&form_, kDb);
    } catch (const std::exception& e) {
      o.end = e.what();
    }
    o.done = form_.stats.back().done;
    o.shortened = form_.stats.back().shortened;
    o.keys = column("SELECT PK FROM QUORVEL_4 ORDER BY PK");
    return o;
  };
  // Four to a call: rows 1-4, 5-8, then 9 and 10 at the end of the table.
  for (std::size_t clash : {2u, 5u, 7u, 8u, 10u, 0u}) {
    const Outcome one = run(1, clash);
    EXPECT_EQ(run(4, clash), one) << "clash at row " << clash;
    EXPECT_EQ(one.keys.size(), clash ? clash - 1 : 10);
    EXPECT_EQ(one.done, clash ? clash - 1 : 10);
    if (clash) {
      EXPECT_THAT(one.end, StartsWith("QUORVEL2.db, row " + std::to_string(clash) + ": key PK '" +
                                      std::to_string(clash - 1) + "' is already in QUORVEL_4: "));
    }
  }
  form_.request_stop();  // at the first row
  const Outcome one = run(1, 0);
  EXPECT_EQ(run(4, 0), one);
  EXPECT_EQ(one.keys.size(), 1u);
}

// The rows of a table are posted on a loader thread, a few hundred at a time,
// while the next ones are read: a row refused on either thread (a fraction
// on the reading thread, a repeated key in the engine) ends the run at that
// row with the counts of a run of one thread, or is left out in row order.
TEST_F(RecordsTest, RowsRefusedOnEitherThreadEndTheRunOrAreLeftOutInRowOrder) {
  create_destination({"QUORVEL_4"});
  auto fields = payment_fields();
  fields[12].DataType = FieldType::Number;  // DAYS_SENT_TO_AVAIL takes a fraction, refused
  constexpr std::size_t kRows = 700;
  struct Case {
    std::vector<std::size_t> clashes, fractions;
    std::int64_t max_errors;  // -1: no RowErrors, the first refusal ends the run
    std::string end;          // the start of the error, empty: none
    std::int64_t done, refused, stored;
    std::vector<std::int64_t> left_out;
  };
  const Case cases[] = {
      {{257}, {}, -1, "QUORVEL2.db, row 257: key PK '256' is already in QUORVEL_4", 256, 0, 256, {}},
      {{}, {513}, -1, "QUORVEL2.db, row 513, DAYS_SENT_TO_AVAIL: \"1.5\" is not a whole number", 512, 0, 512, {}},
      {{700}, {}, -1, "QUORVEL2.db, row 700: key PK '699'", 699, 0, 699, {}},
      {{255, 302}, {300, 520}, 0, "", 700, 4, 696, {255, 300, 302, 520}},
      {{255, 302}, {300, 520}, 2, "QUORVEL2.db, row 302", 301, 2, 299, {255, 300}},
  };
  for (const Case& c : cases) {
    Rows rows;
    for (std::size_t r = 1; r <= kRows; ++r) {
      const bool clash = std::find(c.clashes.begin(), c.clashes.end(), r) != c.clashes.end();
      rows.push_back(payment_row(std::to_string(clash ? r - 1 : r)));
      if (std::find(c.fractions.begin(), c.fractions.end(), r) != c.fractions.end()) rows.back()[12] = "1.5";
    }
    write_old("quorvel2.db", fields, rows);
    for (const int per_call : {1, 4}) {
      SCOPED_TRACE(testing::Message() << "case ending " << c.done << ", " << per_call << " rows per call");
      conv::connect_destination(kDb);
      DataModule2->IBDatabase2.ExecuteImmediate("DELETE FROM QUORVEL_4");
      DataModule2->IBDatabase2.RowsPerCall = per_call;
      std::vector<std::int64_t> left_out;
      conv::RowErrors errors{std::max<std::int64_t>(c.max_errors, 0),
                             [&](const conv::RefusedRow& r) { left_out.push_back(r.row); }};
      form_.set_row_errors(c.max_errors < 0 ? nullptr : &errors);
      std::string end;
      try {
        form_.convert_quorvel_4(&form_, kDb);
      } catch (const std::exception& e) {
        end = e.what();
      }
      form_.set_row_errors(nullptr);
      EXPECT_THAT(end, StartsWith(c.end));
      EXPECT_EQ(end.empty(), c.end.empty()) << end;
      EXPECT_EQ(form_.stats.back().done, c.done);
      EXPECT_EQ(form_.stats.back().refused, c.refused);
      EXPECT_EQ(left_out, c.left_out);
      EXPECT_THAT(column("SELECT COUNT(*) FROM QUORVEL_4"), ElementsAre(std::to_string(c.stored)));
    }
  }
  // A stop asked for on the loader's thread (here, as it leaves the last
  // case's row 255 out) ends the run after that row, however far the
  // reading thread got.
  conv::connect_destination(kDb);
  DataModule2->IBDatabase2.ExecuteImmediate("DELETE FROM QUORVEL_4");
  DataModule2->IBDatabase2.RowsPerCall = 1;
  conv::RowErrors errors{0, [&](const conv::RefusedRow&) { form_.request_stop(); }};
  form_.set_row_errors(&errors);
  EXPECT_THROW(form_.convert_quorvel_4(&form_, kDb), RunStopped);
  form_.set_row_errors(nullptr);
  form_.withdraw_stop();
  const TableStats& t = form_.stats.back();
  EXPECT_EQ(t.done, 255);
  EXPECT_EQ(t.refused, 1);
  EXPECT_THAT(column("SELECT COUNT(*) FROM QUORVEL_4"), ElementsAre("254"));
}

TEST_F(RecordsTest, WholeNumberColumnsRefuseAFractionNamingTableRowFieldAndValue) {
  create_destination({"QUORVEL_4", "STATS_JT_4"});
  auto payments = payment_fields();
  payments[12].DataType = FieldType::Number;  // DAYS_SENT_TO_AVAIL
  auto fractional_days = payment_row("2");
  fractional_days[12] = "1.5";
  write_old("QUORVEL2.db", payments, {payment_row("1"), fractional_days});
  write_old("stats_jt.db",
            {typed("ORDER", FieldType::Number), alpha("CATEGORY", 50), typed("COUNT", FieldType::Number),
             typed("PERCENTAGE", FieldType::Number), alpha("REASON_NOT_SUBMITTED", 80), typed("AS_OF_DATE", FieldType::Date)},
            {{"3", "mail", "1", "1", "r", "04/15/2003"}, {"2.5", "mail", "1", "1", "r", "04/15/2003"}});
  struct Case {
    void (Tconversion_form::*convert)(Sender, std::string);
    const char* said;
    const char* table;
  };
  const Case cases[] = {
      {&Tconversion_form::convert_quorvel_4,
       "QUORVEL2.db, row 2, DAYS_SENT_TO_AVAIL: \"1.5\" is not a whole number: QUORVEL_4.DAYS_SENT_TO_AVAIL is INTEGER",
       "QUORVEL_4"},
      {&Tconversion_form::convert_stats_jt_4,
       "stats_jt.db, row 2, ORDER: \"2.5\" is not a whole number: STATS_JT_4.ORDER_ is INTEGER", "STATS_JT_4"},
  };
  for (const auto& c : cases) {
    try {
      (form_.*c.convert)(&form_, kDb);
      ADD_FAILURE() << c.table << ": a fraction must end the run";
    } catch (const conv::RunError& e) {
      EXPECT_STREQ(e.what(), c.said);
    }
    EXPECT_THAT(column(std::string("SELECT COUNT(*) FROM ") + c.table), ElementsAre("1")) << c.table;
  }
}

TEST_F(RecordsTest, SettingsKeepTextAndTurnAutoZipIntoAFlag) {
  create_destination({"CONFIG_4"});
  const std::vector<std::string> flags = {"True", "true", "TRUE", "False", "", "T", "1", " TRUE", "TRUE "};
  std::vector<pdx::FieldDef> defs;
  for (const char* f : {"SIDE_BAR_COLOR", "BROWSE_START_HERE", "AUTO_ZIP", "MY_NAME", "MY_ADDRESS", "MY_CITY",
                        "MY_STATE", "MY_ZIP", "EX_SPOUSE_NAME", "EX_SPOUSE_SSAN", "EX_SPOUSE_ADDRESS", "EX_SPOUSE_CITY",
                        "EX_SPOUSE_STATE", "EX_SPOUSE_ZIP"})
    defs.push_back(alpha(f, 20));
  Rows rows;
  for (const auto& flag : flags) {
    std::vector<std::string> row(defs.size());
    row[2] = flag;
    rows.push_back(row);
  }
  rows[0] = {"clLime", "c:\\data", "True", "Ann Lee", "1 Main", " Albany ", "New York", "12207",
             "Bob",    "123",      "2 Elm", "Troy",   "ny",      "12180"};
  write_old("CONFIG.db", defs, rows);

  form_.convert_config_4(&form_, kDb);

  EXPECT_THAT(form_.Memo1.Lines,
              ElementsAre("CONFIG table...........", "---->Record Count in old table: 9", "---->Records In New Table: 9",
                          "---->Values shortened to fit their columns: 1"));
  EXPECT_THAT(column("SELECT AUTO_ZIP FROM CONFIG_4"), ElementsAre("1", "1", "1", "0", "0", "0", "0", "0", "0"));
  auto first = query("SELECT MY_CITY, MY_STATE, EX_SPOUSE_STATE, MY_NAME FROM CONFIG_4").at(0);
  EXPECT_THAT(first[0], Optional(StartsWith(" Albany ")));
  EXPECT_EQ(first[1], "Ne");
  EXPECT_THAT(first[2], Optional(StartsWith("ny ")));
  EXPECT_THAT(first[3], Optional(StartsWith("Ann Lee")));
}

TEST_F(RecordsTest, EditRulesNeedAllThreeFieldsAndKeepTheirCase) {
  create_destination({"JS_EDIT_4"});
  const std::vector<pdx::FieldDef> defs = {alpha("CHANGE_FROM", 132), alpha("CHANGE_TO", 132), alpha("REASON_NO_SUBMIT", 132)};
  write_old("JS_EDIT.db", defs,
            {{"Sr.", "Senior", "Abbreviation"},
             {"  jr.", "Junior ", "kept as typed"},
             {"Mgr", "Manager", ""},
             {"Eng", " \t", "Engineer"},
             {"   ", "Nothing", "Blank key"},
             {"sr.", "senior", "another key"}});

  form_.convert_js_edit_4(&form_, kDb);

  EXPECT_THAT(form_.Memo1.Lines, ElementsAre("JS_EDIT_4 table...........", "---->Record Count in old table: 6",
                                             "---->Records In New Table: 3"));
  EXPECT_THAT(column("SELECT CHANGE_FROM FROM JS_EDIT_4 ORDER BY CHANGE_FROM"), ElementsAre("  jr.", "Sr.", "sr."));
  EXPECT_THAT(column("SELECT CHANGE_TO FROM JS_EDIT_4 WHERE CHANGE_FROM = '  jr.'"), ElementsAre("Junior"));
  ASSERT_EQ(form_.stats.size(), 1u);
  EXPECT_EQ(form_.stats[0].skipped, 3);
}

TEST_F(RecordsTest, StatisticsUpperCaseAndSkipIncompleteRows) {
  create_destination({"STATS_JT_4", "STATS_ST_4"});
  write_old("STATS_JT.DB",
            {typed("ORDER", FieldType::Short), alpha("CATEGORY", 50), typed("COUNT", FieldType::Number),
             typed("PERCENTAGE", FieldType::Number), alpha("REASON_NOT_SUBMITTED", 80), typed("AS_OF_DATE", FieldType::Date)},
            {{"1", "job type", "0", "12.5", "Filled", "04/15/2003"},
             {"2", "Job Type", "3", "1", "  ", "04/15/2003"},
             {"3", "other", "", "1", "r", "04/15/2003"},
             {"4", "other", "7", "33.333", "salary", ""}});
  write_old("Stats_St.db",
            {alpha("STATE", 2), typed("COUNT", FieldType::Number), typed("PERCENTAGE", FieldType::Number),
             typed("AS_OF_DATE", FieldType::Date)},
            {{"ny", "5", "50", "04/15/2003"}, {"CA", "5", "", "04/15/2003"}, {"  ", "1", "1", "04/15/2003"}});

  form_.convert_stats_jt_4(&form_, kDb);
  form_.convert_stats_st_4(&form_, kDb);

  EXPECT_THAT(form_.Memo1.Lines,
              ElementsAre("STATS_JT_4 table...........", "---->Record Count in old table: 4",
                          "---->Records In New Table: 1", "STATS_ST_4 table...........",
                          "---->Record Count in old table: 3", "---->Records In New Table: 1"));
  auto jt = query("SELECT ORDER_, CATEGORY, COUNT_, PERCENTAGE, REASON_NOT_SUBMITTED, AS_OF_DATE FROM STATS_JT_4").at(0);
  EXPECT_EQ(jt[0], "1");
  EXPECT_THAT(jt[1], Optional(StartsWith("JOB TYPE ")));
  EXPECT_THAT(jt[2], Optional(StartsWith("0")));
  EXPECT_THAT(jt[3], Optional(StartsWith("12.5")));
  EXPECT_THAT(jt[4], Optional(StartsWith("FILLED ")));
  EXPECT_THAT(jt[5], Optional(StartsWith("15-APR-2003")));
  EXPECT_THAT(column("SELECT STATE FROM STATS_ST_4"), ElementsAre("NY"));
  EXPECT_EQ(form_.stats.at(0).table, "STATS_JT_4");
  EXPECT_EQ(form_.stats.at(0).skipped, 3);
}

TEST_F(RecordsTest, StatisticsKeyClashAfterUpperCasingNamesTheValue) {
  create_destination({"STATS_ST_4"});
  write_old("stats_st.db",
            {alpha("STATE", 2), typed("COUNT", FieldType::Number), typed("PERCENTAGE", FieldType::Number),
             typed("AS_OF_DATE", FieldType::Date)},
            {{"ny", "5", "50", "04/15/2003"}, {"NY", "1", "1", "04/15/2003"}});
  try {
    form_.convert_stats_st_4(&form_, kDb);
    FAIL() << "ny and NY are one key";
  } catch (const conv::RunError& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr("stats_st.db, row 2"), HasSubstr("STATE 'NY'"), HasSubstr("STATS_ST_4")));
  }
}

TEST_F(RecordsTest, TimeOfDayNeedsBothTextsAndUpperCasesTheMarker) {
  create_destination({"TIME10_4"});
  write_old("TIME10.DB", {alpha("24_HOUR", 5), alpha("12_HOUR", 8)},
            {{"13:30", "1:30 pm"}, {"08:00", "8:00 Am"}, {"09:00", ""}, {"  ", "9:00 am"}, {"13:30", "1:30 PMX"}});

  form_.convert_time10_4(&form_, kDb);

  EXPECT_THAT(form_.Memo1.Lines, ElementsAre("TIME10_4 table...........", "---->Record Count in old table: 5",
                                             "---->Records In New Table: 3"));
  EXPECT_THAT(column("SELECT X12_HOUR FROM TIME10_4 ORDER BY X24_HOUR, X12_HOUR"),
              ElementsAre("8:00 AM", "1:30 PM", "1:30 PMX"));
}

TEST_F(RecordsTest, AMissingFieldFailsBeforeAnyRowAndAnEmptyTablePasses) {
  create_destination({"TIME10_4"});
  write_old("time10.db", {alpha("24_HOUR", 5)}, {});
  form_.convert_time10_4(&form_, kDb);
  EXPECT_THAT(form_.Memo1.Lines, ElementsAre("TIME10_4 table...........", "---->Record Count in old table: 0",
                                             "---->Records In New Table: 0"));

  write_old("time10.db", {alpha("24_HOUR", 5)}, {{"10:00"}});
  try {
    form_.convert_time10_4(&form_, kDb);
    FAIL() << "12_HOUR is missing";
  } catch (const conv::RunError& e) {
    EXPECT_THAT(e.what(), HasSubstr("time10.db, row 1, 12_HOUR"));
  }
  EXPECT_THAT(column("SELECT COUNT(*) FROM TIME10_4"), ElementsAre("0"));
}

}  // namespace
}  // namespace qv::test
