// Verify after real runs of the generated data set, on databases left as the
// run made them, changed behind the tool's back, or cut short.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <map>

#include "check/check.h"
#include "datamodule/datamodule.h"
#include "firebird/ib.h"
#include "form/conversion_form.h"
#include "registry/registry.h"
#include "jobsearch/jobsearch.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sample_data.h"
#include "support/testsupport.h"
#include "verify/verify.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class FailOnBox : public MessageBoxes {
 public:
  void Show(const std::string& text, const std::string& caption) override {
    ADD_FAILURE() << "unexpected message box " << caption << ": " << text;
  }
};

class VerifyTest : public ::testing::Test {
 protected:
  fs::path data_set(const sample::Options& options) {
    sample::write_data_set(dir_, options);
    return dir_;
  }

  // A whole run as the commands make it; true when it completed.
  bool migrate(const std::vector<bool>& ticks = {}) {
    DataModuleScope module;
    FailOnBox boxes;
    FormSetup setup;
    setup.records_per_temp_file = records_per_temp_file_;
    Tconversion_form form(&boxes, setup);
    form.FormActivate(&form);
    form.CDirectoryOutline_Source.SetDirectory(dir_.string());
    form.btn_select_directoryClick(&form);
    for (std::size_t i = 0; i < Tconversion_form::kTables; ++i)
      form.files_checklistbox.SetChecked(i, ticks.empty() || ticks[i]);
    run_error_.clear();
    try {
      form.btn_convertClick(&form);
    } catch (const std::exception& e) {
      run_error_ = e.what();
    }
    run_stats_ = form.stats;
    return run_error_.empty() && form.last_run_completed;
  }

  verify::Report verify(const std::vector<bool>& ticks = {}) {
    verify::Options o;
    o.directory = dir_.string();
    o.ticks = ticks;
    return verify::run(o);
  }

  // Statements run on the migrated database, as another program would.
  void tamper(const std::vector<std::string>& statements) {
    fb::IBDatabase db;
    db.Params = {"user_name=SYSDBA", "password=tarnwheel"};
    db.DatabaseName = Tconversion_form::destination_file("verif001");
    db.Open();
    for (const auto& s : statements) db.ExecuteImmediate(s);
    db.Close();
  }

  static const verify::TableResult& table(const verify::Report& r, const std::string& name) {
    for (const auto& t : r.tables)
      if (t.table == name) return t;
    throw std::runtime_error("no result for " + name);
  }

  static std::string text(const verify::Report& r) {
    std::string s;
    for (const auto& l : r.lines()) s += l + "\n";
    return s;
  }

  std::string run_error_;               // of the last run, when it stopped on one
  std::vector<TableStats> run_stats_;   // of the last run
  std::int64_t records_per_temp_file_ = 5000;
  DriveC drive_;
  fs::path dir_ = drive_.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "verif001";
};

TEST_F(VerifyTest, RunThenVerifyFindsEveryValueAtTheSplitSizes) {
  // Files of 10 records: the job-search split at 7 to 9, 17 to 19 and beyond.
  // The whole data set once, then the job-search table alone.
  records_per_temp_file_ = 10;
  std::vector<bool> jsearch_only(Tconversion_form::kTables, false);
  jsearch_only[10] = true;
  for (std::size_t jobs : {33u, 0u, 1u, 7u, 8u, 9u, 10u, 18u, 19u}) {
    const std::vector<bool> ticks = jobs == 33 ? std::vector<bool>{} : jsearch_only;
    sample::Options o;
    o.rows = 60;
    o.jobs = jobs;
    o.seed = jobs + 3;
    data_set(o);
    ASSERT_TRUE(migrate(ticks)) << jobs;
    const verify::Report r = verify(ticks);
    EXPECT_TRUE(r.clean()) << jobs << "\n" << text(r);
    EXPECT_EQ(table(r, "JSEARCH_4").found, static_cast<std::int64_t>(jobs));
    EXPECT_EQ(r.tables.size(), ticks.empty() ? 18u : 1u);
  }
}

