#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "builder/schema.h"
#include "form/conversion_form.h"
#include "datamodule/datamodule.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

class NoBoxes : public qv::MessageBoxes {
 public:
  void Show(const std::string&, const std::string&) override {}
};

const std::string kRule(105, '-');

Lines opening_lines() {
  return {kRule, "Checking for database, and creating if necessary",
          "If destination database exits, I will delete it......", kRule};
}

Lines full_log() {
  Lines log = opening_lines();
  for (const char* l : {"", "Creating tables", ""}) log.push_back(*l ? l : kRule);
  for (const char* t : {"CARRIER_4", "CATEGORY_4", "CITY_4", "COMMENT_4", "COMMENT_JS_4", "CONFIG_4",
                        "CONTACT_NAME_4", "QUORVEL_4", "ITEM_4", "JS_EDIT_4", "JSEARCH_4", "POSCODE_4",
                        "POSQUAL_4", "POSTITLE_4", "REASON_4", "STATS_JT_4", "STATS_ST_4", "TIME10_4"})
    log.push_back(std::string("Attempting to create table ") + t);
  for (const char* l : {"", "Creating indexes", ""}) log.push_back(*l ? l : kRule);
  for (const char* i : {"QUORVEL_4(CATEGORY)", "QUORVEL_4(DATE_SENT)", "QUORVEL_4(ITEM_DATE)",
                        "QUORVEL_4(YYYYMMDD)", "JSEARCH_4(CONTACT_NAME)", "JSEARCH_4(POS_STATE)",
                        "JSEARCH_4(POS_STATE, POS_CITY)", "JSEARCH_4(REFNUM, YYYYMMDD, POS_TITLE)",
                        "ASCENDING JSEARCH_4(YYYYMMDD, TIME_)", "DECSENDING JSEARCH_4(YYYYMMDD, TIME_)"})
    log.push_back(std::string("Attempting to create table index ") + i);
  return log;
}

// A private drive, data module and form.
struct Bench {
  qv::test::DriveC drive;
  qv::DataModuleScope module;
  NoBoxes boxes;
  qv::Tconversion_form form{&boxes};
  qv::fb::IBDatabase& db = qv::DataModule2->IBDatabase2;

  fs::path folder() const { return drive.root() / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "db"; }
  bool build(const std::string& name) { return form.check_and_create_database_4(&form, name); }
  void open() {
    db.Params = qv::admin_login();
    db.Open();
  }
  std::vector<std::vector<std::optional<std::string>>> query(const std::string& sql) { return db.Query(sql); }
  std::string count(const std::string& table) { return query("SELECT COUNT(*) FROM " + table).at(0).at(0).value(); }
};

std::string text(const std::optional<std::string>& v) { return v ? *v : "<null>"; }

// "CHAR  (2)" -> "CHAR(2)": the type as the engine reports it back. Dialect 1
// keeps a NUMERIC wider than 9 digits as a double with its scale only.
std::string canonical_type(std::string_view type) {
  qv::builder::ColumnType t = qv::builder::parse_type(type);
  if (t.kind == qv::builder::ColumnType::Kind::numeric && t.precision > 9)
    return "NUMERIC(double," + std::to_string(t.scale) + ")";
  std::string out;
  for (char c : type) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    if (c == '(' && !out.empty() && out.back() == ' ') out.pop_back();
    out += c;
  }
  return out;
}

std::string type_from_system_tables(const std::vector<std::optional<std::string>>& r) {
  // r: field type, length, scale, sub type, segment length, precision
  int type = std::stoi(text(r[0]));
  switch (type) {
    case 14: return "CHAR(" + text(r[1]) + ")";
    case 8: return "INTEGER";
    case 35: return "DATE";  // a date with time of day in dialect 1
    case 27: return "NUMERIC(double," + std::to_string(-std::stoi(text(r[2]))) + ")";
    case 261:
      return text(r[3]) == "1" ? "BLOB SUB_TYPE TEXT SEGMENT SIZE " + text(r[4]) : "BLOB";
    default: return "type " + std::to_string(type);
  }
}

