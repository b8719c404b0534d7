// The pre-flight check against hand-made old tables.
#include "check/check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>

#include "converters/frame.h"
#include "form/conversion_form.h"
#include "registry/registry.h"
#include "platform/paths.h"
#include "jobsearch/jobsearch.h"
#include "sample_data.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using qv::check::DetailLines;
using qv::check::Finding;
using qv::check::Kind;
using ::testing::HasSubstr;

namespace {

using Rows = std::vector<std::vector<std::string>>;

std::vector<qv::pdx::FieldDef> alpha_fields(const std::vector<std::string>& names, int size = 40) {
  std::vector<qv::pdx::FieldDef> defs;
  for (const auto& n : names) defs.push_back({n, qv::pdx::FieldType::Alpha, size});
  return defs;
}

class CheckTest : public ::testing::Test {
 protected:
  void table(const std::string& file, const std::vector<qv::pdx::FieldDef>& defs, const Rows& rows) {
    qv::sample::write_table(dir.path(), file, defs, rows.size(),
                            [&](std::size_t i, std::vector<std::string>& v) { v = rows[i]; });
  }

  // Checks only the items named.
  qv::check::Report check(std::initializer_list<std::string_view> items, int codepage = 0) {
    qv::check::Options o;
    o.directory = dir.path().string();
    o.codepage = codepage;
    o.ticks.assign(qv::Tconversion_form::kTables, false);
    for (auto item : items)
      for (std::size_t i = 0; i < o.ticks.size(); ++i)
        if (item == qv::registry::items()[i].item) o.ticks[i] = true;
    o.on_finding = [this](const Finding& f) { findings.push_back(f); };
    return qv::check::run(o);
  }

  std::vector<Finding> of(Kind kind) const {
    std::vector<Finding> out;
    for (const auto& f : findings)
      if (f.kind == kind) out.push_back(f);
    return out;
  }

  qv::test::TempDir dir;
  std::vector<Finding> findings;
};

TEST_F(CheckTest, KeysCompareAsTheDatabaseDoes) {
  // Upper-cased, shortened to CHAR(2), trailing blanks ignored: all one state.
  table("stats_st.db", alpha_fields({"STATE", "COUNT", "PERCENTAGE", "AS_OF_DATE"}),
        {{"ny", "1", "2", "01/02/2003"}, {"NY ", "1", "2", "01/02/2003"}, {"NYC", "1", "2", "01/02/2003"},
         {"nj", "1", "2", "01/02/2003"}, {"", "1", "2", "01/02/2003"}});
  // Lookup lists merge instead of stopping.
  table("CARRIER.db", alpha_fields({"CARRIER"}), {{"Ups"}, {"UPS  "}, {"dhl"}, {" "}});
  const auto report = check({"stats_st.db", "carrier.db"});

  const auto clashes = of(Kind::key_clash);
  ASSERT_EQ(clashes.size(), 2u);
  EXPECT_EQ(clashes[0].table, "stats_st.db");
  EXPECT_EQ(clashes[0].row, 2);
  EXPECT_EQ(clashes[1].row, 3);
  EXPECT_EQ(clashes[1].value, "NYC");
  EXPECT_THAT(qv::check::format_finding(clashes[1]), HasSubstr("row 1"));
  EXPECT_EQ(of(Kind::shortened).size(), 2u);  // "NY " and "NYC"; the blank row is skipped

  const auto merged = of(Kind::merged);
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0].table, "CARRIER.db");
  EXPECT_EQ(merged[0].row, 2);
  EXPECT_TRUE(report.stops());
  EXPECT_EQ(report.rows_read, 9);
}

TEST_F(CheckTest, ValuesTheDatabaseCannotTakeOrChanges) {
  table("stats_jt.db",
        alpha_fields({"ORDER", "CATEGORY", "COUNT", "PERCENTAGE", "REASON_NOT_SUBMITTED", "AS_OF_DATE"}),
        {
            {"1", "mail", "3", "50", "none", "12/31/9999"},
            {"1.5", "a", "1", "1", "r", "01/01/2000"},         // a fraction for INTEGER
            {"3000000000", "b", "1", "1", "r", "01/01/2000"},  // beyond INTEGER
            {"x7", "c", "1", "1", "r", "01/01/2000"},          // no number
            {"4", "d", "123456789012", "1", "r", "01/01/2000"},  // beyond NUMERIC(10,3)
            {"5", "e", "1", "1", "r", "02/30/2000"},           // no such day
            {"6", "f", "1", "1", "r", "01/01/10000"},          // beyond the years
            {"7", "g", "1.23456", "1", "r", "01/01/2000 25:00"},  // decimals kept; no time of day
            {"8.0", "h", "1", "1", "r", "01/01/2000 14:30:00"},   // whole; the time is kept
            {"9", "i", "1", "1", "r", "31.12.2000"},              // day.month.year
            {"10", "j", "1", "1", "r", "12.31.2000"},             // ... so no month 31
        });
  const auto report = check({"stats_jt.db"});
  ASSERT_EQ(of(Kind::fraction).size(), 1u);
  EXPECT_EQ(of(Kind::fraction)[0].row, 2);
  EXPECT_EQ(of(Kind::fraction)[0].field, "ORDER");
  EXPECT_TRUE(qv::check::stops_run(Kind::fraction));
  ASSERT_EQ(of(Kind::bad_number).size(), 2u);
  EXPECT_EQ(of(Kind::bad_number)[0].field, "ORDER");
  EXPECT_EQ(of(Kind::bad_number)[1].value, "x7");
  ASSERT_EQ(of(Kind::beyond_precision).size(), 1u);
  EXPECT_EQ(of(Kind::beyond_precision)[0].field, "COUNT");
  ASSERT_EQ(of(Kind::bad_date).size(), 4u);
  EXPECT_EQ(of(Kind::bad_date)[1].row, 7);
  EXPECT_EQ(of(Kind::bad_date)[2].row, 8);
  EXPECT_EQ(of(Kind::bad_date)[3].row, 11);
  EXPECT_TRUE(report.stops());
  EXPECT_EQ(findings.size(), 8u);
}

