// The generator's whole data set through the headless command.
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <gmock/gmock.h>

#include "builder/schema.h"
#include "converter_fixture.h"
#include "platform/text.h"
#include "sample_data.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Contains;
using ::testing::Not;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// What a lookup list holds after the migration, worked out from the old
// table: values upper-cased, blank ones left out where the list skips them,
// shortened to the column, one row per value as the key compares them
// (trailing blanks do not count).
std::size_t expected_lookup_rows(const fs::path& dir, const std::string& file, const std::string& table,
                                 const std::vector<std::string>& columns, bool skip_blank) {
  pdx::PDTable t;
  t.Directory = dir.string();
  t.TableName = file;
  t.Open();
  const builder::TableDef* def = builder::find_table(table);
  std::set<std::string> keys;
  for (; !t.Eof(); t.Next()) {
    std::string key;
    bool blank = false;
    for (const auto& c : columns) {
      const std::string v = t.FieldByName(c).AsString();
      blank = blank || platform::is_blank(v);
      std::string up(platform::utf8_prefix(platform::upper(v), static_cast<std::size_t>(*builder::char_width(*def->find_column(c)))));
      up.erase(up.find_last_not_of(' ') + 1);
      key += up + '\x1f';
    }
    if (!(skip_blank && blank)) keys.insert(key);
  }
  return keys.size();
}