TEST_F(VerifyTest, ReportsExactlyTheChangesMadeBehindItsBack) {
  sample::Options o;
  o.rows = 80;
  o.jobs = 50;
  data_set(o);
  ASSERT_TRUE(migrate());
  ASSERT_TRUE(verify().clean());

  struct Case {
    std::string what, sql, table, column;
    std::int64_t missing, extra, differing;
  };
  const std::vector<Case> cases = {
      {"a value updated", "UPDATE JSEARCH_4 SET CONTACT_NAME = 'SOMEONE ELSE' WHERE PK = 7", "JSEARCH_4",
       "CONTACT_NAME", 0, 0, 1},
      {"a row deleted", "DELETE FROM QUORVEL_4 WHERE PK = (SELECT MIN(PK) FROM QUORVEL_4)", "QUORVEL_4", "", 1, 0,
       0},
      // The job-search table streams; its keys and dates are compared as bytes.
      {"a job-search row deleted", "DELETE FROM JSEARCH_4 WHERE PK = 11", "JSEARCH_4", "", 1, 0, 0},
      {"a job-search date moved by a day", "UPDATE JSEARCH_4 SET DATE_ = DATE_ + 1 WHERE PK = 9", "JSEARCH_4",
       "DATE_", 0, 0, 1},
      {"an empty text made NULL", "UPDATE JSEARCH_4 SET COMMENT = NULL WHERE PK = 5", "JSEARCH_4", "COMMENT", 0, 0, 1},
      {"a row inserted", "INSERT INTO ITEM_4 (ITEM) VALUES ('NOT IN THE OLD TABLE')", "ITEM_4", "", 0, 1, 0},
      // No key: rows pair in stored order, so the first column counts too.
      {"a keyless row's first value changed",
       "UPDATE CONFIG_4 SET SIDE_BAR_COLOR = 'CHANGED' WHERE RDB$DB_KEY = (SELECT FIRST 1 RDB$DB_KEY FROM CONFIG_4)",
       "CONFIG_4", "SIDE_BAR_COLOR", 0, 0, 1},
      // The value is its own key: the changed one is extra, the old one missing.
      {"a lookup value's case changed", "UPDATE CITY_4 SET CITY = LOWER(CITY) WHERE CITY = (SELECT MAX(CITY) FROM CITY_4)",
       "CITY_4", "", 1, 1, 0},
      {"a date moved by a day", "UPDATE QUORVEL_4 SET ITEM_DATE = ITEM_DATE + 1 WHERE PK = (SELECT MAX(PK) FROM QUORVEL_4)",
       "QUORVEL_4", "ITEM_DATE", 0, 0, 1},
      {"a number's last decimal changed",
       "UPDATE STATS_ST_4 SET PERCENTAGE = PERCENTAGE + 0.000000000001 WHERE STATE = 'NY'", "STATS_ST_4",
       "PERCENTAGE", 0, 0, 1},
  };
  std::vector<std::string> statements;
  for (const auto& c : cases) statements.push_back(c.sql);
  tamper(statements);

  const verify::Report r = verify();
  std::map<std::string, std::vector<const Case*>> by_table;
  for (const auto& c : cases) by_table[c.table].push_back(&c);
  for (const auto& t : r.tables) {
    std::int64_t missing = 0, extra = 0, differing = 0;
    for (const Case* c : by_table[t.table]) {
      missing += c->missing;
      extra += c->extra;
      differing += c->differing;
    }
    EXPECT_EQ(t.missing, missing) << t.table << "\n" << text(r);
    EXPECT_EQ(t.extra, extra) << t.table;
    EXPECT_EQ(t.differing, differing) << t.table;
    EXPECT_EQ(t.shown.size(), static_cast<std::size_t>(missing + extra + differing)) << t.table;
    for (const auto& d : t.shown) {
      if (d.column.empty()) continue;
      EXPECT_TRUE(std::any_of(by_table[t.table].begin(), by_table[t.table].end(),
                                [&](const Case* c) { return c->column == d.column; }))
          << t.table << " " << d.column;
    }
  }
  const std::string report = text(r);
  EXPECT_THAT(report, HasSubstr("JSEARCH_4 PK '7', CONTACT_NAME: expected "));
  EXPECT_THAT(report, HasSubstr("found SOMEONE ELSE"));
  EXPECT_THAT(report, HasSubstr("ITEM_4 ITEM 'NOT IN THE OLD TABLE': expected (no row), found ITEM=NOT IN THE OLD TABLE"));
  EXPECT_THAT(report, HasSubstr("DIFFERENCES FOUND"));
}