TEST_F(CheckTest, MissingTablesFieldsAndEmptyKeys) {
  std::vector<std::string> names;
  for (const auto& c : qv::registry::items()[7].rule->columns) names.emplace_back(c.old_field);
  Rows rows(2, std::vector<std::string>(names.size()));
  rows[0][0] = "1.5";  // pk; row 2 has none
  table("QUORVEL2.db", alpha_fields(names), rows);
  table("city.db", alpha_fields({"TOWN"}), {{"x"}});
  const auto report = check({"quorvel2.db", "city.db", "time10.db"});
  ASSERT_EQ(of(Kind::empty_key).size(), 1u);
  EXPECT_EQ(of(Kind::empty_key)[0].row, 2);
  EXPECT_EQ(of(Kind::empty_key)[0].field, "pk");
  ASSERT_EQ(of(Kind::missing_field).size(), 1u);
  EXPECT_EQ(of(Kind::missing_field)[0].field, "CITY");
  ASSERT_EQ(of(Kind::missing_table).size(), 1u);
  EXPECT_EQ(of(Kind::missing_table)[0].table, "time10.db");
  EXPECT_TRUE(report.stops());
}

TEST_F(CheckTest, CorruptFileIsAFindingNotACrash) {
  table("CARRIER.db", alpha_fields({"CARRIER"}), {{"a"}, {"b"}});
  {
    std::fstream f(dir / "CARRIER.db", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.write("\xff\xff\xff\xff\xff\xff", 6);  // record size and header size
  }
  table("CITY.db", alpha_fields({"CITY"}), {{"x"}});
  const auto report = check({"carrier.db", "city.db"});
  ASSERT_EQ(of(Kind::corrupt_file).size(), 1u);
  EXPECT_THAT(of(Kind::corrupt_file)[0].detail, HasSubstr("CARRIER"));
  EXPECT_EQ(report.rows_read, 1);  // the next table is still read
  EXPECT_TRUE(report.stops());
}

TEST_F(CheckTest, TextWithoutWindows1252Form) {
  // Read as code page 866, byte 0xE4 is a Cyrillic letter.
  table("CITY.db", alpha_fields({"CITY"}), {{"Paris"}, {"\xc3\xa4"}});
  check({"city.db"}, 866);
  ASSERT_EQ(of(Kind::no_cp1252).size(), 1u);
  EXPECT_EQ(of(Kind::no_cp1252)[0].row, 2);
}

TEST_F(CheckTest, JobSearchRecordsNeedTheirRequiredFields) {
  qv::sample::write_jsearch(dir.path(), 3, 1);
  std::vector<qv::pdx::FieldDef> defs = qv::sample::jsearch_fields();
  Rows rows;
  {
    qv::pdx::PDTable t;
    t.Directory = dir.path().string();
    t.TableName = "JSEARCH2.db";
    t.Open();
    for (; !t.Eof(); t.Next()) {
      auto& r = rows.emplace_back();
      for (const auto& d : t.Fields()) r.push_back(d.DataType == qv::pdx::FieldType::AutoInc ? "" : t.FieldByName(d.Name).AsString());
    }
  }
  auto index = [&](std::string_view name) {
    for (std::size_t i = 0; i < defs.size(); ++i)
      if (defs[i].Name == name) return i;
    throw std::out_of_range(std::string(name));
  };
  rows[0][index("CONTACT_NAME")] = "";
  defs[index("TIME")].Size = 10;
  rows[1][index("TIME")] = "10:30 AM";  // longer than the temporary field
  fs::remove(dir / "JSEARCH2.db");
  table("JSEARCH2.db", defs, rows);
  const auto report = check({"jsearch2.db"});
  ASSERT_EQ(of(Kind::missing_required).size(), 1u);
  EXPECT_EQ(of(Kind::missing_required)[0].field, "CONTACT_NAME");
  EXPECT_EQ(of(Kind::missing_required)[0].row, 1);
  ASSERT_EQ(of(Kind::too_long).size(), 1u);
  EXPECT_EQ(of(Kind::too_long)[0].row, 2);
  EXPECT_TRUE(report.stops());
}

TEST_F(CheckTest, SummaryCountsEachKind) {
  table("CARRIER.db", alpha_fields({"CARRIER"}, 60), {{"a"}, {"A"}, {std::string(45, 'x')}});
  const auto report = check({"carrier.db"});
  EXPECT_FALSE(report.stops());
  EXPECT_THAT(report.summary_lines(),
              ::testing::ElementsAre("Records read: 3", "merged: 1", "shortened: 1"));
}

}  // namespace