// Makes a file impossible to delete for the life of the object: a read-only
// folder where permissions count, the immutable flag where they do not (root).
class Undeletable {
 public:
  explicit Undeletable(const fs::path& file) : file_(file) {
    fs::path probe = file.parent_path() / "probe";
    std::ofstream(probe) << "x";
    fs::permissions(file.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    std::error_code ec;
    if (!fs::remove(probe, ec)) {
      folder_locked_ = true;
      return;
    }
    fs::permissions(file.parent_path(), fs::perms::owner_all);
    immutable_ = set_immutable(true);
  }
  ~Undeletable() {
    if (folder_locked_) fs::permissions(file_.parent_path(), fs::perms::owner_all);
    if (immutable_) set_immutable(false);
    std::error_code ec;
    fs::remove(file_.parent_path() / "probe", ec);
  }
  bool works() const { return folder_locked_ || immutable_; }

 private:
  bool set_immutable(bool on) {
    int fd = ::open(file_.c_str(), O_RDONLY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
  }
  fs::path file_;
  bool folder_locked_ = false;
  bool immutable_ = false;
};

}  // namespace

TEST(Builder, CreatesTheDatabaseWithItsTablesAndIndexesFromNothing) {
  Bench b;
  ASSERT_FALSE(fs::exists(b.drive.root() / "MyData"));
  b.form.Memo1.Add("left from before");
  ASSERT_TRUE(b.build("abcd1234"));
  EXPECT_EQ(b.form.Memo1.Lines, full_log());
  EXPECT_TRUE(fs::is_regular_file(b.folder() / "abcd1234.gdb"));
  EXPECT_FALSE(b.db.Connected());
  EXPECT_EQ(b.db.Params, (Lines{"USER 'SYSDBA'", "PASSWORD 'tarnwheel'", "PAGE_SIZE 4096"}));

  b.open();
  // Built without waiting on the disk, but left with forced writes on.
  EXPECT_EQ(text(b.query("SELECT MON$FORCED_WRITES FROM MON$DATABASE").at(0).at(0)), "1");
  // Columns, types and NOT NULL as the engine holds them.
  std::map<std::string, Lines> actual, expected;
  for (const auto& r : b.query(
           "SELECT TRIM(rf.RDB$RELATION_NAME), TRIM(rf.RDB$FIELD_NAME), f.RDB$FIELD_TYPE, f.RDB$FIELD_LENGTH, "
           "f.RDB$FIELD_SCALE, f.RDB$FIELD_SUB_TYPE, f.RDB$SEGMENT_LENGTH, f.RDB$FIELD_PRECISION, "
           "COALESCE(rf.RDB$NULL_FLAG, 0) FROM RDB$RELATION_FIELDS rf "
           "JOIN RDB$FIELDS f ON f.RDB$FIELD_NAME = rf.RDB$FIELD_SOURCE "
           "WHERE COALESCE(rf.RDB$SYSTEM_FLAG, 0) = 0 ORDER BY 1, rf.RDB$FIELD_POSITION"))
    actual[text(r[0])].push_back(text(r[1]) + " " + type_from_system_tables({r.begin() + 2, r.begin() + 8}) +
                                 (text(r[8]) == "1" ? " NOT NULL" : ""));
  for (const qv::builder::TableDef& t : qv::builder::schema())
    for (const qv::builder::ColumnDef& c : t.columns)
      expected[std::string(t.name)].push_back(std::string(c.name) + " " + canonical_type(c.type) +
                                              (c.not_null ? " NOT NULL" : ""));
  EXPECT_EQ(actual.size(), 18u);
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(actual["CONFIG_4"].at(6), "MY_STATE CHAR(2)");
  EXPECT_EQ(actual["QUORVEL_4"].at(0), "PK NUMERIC(double,12) NOT NULL");
  EXPECT_EQ(actual["STATS_ST_4"].at(1), "COUNT_ NUMERIC(double,3)");

  // Primary keys.
  std::map<std::string, std::string> keys;
  for (const auto& r : b.query(
           "SELECT TRIM(rc.RDB$RELATION_NAME), TRIM(s.RDB$FIELD_NAME) FROM RDB$RELATION_CONSTRAINTS rc "
           "JOIN RDB$INDEX_SEGMENTS s ON s.RDB$INDEX_NAME = rc.RDB$INDEX_NAME "
           "WHERE rc.RDB$CONSTRAINT_TYPE = 'PRIMARY KEY' ORDER BY 1, s.RDB$FIELD_POSITION")) {
    std::string& k = keys[text(r[0])];
    k += (k.empty() ? "" : ",") + text(r[1]);
  }
  EXPECT_EQ(keys, (std::map<std::string, std::string>{
                      {"CARRIER_4", "CARRIER"}, {"CATEGORY_4", "CATEGORY"}, {"CITY_4", "CITY"},
                      {"COMMENT_4", "COMMENT"}, {"COMMENT_JS_4", "COMMENT"}, {"CONTACT_NAME_4", "CONTACT_NAME"},
                      {"QUORVEL_4", "PK"}, {"ITEM_4", "ITEM"}, {"JS_EDIT_4", "CHANGE_FROM"}, {"JSEARCH_4", "PK"},
                      {"POSCODE_4", "POS_CODE,POS_DESC"}, {"POSQUAL_4", "POSQUAL"}, {"POSTITLE_4", "POS_TITLE"},
                      {"REASON_4", "REASON"}, {"STATS_JT_4", "ORDER_,CATEGORY"}, {"STATS_ST_4", "STATE"},
                      {"TIME10_4", "X24_HOUR,X12_HOUR"}}));

  // Secondary indexes with their directions; none unique.
  std::map<std::string, std::string> idx;
  for (const auto& r : b.query(
           "SELECT TRIM(i.RDB$INDEX_NAME), TRIM(i.RDB$RELATION_NAME), COALESCE(i.RDB$INDEX_TYPE, 0), "
           "COALESCE(i.RDB$UNIQUE_FLAG, 0), TRIM(s.RDB$FIELD_NAME) FROM RDB$INDICES i "
           "JOIN RDB$INDEX_SEGMENTS s ON s.RDB$INDEX_NAME = i.RDB$INDEX_NAME "
           "WHERE COALESCE(i.RDB$SYSTEM_FLAG, 0) = 0 AND i.RDB$INDEX_NAME NOT STARTING WITH 'RDB$' "
           "ORDER BY 1, s.RDB$FIELD_POSITION")) {
    std::string& d = idx[text(r[0])];
    if (d.empty())
      d = text(r[1]) + (text(r[2]) == "1" ? " descending" : " ascending") + (text(r[3]) == "1" ? " unique" : "") + ":";
    d += " " + text(r[4]);
  }
  EXPECT_EQ(idx, (std::map<std::string, std::string>{
                     {"CATEGORY_", "QUORVEL_4 ascending: CATEGORY"},
                     {"DATE_SENT_", "QUORVEL_4 ascending: DATE_SENT"},
                     {"ITEM_DATE_", "QUORVEL_4 descending: ITEM_DATE"},
                     {"YYYYMMDD_", "QUORVEL_4 ascending: YYYYMMDD"},
                     {"CONTACT_NAME_", "JSEARCH_4 ascending: CONTACT_NAME"},
                     {"POS_STATE_", "JSEARCH_4 ascending: POS_STATE"},
                     {"POS_STATE_CITY_", "JSEARCH_4 ascending: POS_STATE POS_CITY"},
                     {"REFNUM_YYYYMMDD_POS_TITLE", "JSEARCH_4 descending: REFNUM YYYYMMDD POS_TITLE"},
                     {"YYYYMMDD_TIME_ASCENDING", "JSEARCH_4 ascending: YYYYMMDD TIME_"},
                     {"YYYYMMDD_TIME_DESCENDING", "JSEARCH_4 descending: YYYYMMDD TIME_"}}));
  for (const qv::builder::TableDef& t : qv::builder::schema()) EXPECT_EQ(b.count(std::string(t.name)), "0") << t.name;
}

TEST(Builder, DefaultsAndKeysHold) {
  Bench b;
  ASSERT_TRUE(b.build("dflt0001"));
  b.open();
  b.db.ExecuteImmediate("INSERT INTO QUORVEL_4 (PK) VALUES (1)");
  const std::map<std::string, std::string> expected = {
      {"CATEGORY", "<null>"}, {"ITEM_DATE", "<null>"}, {"YYYYMMDD", "19010101"},
      {"DATE_SENT", "1901-1-1"}, {"DATE_AVAIL", "1901-1-1"}, {"DATE_1ST_TRY", "1901-1-1"},
      {"DATE_2ND_TRY", "1901-1-1"}, {"DATE_3RD_TRY", "1901-1-1"}, {"DATE_DEL", "1901-1-1"},
      {"DATE_RETURNED", "1901-1-1"}, {"DATE_CLEAR", "1901-1-1"}, {"DAYS_SENT_TO_AVAIL", "0"},
      {"DAYS_SENT_TO_DEL", "0"}, {"DAYS_AVAIL_TO_DEL", "0"}, {"DAYS_DEL_TO_CLEAR", "0"},
      {"DAYS_SENT_TO_CLEAR", "0"}, {"CHECK_NBR", "<null>"}, {"ITEM", "N/A"}, {"SS_AMT", "0"},
      {"RP_AMT", "0"}, {"CS_AMT", "0"}, {"OTHER_AMT", "0"}, {"CARRIER", "N/A"}, {"CARR_NBR", "N/A"},
      {"ITEM_FILE", "N/A"}, {"SHIP_FILE", "N/A"}, {"SIG_FILE", "N/A"}, {"CHK_STMT", "N/A"},
      {"COMMENT", "N/A"}, {"MEMO", "<null>"}};
  // One expression per column that reads the same whatever the engine's text
  // form of dates and numbers.
  std::vector<std::string> names;
  std::string select;
  for (const auto& [name, value] : expected) {
    const qv::builder::ColumnDef* c = qv::builder::find_table("QUORVEL_4")->find_column(name);
    ASSERT_NE(c, nullptr) << name;
    using Kind = qv::builder::ColumnType::Kind;
    Kind kind = qv::builder::parse_type(c->type).kind;
    std::string e = kind == Kind::date      ? "EXTRACT(YEAR FROM %) || '-' || EXTRACT(MONTH FROM %) || '-' || EXTRACT(DAY FROM %)"
                    : kind == Kind::text_blob ? "CASE WHEN % IS NULL THEN NULL ELSE 'set' END"
                    : kind == Kind::character ? "TRIM(%)"
                                              : "TRIM(CASE WHEN % = 0 THEN '0' ELSE 'not 0' END)";
    for (std::size_t at; (at = e.find('%')) != std::string::npos;) e.replace(at, 1, name);
    select += (select.empty() ? "" : ", ") + e;
    names.push_back(name);
  }
  auto rows = b.query("SELECT " + select + " FROM QUORVEL_4");
  ASSERT_EQ(rows.size(), 1u);
  std::map<std::string, std::string> actual;
  for (std::size_t i = 0; i < names.size(); ++i) actual[names[i]] = text(rows[0].at(i));
  EXPECT_EQ(actual, expected);

  // Keys of two columns, and a table without one.
  b.db.ExecuteImmediate("INSERT INTO POSCODE_4 VALUES ('A1', 'FIRST')");
  b.db.ExecuteImmediate("INSERT INTO POSCODE_4 VALUES ('A1', 'SECOND')");
  EXPECT_THROW(b.db.ExecuteImmediate("INSERT INTO POSCODE_4 VALUES ('A1', 'FIRST')"), qv::fb::Error);
  b.db.ExecuteImmediate("INSERT INTO STATS_JT_4 (ORDER_, CATEGORY) VALUES (1, 'X')");
  b.db.ExecuteImmediate("INSERT INTO STATS_JT_4 (ORDER_, CATEGORY) VALUES (2, 'X')");
  b.db.ExecuteImmediate("INSERT INTO CONFIG_4 (AUTO_ZIP) VALUES (NULL)");
  b.db.ExecuteImmediate("INSERT INTO CONFIG_4 (AUTO_ZIP) VALUES (NULL)");
  EXPECT_EQ(b.count("CONFIG_4"), "2");
  EXPECT_THROW(b.db.ExecuteImmediate("INSERT INTO CARRIER_4 VALUES (NULL)"), qv::fb::Error);
}

TEST(Builder, ReplacesAnEarlierFileEvenWithAConnectionOpenOnIt) {
  Bench b;
  ASSERT_TRUE(b.build("abcd1234"));
  // As the last converter of a run leaves it: connection open, rows posted,
  // transaction not committed.
  b.open();
  auto& table = qv::DataModule2->IBTable1;
  table.TableName = "CARRIER_4";
  table.Open();
  table.Append();
  table.FieldByName("CARRIER").SetAsString("OLD ROW");
  table.Post();
  b.form.Memo1.Add("left from before");

  ASSERT_TRUE(b.build("abcd1234"));
  EXPECT_EQ(b.form.Memo1.Lines, full_log());
  b.open();
  EXPECT_EQ(b.count("CARRIER_4"), "0");
}

// The build of `name` is refused with the two lines and leaves its file as
// it was.
void expect_refused(Bench& b, const std::string& name) {
  const fs::path file = b.folder() / (name + ".gdb");
  std::ifstream in(file, std::ios::binary);
  std::stringstream before;
  before << in.rdbuf();
  const Lines params_before = b.db.Params;

  EXPECT_FALSE(b.build(name));
  Lines log = opening_lines();
  log.push_back("Database already exists, not attempting to create");
  log.push_back("You must rename or delete this database before trying again");
  EXPECT_EQ(b.form.Memo1.Lines, log);
  EXPECT_EQ(b.db.Params, params_before);
  std::ifstream again(file, std::ios::binary);
  std::stringstream after;
  after << again.rdbuf();
  EXPECT_TRUE(after.str() == before.str()) << file << " changed";
}

TEST(Builder, RefusesWhenTheEarlierFileCannotBeDeleted) {
  Bench b;
  fs::create_directories(b.folder());
  std::ofstream(b.folder() / "keep0001.gdb") << "not to be touched";
  Undeletable lock(b.folder() / "keep0001.gdb");
  if (!lock.works()) GTEST_SKIP() << "no way to make a file undeletable here";
  expect_refused(b, "keep0001");
}

TEST(Builder, RefusesWhenSomethingElseHasTheEarlierFileOpen) {
  Bench b;
  ASSERT_TRUE(b.build("held0001"));
  qv::fb::IBDatabase other;
  other.DatabaseName = (b.folder() / "held0001.gdb").string();
  other.Params = qv::admin_login();
  other.Open();
  other.ExecuteImmediate("INSERT INTO CARRIER_4 VALUES ('KEPT')");
  other.Close();
  other.Open();
  expect_refused(b, "held0001");
  // The other connection still reaches the same file.
  EXPECT_EQ(text(other.Query("SELECT TRIM(CARRIER) FROM CARRIER_4").at(0).at(0)), "KEPT");
  other.Close();
  ASSERT_TRUE(b.build("held0001"));  // once closed, the file is replaced
}

// The run ends where the folder is made, naming it, after the opening lines.
TEST(Builder, AFolderThatCannotBeMadeEndsTheRunNamingIt) {
  Bench b;
  fs::create_directories(b.folder().parent_path().parent_path());
  std::ofstream(b.folder().parent_path()) << "a file where the folder belongs";
  try {
    b.build("abcd1234");
    ADD_FAILURE() << "built under a file";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot create folder " + b.folder().string()), std::string::npos) << e.what();
  }
  EXPECT_EQ(b.form.Memo1.Lines, opening_lines());
}

TEST(Builder, RefusesNamesThatReachOutsideTheFolder) {
  Bench b;
  b.form.Memo1.Add("left from before");
  const Lines log_before = b.form.Memo1.Lines;
  for (std::string name : {"../abcd1234", "..", "ab\\cd", "ab/cd", ""}) {
    try {
      b.build(name);
      ADD_FAILURE() << "accepted \"" << name << "\"";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + name + "\""), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(b.form.Memo1.Lines, log_before);
  EXPECT_FALSE(fs::exists(b.drive.root() / "MyData"));
}