// Every kind of change to what a run makes is named, the structure first and
// whole even when one other table is ticked: each case on a fresh copy of the
// migrated database.
TEST_F(VerifyTest, NamesEveryChangeToTheStructureAndTheColumnsLeftEmpty) {
  sample::Options o;
  o.rows = 20;
  o.jobs = 20;
  data_set(o);
  ASSERT_TRUE(migrate());
  const fs::path file = platform::map_path(Tconversion_form::destination_file("verif001"));
  const fs::path pristine = file.string() + ".pristine";
  fs::copy_file(file, pristine);
  std::vector<bool> time10_only(Tconversion_form::kTables, false);
  time10_only[17] = true;

  struct Case {
    std::string what;
    std::vector<std::string> sql;
    std::string line;  // a line of the report that names the change
    bool structure = true;
  };
  const std::vector<Case> cases = {
      {"a job-search memo written", {"UPDATE JSEARCH_4 SET MEMO = 'NOTE' WHERE PK = 3"},
       "    JSEARCH_4 PK '3', MEMO: expected NULL (the run leaves it empty), found NOTE", false},
      {"a payment's memo written", {"UPDATE QUORVEL_4 SET MEMO = 'NOTE' WHERE PK = (SELECT MIN(PK) FROM QUORVEL_4)"},
       ", MEMO: expected NULL (the run leaves it empty), found NOTE", false},
      {"the primary key dropped", {"ALTER TABLE CARRIER_4 DROP CONSTRAINT {CARRIER_4 key}"},
       "    CARRIER_4 primary key: expected (CARRIER), found (none)"},
      {"an index dropped", {"DROP INDEX CATEGORY_"},
       "    QUORVEL_4 index CATEGORY_: expected INDEX ON (CATEGORY), found (no index)"},
      {"an index inactive", {"ALTER INDEX CONTACT_NAME_ INACTIVE"},
       "    JSEARCH_4 index CONTACT_NAME_, state: expected ACTIVE, found INACTIVE: the run did not finish building "
       "the indexes of JSEARCH_4"},
      {"an index made unique", {"DROP INDEX POS_STATE_", "CREATE UNIQUE INDEX POS_STATE_ ON JSEARCH_4(PK)"},
       "    JSEARCH_4 index POS_STATE_, uniqueness: expected not unique, found UNIQUE"},
      {"an index ascending", {"DROP INDEX ITEM_DATE_", "CREATE INDEX ITEM_DATE_ ON QUORVEL_4(ITEM_DATE)"},
       "    QUORVEL_4 index ITEM_DATE_, order: expected DESCENDING, found ASCENDING"},
      {"an index on other columns", {"DROP INDEX YYYYMMDD_", "CREATE INDEX YYYYMMDD_ ON QUORVEL_4(YYYYMMDD, PK)"},
       "    QUORVEL_4 index YYYYMMDD_, columns: expected (YYYYMMDD), found (YYYYMMDD, PK)"},
      {"an index added", {"CREATE INDEX EXTRA_ ON CITY_4(CITY)"},
       "    CITY_4 index EXTRA_: expected (no index), found INDEX ON (CITY)"},
      {"a column's type changed", {"ALTER TABLE QUORVEL_4 ALTER COLUMN CHECK_NBR TYPE CHAR(60)"},
       "    QUORVEL_4 column CHECK_NBR, type: expected CHAR(6), found CHAR(60)"},
      {"a column's default changed", {"ALTER TABLE QUORVEL_4 ALTER COLUMN ITEM SET DEFAULT 'NONE'"},
       "    QUORVEL_4 column ITEM, default: expected DEFAULT 'N/A', found DEFAULT 'NONE'"},
      {"a column added", {"ALTER TABLE ITEM_4 ADD EXTRA_ INTEGER"},
       "    ITEM_4 column EXTRA_: expected (no column), found INTEGER"},
      {"a column dropped", {"ALTER TABLE CONFIG_4 DROP EX_SPOUSE_ZIP"},
       "    CONFIG_4 column EX_SPOUSE_ZIP: expected CHAR(5), found (no column)"},
      {"a table added", {"CREATE TABLE EXTRA_4 (A INTEGER)"}, "    EXTRA_4: expected (none), found a table"},
      {"a view added", {"CREATE VIEW CITIES AS SELECT CITY FROM CITY_4"}, "    CITIES: expected (none), found a view"},
      {"a trigger added", {"CREATE TRIGGER STAMP FOR CITY_4 BEFORE INSERT AS BEGIN END"},
       "    (database) trigger STAMP: expected (none), found a trigger"},
      {"a generator added", {"CREATE GENERATOR COUNTER"}, "    (database) generator COUNTER: expected (none), found a generator"},
      {"a domain added", {"CREATE DOMAIN AMOUNT AS INTEGER"}, "    (database) domain AMOUNT: expected (none), found a domain"},
      {"a procedure added", {"CREATE PROCEDURE NOTHING AS BEGIN END"},
       "    (database) procedure NOTHING: expected (none), found a procedure"},
      {"a table dropped", {"DROP TABLE STATS_ST_4"}, "    STATS_ST_4: expected a table, found (no table)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::copy_file(pristine, file, fs::copy_options::overwrite_existing);
    std::vector<std::string> sql = c.sql;
    for (std::string& s : sql)
      if (const auto at = s.find("{CARRIER_4 key}"); at != std::string::npos) {
        fb::IBDatabase db;
        db.DatabaseName = Tconversion_form::destination_file("verif001");
        db.Open();
        const auto rows = db.Query(
            "SELECT TRIM(RDB$CONSTRAINT_NAME) FROM RDB$RELATION_CONSTRAINTS WHERE RDB$RELATION_NAME = 'CARRIER_4' "
            "AND RDB$CONSTRAINT_TYPE = 'PRIMARY KEY'");
        s.replace(at, 15, rows.at(0).at(0).value());
      }
    tamper(sql);
    const verify::Report r = verify(c.structure ? time10_only : std::vector<bool>{});
    const std::string report = text(r);
    EXPECT_FALSE(r.clean()) << report;
    EXPECT_THAT(report, HasSubstr(c.line + "\n")) << report;
    EXPECT_EQ(r.structure.empty(), !c.structure) << report;
    // The structure comes first, in the report and in its JSON.
    EXPECT_EQ(r.lines()[0].rfind("Structure: ", 0), 0u);
    EXPECT_EQ(r.to_json()["structure"].size(), r.structure.size());
  }
  fs::copy_file(pristine, file, fs::copy_options::overwrite_existing);
  const verify::Report again = verify();
  EXPECT_TRUE(again.clean()) << text(again);
  EXPECT_EQ(again.lines()[0], "Structure: as a run makes it");
}

TEST_F(VerifyTest, ReportsWhatARunCutShortLeftOut) {
  sample::Options o;
  o.rows = 40;
  o.jobs = 30;
  data_set(o);
  ASSERT_TRUE(migrate());
  // As a killed run leaves it: a table never made, one half loaded, the
  // rest never reached.
  tamper({"DROP TABLE TIME10_4", "DELETE FROM JSEARCH_4 WHERE PK > 20", "DELETE FROM STATS_ST_4"});
  const verify::Report r = verify();
  const auto& time10 = table(r, "TIME10_4");
  EXPECT_EQ(time10.found, 0);
  EXPECT_EQ(time10.missing, time10.expected);
  EXPECT_GT(time10.expected, 0);
  ASSERT_FALSE(time10.shown.empty());
  EXPECT_EQ(time10.shown[0].expected, "(the table is missing from the database)");
  EXPECT_EQ(table(r, "JSEARCH_4").missing, 10);
  EXPECT_EQ(table(r, "JSEARCH_4").found, 20);
  EXPECT_EQ(table(r, "STATS_ST_4").missing, 7);
  EXPECT_EQ(table(r, "JSEARCH_4").shown.size(), 10u);
  EXPECT_TRUE(table(r, "QUORVEL_4").clean());
  EXPECT_FALSE(r.clean());
}

// What the check says about a data set with one planted problem is what
// happens: a finding that stops the run stops it at that row, and the run
// that goes on changes what the check says it changes, which verify then
// expects (no difference).
TEST_F(VerifyTest, CheckRunAndVerifyAgreeOnPlantedProblems) {
  using Rows = std::vector<std::vector<std::string>>;
  using Defs = std::vector<pdx::FieldDef>;
  struct Case {
    const char* what;
    const char* file;
    std::function<void(Defs&, Rows&)> plant;
    check::Kind kind;  // what the check must report
    const char* stop_named = nullptr;  // where the run names its stop, when not where the check does
  };
  auto set = [](const char* field, std::size_t row, std::string value, int widen = 0) {
    return [=](Defs& defs, Rows& rows) {
      const std::size_t f = sample::field_index(defs, field);
      defs[f].Required = false;
      if (widen) defs[f].Size = widen;
      rows.at(row).at(f) = value;
    };
  };
  const std::vector<Case> cases = {
      {"a text too long for the temporary file", "JSEARCH2.db", set("CONTACT_NAME", 3, std::string(70, 'x'), 100),
       check::Kind::too_long},
      {"a required job-search field missing", "JSEARCH2.db", set("POS_CITY", 5, ""), check::Kind::missing_required},
      // The temporary file takes it; the database refuses the number's 301
      // digits when the record is loaded from that file.
      {"a job-search number too long for the database", "JSEARCH2.db", set("REFNUM", 3, "1e300"),
       check::Kind::bad_number, "1-js.db, row 4"},
      {"a duplicate key after upper-casing", "stats_st.db", set("STATE", 1, "Ny"), check::Kind::key_clash},
      {"a date the database cannot take", "stats_jt.db",
       [](Defs& defs, Rows& rows) {
         const std::size_t f = sample::field_index(defs, "AS_OF_DATE");
         defs[f] = {"AS_OF_DATE", pdx::FieldType::Alpha, 20, 0, false};
         rows.at(1).at(f) = "02/30/2003";
       },
       check::Kind::bad_date},
      // These only change what arrives.
      {"a lookup duplicate after upper-casing", "CITY.db",
       [](Defs& defs, Rows& rows) {
         const std::size_t f = sample::field_index(defs, "CITY");
         rows.at(8).at(f) = platform::upper(rows.at(6).at(f));  // past the blank rows
       },
       check::Kind::merged},
      {"a text wider than its column", "CITY.db", set("CITY", 2, std::string(90, 'k'), 120), check::Kind::shortened},
      {"a time of day on a job-search date", "JSEARCH2.db", set("DATE", 2, "04/05/2003 10:30:00"),
       check::Kind::time_dropped},
  };
  for (const std::uint64_t seed : {1u, 7u})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
      fs::remove_all(dir_);
      fs::remove_all(drive_.root() / "MyData" / "wk-db" / "intrbase");
      sample::Options o;
      o.rows = 20;
      o.jobs = 20;
      o.seed = seed;
      data_set(o);
      sample::rewrite_table(dir_, c.file, c.plant);

      // The planted table alone.
      std::vector<bool> ticks(Tconversion_form::kTables, false);
      for (std::size_t i = 0; i < ticks.size(); ++i) ticks[i] = platform::iequals(registry::items()[i].item, c.file);
      std::vector<check::Finding> findings;
      check::Options co;
      co.directory = dir_.string();
      co.ticks = ticks;
      co.on_finding = [&](const check::Finding& f) { findings.push_back(f); };
      const check::Report said = check::run(co);
      auto count = [&](check::Kind k) { return said.counts[static_cast<std::size_t>(k)]; };
      EXPECT_GT(count(c.kind), 0);

      const bool completed = migrate(ticks);
      const verify::Report r = verify(ticks);
      ASSERT_EQ(r.tables.size(), 1u);
      if (said.stops()) {
        EXPECT_FALSE(completed);
        // The first finding that stops the run names where it stops.
        const auto first = std::find_if(findings.begin(), findings.end(),
                                        [](const check::Finding& f) { return check::stops_run(f.kind); });
        ASSERT_NE(first, findings.end());
        const std::string stop = c.stop_named ? c.stop_named : fmt::format("{}, row {}", first->table, first->row);
        EXPECT_EQ(run_error_.rfind(stop, 0), 0u) << run_error_;
        EXPECT_FALSE(r.clean()) << text(r);
        // The refused row and every row after it are missing; nothing else.
        const verify::TableResult& t = r.tables[0];
        EXPECT_EQ(t.missing, t.expected - t.found) << text(r);
        EXPECT_EQ(t.extra + t.differing, 0) << text(r);
        // A job-search row that did not arrive is shown by the key a run
        // gives it: a record the temporary file refuses takes none; one the
        // table refuses as it is loaded from that file (the cases naming
        // the temporary file as the stop) keeps its key, unused.
        std::int64_t key = t.found + (c.stop_named ? 1 : 0);
        for (const verify::Difference& d : t.shown) {
          if (t.table != "JSEARCH_4" || d.found != "(no row)") continue;
          EXPECT_EQ(d.key, fmt::format("PK '{}'", ++key)) << text(r);
        }
      } else {
        ASSERT_TRUE(completed) << run_error_;
        ASSERT_EQ(run_stats_.size(), 1u);
        EXPECT_EQ(run_stats_[0].shortened, count(check::Kind::shortened));
        EXPECT_EQ(run_stats_[0].merged, count(check::Kind::merged));
        EXPECT_TRUE(r.clean()) << text(r);
      }
    }
}