namespace {

// Two data sets can give one database name: the check says when the run
// would replace a database already there, and when it would be refused.
// Findings of one kind in consecutive rows of a field share a line; long
// values are cut.
TEST(CheckDetailLines, ConsecutiveRowsOfAKindAreMergedAndLongValuesCut) {
  const std::string long_value(60, 'x');
  const std::vector<Finding> stream = {
      {Kind::shortened, "CITY.db", 12, "CITY", "a", "cut"},
      {Kind::merged, "CITY.db", 12, "CITY", "a", "merged"},  // another kind between: still merged
      {Kind::shortened, "CITY.db", 13, "CITY", "b", "cut"},
      {Kind::shortened, "CITY.db", 14, "CITY", "c", "cut"},
      {Kind::shortened, "CITY.db", 16, "CITY", "d", "cut"},     // a row skipped
      {Kind::shortened, "ITEM.db", 17, "ITEM", "e", "cut"},     // another table
      {Kind::shortened, "ITEM.db", 18, "ITEM", long_value, "cut"},
  };
  DetailLines lines;
  std::vector<bool> joined;
  for (const Finding& f : stream) {
    joined.push_back(lines.joins(f));
    lines.add(f);
  }
  EXPECT_EQ(joined, (std::vector<bool>{false, false, true, true, false, false, true}));
  const std::vector<std::string> got = lines.lines();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "CITY.db, rows 12-14, CITY: \"a\" - shortened: cut (3 rows, the first shown)");
  EXPECT_EQ(got[1], "CITY.db, row 12, CITY: \"a\" - merged: merged");
  EXPECT_EQ(got[2], "CITY.db, row 16, CITY: \"d\" - shortened: cut");
  EXPECT_EQ(got[3], "ITEM.db, rows 17-18, ITEM: \"e\" - shortened: cut (2 rows, the first shown)");
  Finding alone = stream.back();
  DetailLines one;
  one.add(alone);
  EXPECT_EQ(one.lines().at(0), "ITEM.db, row 18, ITEM: \"" + std::string(37, 'x') + "...\" - shortened: cut");
}

TEST(CheckDestination, SaysWhatTheRunDoesWithAFileAlreadyThere) {
  const qv::test::DriveC drive;
  qv::platform::set_drive_root(drive.root());
  const fs::path data = drive.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "demo0001b";
  fs::create_directories(data);
  qv::sample::write_table(data, "CARRIER.db", alpha_fields({"CARRIER"}), 1,
                          [](std::size_t, std::vector<std::string>& v) { v = {"UPS"}; });
  const fs::path db = qv::platform::map_path(qv::Tconversion_form::destination_file("demo0001"));
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string says;  // empty: nothing
    bool stops;
    std::string name = "";  // the database name asked for (empty: from the folder)
  };
  const std::vector<Case> cases = {
      {"nothing", [] {}, "", false},
      {"a database", [&] { std::ofstream(db) << "x"; }, "The run will replace the database " + db.string() + ", last changed 20", false},
      {"a link", [&] { fs::create_symlink("/nonexistent", db); }, "The run will replace the link " + db.string(), false},
      {"a folder", [&] { fs::create_directory(db); }, db.string() + " is a folder, not a database file: the run would be refused", true},
      {"a name in an old code page", [] {}, "The database name \"m0xFCller\" is not UTF-8 text", true, "m\xFCller"},
  };
  fs::create_directories(db.parent_path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(db);
    c.make();
    qv::check::Options o;
    o.directory = data.string();
    o.database_name = c.name;
    o.ticks.assign(qv::Tconversion_form::kTables, false);
    o.ticks[0] = true;  // carrier.db
    const auto report = qv::check::run(o);
    const auto lines = report.summary_lines();
    EXPECT_EQ(report.stops(), c.stops);
    if (c.says.empty()) {
      EXPECT_TRUE(report.destination.empty()) << report.destination;
    } else {
      EXPECT_THAT(report.destination, HasSubstr(c.says));
      EXPECT_EQ(lines.back(), report.destination);
    }
  }
}

}  // namespace