class EndToEndTest : public ConverterTest {
 protected:
  // Runs the headless command with `args` after --drive-c; its exit code.
  int cli(const std::string& args, std::string& out, std::string& err) {
    const fs::path o = drive_.root() / "out.txt", e = drive_.root() / "err.txt";
    const std::string cmd = std::string("\"") + QV_BIN_DIR + "/quorvel-migrate-cli\" --drive-c \"" +
                            drive_.root().string() + "\" " + args + " >\"" + o.string() + "\" 2>\"" + e.string() + "\"";
    const int status = std::system(cmd.c_str());
    out = read_file(o);
    err = read_file(e);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(EndToEndTest, GeneratedDataSetMigratesThroughTheHeadlessCommand) {
  const fs::path data = drive_.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "e2e00001";
  sample::Options options;
  options.rows = 150;
  options.jobs = 400;
  options.seed = 7;
  const auto files = sample::write_data_set(data, options);
  ASSERT_EQ(files.size(), 18u);

  std::string log, err;
  ASSERT_EQ(cli("\"" + data.string() + "\"", log, err), 0) << log << err;
  EXPECT_THAT(log, HasSubstr("Conversion run complete"));
  EXPECT_THAT(log, HasSubstr("CARRIER table...........\n---->Record Count in old table: 18\n"
                             "---->Records In New Table: 13\n---->Values shortened to fit their columns: 1\n"
                             "---->Duplicate values merged: 2\n"));

  // The destination as the command left it (committed and closed).
  DataModule2->IBDatabase2.Params = {"user_name=SYSDBA", "password=tarnwheel"};
  DataModule2->IBDatabase2.DatabaseName = Tconversion_form::destination_file("e2e00001");
  auto count = [this](const std::string& table) { return std::stoul(column("SELECT COUNT(*) FROM " + table).at(0)); };

  struct Lookup {
    const char* file;
    const char* table;
    std::vector<std::string> columns;
    bool skip_blank;
  };
  const std::vector<Lookup> lookups = {
      {"CARRIER.db", "CARRIER_4", {"CARRIER"}, true},
      {"CATEGORY.db", "CATEGORY_4", {"CATEGORY"}, true},
      {"CITY.db", "CITY_4", {"CITY"}, true},
      {"COMMENT.db", "COMMENT_4", {"COMMENT"}, true},
      {"COMMENT_JS.db", "COMMENT_JS_4", {"COMMENT"}, true},
      {"CONTACT_NAME.db", "CONTACT_NAME_4", {"CONTACT_NAME"}, true},
      {"ITEM.db", "ITEM_4", {"ITEM"}, true},
      {"POSCODE.db", "POSCODE_4", {"POS_CODE", "POS_DESC"}, false},
      {"POSQUAL.db", "POSQUAL_4", {"POSQUAL"}, false},
      {"POSTITLE.db", "POSTITLE_4", {"POS_TITLE"}, true},
      {"REASON.db", "REASON_4", {"REASON"}, false},
  };
  for (const auto& l : lookups)
    EXPECT_EQ(count(l.table), expected_lookup_rows(data, l.file, l.table, l.columns, l.skip_blank)) << l.table;
  EXPECT_EQ(count("CARRIER_4"), 13u);
  EXPECT_EQ(count("POSCODE_4"), 7u);
  EXPECT_EQ(count("QUORVEL_4"), options.rows);
  EXPECT_EQ(count("CONFIG_4"), 9u);
  EXPECT_EQ(count("JS_EDIT_4"), 6u);
  EXPECT_EQ(count("JSEARCH_4"), options.jobs);
  EXPECT_EQ(count("STATS_JT_4"), 5u);
  EXPECT_EQ(count("STATS_ST_4"), 7u);
  EXPECT_EQ(count("TIME10_4"), 48u);

  // A sample of values.
  EXPECT_THAT(column("SELECT CARRIER FROM CARRIER_4"), Contains("  UPS"));
  EXPECT_THAT(column("SELECT CARRIER FROM CARRIER_4"), Contains("COURRIER MONTRÉAL"));
  EXPECT_THAT(column("SELECT COUNT(*) FROM QUORVEL_4 WHERE PK IN (12.5, 37.5, 62.5)"), ElementsAre("3"));
  EXPECT_THAT(column("SELECT CARRIER FROM QUORVEL_4 WHERE PK = 6"), ElementsAre(""));
  EXPECT_THAT(column("SELECT AUTO_ZIP FROM CONFIG_4"), ElementsAre("1", "1", "1", "0", "0", "0", "0", "0", "0"));
  EXPECT_THAT(column("SELECT STATE FROM STATS_ST_4 ORDER BY STATE"), ElementsAre("CA", "CT", "MA", "NJ", "NY", "PA", "TX"));
  EXPECT_THAT(column("SELECT X12_HOUR FROM TIME10_4 WHERE X24_HOUR = '12:30'"), ElementsAre("12:30 PM"));
  EXPECT_THAT(column("SELECT CHANGE_FROM FROM JS_EDIT_4 WHERE CHANGE_TO = 'Junior'"), ElementsAre("  Jr."));
  // Letters whose capitals Windows-1252 lacks stay as they are.
  EXPECT_THAT(column("SELECT ITEM FROM ITEM_4"), Contains("5µM FILTER RECEIPT"));
  EXPECT_THAT(column("SELECT ITEM FROM ITEM_4"), Contains("ƒ-POST NOTICE"));
  // The job-search dates are timestamps: their date arrives (the temporary
  // file keeps dates only); a payment timestamp keeps its time.
  EXPECT_THAT(column("SELECT COUNT(*) FROM JSEARCH_4 WHERE DATE_ IS NULL OR EXTRACT(HOUR FROM ACTIVE_CHANGED) <> 0"),
              ElementsAre("0"));
  EXPECT_GT(std::stoul(column("SELECT COUNT(*) FROM JSEARCH_4 WHERE ACTIVE_CHANGED IS NOT NULL").at(0)), 0u);
  EXPECT_THAT(column("SELECT COUNT(*) FROM QUORVEL_4 WHERE DATE_DEL IS NOT NULL AND "
                     "(EXTRACT(HOUR FROM DATE_DEL) <> 15 OR EXTRACT(MINUTE FROM DATE_DEL) <> 20)"),
              ElementsAre("0"));
  EXPECT_GT(std::stoul(column("SELECT COUNT(*) FROM QUORVEL_4 WHERE DATE_DEL IS NOT NULL").at(0)), 0u);

  // Payment records as read: the old and the new table agree on the carrier
  // texts and on which dates are empty.
  pdx::PDTable old;
  old.Directory = data.string();
  old.TableName = "QUORVEL2.db";
  old.Open();
  std::size_t lower_ups = 0, no_return = 0;
  for (; !old.Eof(); old.Next()) {
    lower_ups += old.FieldByName("CARRIER").AsString() == "  ups";
    no_return += old.FieldByName("DATE_RETURNED").AsString().empty();
  }
  EXPECT_GT(lower_ups, 0u);
  EXPECT_THAT(column("SELECT COUNT(*) FROM QUORVEL_4 WHERE CARRIER = '  ups'"), ElementsAre(std::to_string(lower_ups)));
  EXPECT_THAT(column("SELECT COUNT(*) FROM QUORVEL_4 WHERE DATE_RETURNED IS NULL"), ElementsAre(std::to_string(no_return)));
}

TEST_F(EndToEndTest, AFractionalOrderStopsTheRunAndTheCheckSaysSoBeforehand) {
  const fs::path data = drive_.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "e2e00002";
  sample::Options options;
  options.rows = 30;
  options.jobs = 40;
  options.fractional_order = true;
  sample::write_data_set(data, options);
  const std::string said = "stats_jt.db, row 3, ORDER: \"3.5\"";

  std::string out, err;
  EXPECT_EQ(cli("--check -v \"" + data.string() + "\"", out, err), 1) << out << err;
  EXPECT_THAT(out, HasSubstr(said + " - number with a fraction for a whole-number column (stops the run)"));
  EXPECT_THAT(out, HasSubstr(" 16:45:00\" - time of day dropped: "));
  EXPECT_THAT(out, Not(HasSubstr("no Windows-1252 form")));

  EXPECT_EQ(cli("\"" + data.string() + "\"", out, err), 1) << out << err;
  EXPECT_THAT(err, HasSubstr("The run stopped on an error: " + said +
                             " is not a whole number: STATS_JT_4.ORDER_ is INTEGER"));
  EXPECT_THAT(out, Not(HasSubstr("Conversion run complete")));
  EXPECT_THAT(out, HasSubstr("STATS_JT_4 table..........."));
  EXPECT_THAT(out, Not(HasSubstr("STATS_ST_4 table...........")));

  // Verify names the refused row and what the stopped run never reached.
  EXPECT_EQ(cli("--verify \"" + data.string() + "\"", out, err), 1) << out << err;
  EXPECT_THAT(out, HasSubstr("STATS_JT_4 stats_jt.db row 3: expected (refused by the run), found ORDER: \"3.5\" is not a whole number"));
  EXPECT_THAT(out, HasSubstr("STATS_ST_4 STATE 'CA': expected STATE=CA, "));
  EXPECT_THAT(out, HasSubstr("TIME10_4        expected       48  found        0  missing     48"));
  EXPECT_THAT(out, HasSubstr("JSEARCH_4       expected       40  found       40  missing      0  extra      0  differing values      0"));
}

TEST_F(EndToEndTest, ARunThenVerifyInOneCommand) {
  const fs::path data = drive_.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "e2e00003";
  sample::Options options;
  options.rows = 30;
  options.jobs = 40;
  sample::write_data_set(data, options);
  const fs::path report = drive_.root() / "run.json";

  std::string out, err;
  EXPECT_EQ(cli("--verify \"" + data.string() + "\"", out, err), 2) << out << err;
  EXPECT_THAT(err, HasSubstr("There is no database "));

  EXPECT_EQ(cli("--then-verify --report \"" + report.string() + "\" \"" + data.string() + "\"", out, err), 0)
      << out << err;
  EXPECT_THAT(out, HasSubstr("Conversion run complete"));
  EXPECT_THAT(out, HasSubstr("Total: 18 tables, expected "));
  EXPECT_THAT(out, HasSubstr("every value arrived"));
  EXPECT_THAT(read_file(report), HasSubstr("\"clean\": true"));  // the verify's, inside the run's
  EXPECT_THAT(read_file(report), HasSubstr("\"outcome\""));

  DataModule2->IBDatabase2.Params = {"user_name=SYSDBA", "password=tarnwheel"};
  DataModule2->IBDatabase2.DatabaseName = Tconversion_form::destination_file("e2e00003");
  DataModule2->IBDatabase2.Open();
  DataModule2->IBDatabase2.ExecuteImmediate("UPDATE CONFIG_4 SET MY_CITY = 'ELSEWHERE'");
  DataModule2->IBDatabase2.Close();
  EXPECT_EQ(cli("--verify --tables config.db \"" + data.string() + "\"", out, err), 1) << out << err;
  EXPECT_THAT(out, HasSubstr("CONFIG_4        expected        9  found        9  missing      0  extra      0  differing values      9"));
  EXPECT_THAT(out, HasSubstr("CONFIG_4 row 1, MY_CITY: expected "));
  EXPECT_THAT(out, Not(HasSubstr("CARRIER_4")));
}

}  // namespace
}  // namespace qv::test