// A run that ends on an error has committed and closed what it wrote: a
// second attachment sees the rows at once, while the program (the data
// module) lives on, and the form's figures are what the tables hold.
TEST_F(VerifyTest, AfterAnErrorTheRowsAreCommittedAtOnce) {
  sample::Options o;
  o.rows = 40;
  o.jobs = 10;
  o.repeated_key = 15;  // the payment records stop at their 15th row
  data_set(o);
  DataModuleScope module;
  FailOnBox boxes;
  Tconversion_form form(&boxes);
  form.FormActivate(&form);
  form.CDirectoryOutline_Source.SetDirectory(dir_.string());
  form.btn_select_directoryClick(&form);
  EXPECT_THROW(form.btn_convertClick(&form), std::exception);
  EXPECT_EQ(form.Memo1.Lines.back(),
            "The run stopped on an error at QUORVEL_4: the database holds the rows written until then.");
  EXPECT_FALSE(DataModule2->IBDatabase2.Connected());
  EXPECT_FALSE(DataModule2->PDTable1.Active());
  EXPECT_TRUE(form.uncommitted_table.empty());

  fb::IBDatabase second;
  second.DatabaseName = Tconversion_form::destination_file("verif001");
  second.Open();
  for (const TableStats& t : form.stats) {
    const auto rows = second.Query("SELECT COUNT(*) FROM " + t.table);
    EXPECT_EQ(std::stoll(rows.at(0).at(0).value()), t.new_rows) << t.table;
  }
  second.Close();
  ASSERT_FALSE(form.stats.empty());
  EXPECT_EQ(form.stats.back().table, "QUORVEL_4");
  EXPECT_EQ(form.stats.back().new_rows, 14);
  EXPECT_EQ(table(verify(), "QUORVEL_4").found, 14);
}

TEST_F(VerifyTest, RefusesAFolderWithoutItsDatabase) {
  data_set({});
  EXPECT_THROW(verify(), verify::Refused);
}

}  // namespace
}  // namespace qv::test
