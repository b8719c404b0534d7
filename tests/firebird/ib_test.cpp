#include "firebird/ib.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "firebird/engine.h"
#include "firebird/fb_fixture.h"

namespace qv::fb {
namespace {

using ::testing::HasSubstr;
using test::kDbName;
using test::scalar;

const char* const kTable =
    "CREATE TABLE SAMPLE_4 (ID INTEGER NOT NULL, D DATE, N NUMERIC(18,12), C CHAR(5), "
    "V VARCHAR(3), T CHAR(3) DEFAULT 'N/A', S NUMERIC(4,1), PRIMARY KEY (ID))";

// The components wired as the data module wires them.
class IBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::create_database({kTable});
    db.DefaultTransaction = &tra;
    tra.DefaultDatabase = &db;
    table.Database = &db;
    table.Transaction = &tra;
    db.DatabaseName = kDbName;
    db.Params = {"user_name=SYSDBA", "password=tarnwheel"};
    db.Open();
    table.TableName = "sample_4";
    table.Open();
  }

  // Appends and posts one row; each pair is a column and its text.
  void post(std::initializer_list<std::pair<const char*, const char*>> values) {
    table.Append();
    for (const auto& [col, text] : values) table.FieldByName(col).SetAsString(text);
    table.Post();
  }

  std::string error_of(std::initializer_list<std::pair<const char*, const char*>> values) {
    try {
      post(values);
    } catch (const Error& e) {
      return e.what();
    }
    return "no error";
  }

  test::DriveC drive;
  IBTransaction tra;
  IBDatabase db;
  IBTable table;
};

TEST(IBDatabaseTest, CreatesDialectOneDatabaseWithPageSizeAndStaysOpen) {
  test::DriveC drive;
  platform::force_directories(test::kDbFolder);
  IBDatabase db;
  db.DatabaseName = kDbName;
  db.Params = {"USER 'SYSDBA'", "PASSWORD 'tarnwheel'", "PAGE_SIZE 4096", ""};
  db.CreateDatabase();
  EXPECT_TRUE(db.Connected());
  EXPECT_TRUE(std::filesystem::exists(drive.root() / "MyData/wk-db/intrbase/quorvel4/db/abcd1234.gdb"));
  const auto rows = db.Query("SELECT MON$SQL_DIALECT, MON$PAGE_SIZE, MON$FORCED_WRITES FROM MON$DATABASE");
  EXPECT_EQ(rows.at(0).at(0), "1");
  EXPECT_EQ(rows.at(0).at(1), "4096");
  EXPECT_EQ(rows.at(0).at(2), "1");
  // Creating over an open connection is refused.
  EXPECT_THROW(db.CreateDatabase(), Error);
  db.Close();
  EXPECT_FALSE(db.Connected());
  EXPECT_THROW(db.CreateDatabase(), Error);  // the file exists
}

TEST(IBDatabaseTest, OpenNamesTheFileAndRefusesUnknownParameters) {
  test::DriveC drive;
  IBDatabase db;
  db.DatabaseName = kDbName;
  try {
    db.Open();
    FAIL() << "opened a missing file";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), HasSubstr("abcd1234.gdb"));
  }
  test::create_database({});
  db.Params = {"user_name=SYSDBA", "lc_ctype=UTF8"};
  EXPECT_THROW(db.Open(), Error);
  EXPECT_FALSE(db.Connected());
}

TEST_F(IBTest, TextIsConvertedToTheColumnTypes) {
  table.Append();
  table.FieldByName("id").SetAsInteger(42);
  table.FieldByName("D").SetAsString("01/02/1999");
  table.FieldByName("n").SetAsString("12.5");
  table.FieldByName("c").SetAsString("abc");
  table.FieldByName("v").SetAsString("xy");
  table.Post();
  db.Close();
  EXPECT_EQ(scalar("SELECT ID || '|' || EXTRACT(YEAR FROM D) || '-' || EXTRACT(MONTH FROM D) || '-' || "
                   "EXTRACT(DAY FROM D) || '|' || CAST(N * 10 AS INTEGER) || '|' || C || '|' || V || '|' || T "
                   "FROM SAMPLE_4"),
            "42|1999-1-2|125|abc  |xy|N/A");
}

// The typed reader's conversion gives what the engine stores for the same
// texts, whether the engine converts a text, a plain whole number is taken
// as it is, or an answer for the same text is used again; a refused text
// names its column.
TEST_F(IBTest, TypedReaderConvertsTextsAsTheEngineStoresThem) {
  // S is a whole-number column with a decimal: "5" is stored as 50 tenths.
  const std::vector<std::string> columns = {"ID", "D", "N", "C", "V", "S"};
  const std::vector<std::vector<std::string>> texts = {
      {"-9", "01/02/1999", " 42", "e", "r", "5"},     {"1", "01/02/1999", "0", "abc", "xy", "0"},
      {"2", "01/02/1999", "-0", "abcdefgh", "", "-7"}, {"3", "1999-01-02 16:45:00", "007", "\xc3\xa9", "z", "12"},
      {"4", "", "-250", "", "v", ""},                {"5", "12/31/2001", "123456789012345", " a ", "w", "99"},
      {"6", "12/31/2001", "1234567890123456", "b", "u", "1.5"}, {"7", "01/02/1999", "12.5", "c", "t", "3"},
      {"8", "2/3/04", "1e3", "d", "s", "-1"},          {"9", "1999-01-02 16:45:00", "+5", "f", "q", "4"},
      // Dates and halves the reader encodes itself, beside ones it cannot.
      {"10", "02/29/2000", "-123456.25", "g", "p", "2"}, {"11", "12/31/9999", "0.1", "h", "o", "1"},
      {"12", "01/01/1000", "99999999999999.5", "i", "n", "0"}, {"13", "03/01/1900", "0.5", "j", "m", "0"},
      {"14", "10/15/1582", "00.5", "k", "l", "0"}};
  for (const auto& row : texts) {
    table.Append();
    for (std::size_t c = 0; c < columns.size(); ++c) table.FieldByName(columns[c]).SetAsString(row[c]);
    table.Post();
  }
  db.Close();
  db.Open();
  IBTypedReader reader(db, "SAMPLE_4", columns, "ID");
  std::vector<TypedRow> stored, converted, again;
  for (TypedRow row; reader.Next(row);) stored.push_back(row);
  reader.ConvertRows(texts, converted);
  reader.ConvertRows(texts, again);
  EXPECT_EQ(converted, stored);
  EXPECT_EQ(again, stored);
  TypedRow one;
  reader.Convert(texts[3], one);
  EXPECT_EQ(one, stored[3]);
  EXPECT_THAT(reader.Display(1, stored[3][1]), HasSubstr("1999-01-02 16:45:00"));
  for (const char* no_day : {"02/30/1999", "02/29/1900", "13/01/1999"}) {
    try {
      reader.ConvertRows({texts[1], {"20", no_day, "1", "", "", ""}}, converted);
      ADD_FAILURE() << "a date that does not exist was taken: " << no_day;
    } catch (const Error& e) {
      EXPECT_THAT(e.what(), HasSubstr("column D"));
    }
  }
  reader.Convert(texts[1], one);  // nothing of the refused call is left waiting
  EXPECT_EQ(one, stored[1]);
}

TEST_F(IBTest, EmptyTextIsNullInNonTextColumnsAndEmptyInText) {
  post({{"ID", "1"}, {"D", ""}, {"N", ""}, {"C", ""}, {"T", ""}});
  table.Append();
  table.FieldByName("ID").SetAsString("2");
  table.FieldByName("C").SetAsString("x");
  table.FieldByName("C").Clear();
  table.Post();
  // Another set of columns, then the first again: each set has its statement.
  post({{"ID", "3"}});
  post({{"ID", "4"}, {"D", ""}, {"N", ""}, {"C", ""}, {"T", ""}});
  EXPECT_EQ(table.RecordCount(), 4);
  db.Close();
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM SAMPLE_4 WHERE D IS NULL AND N IS NULL AND C = '' AND T = ''"), "2");
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM SAMPLE_4 WHERE ID = 2 AND C IS NULL AND T = 'N/A'"), "1");
  EXPECT_EQ(scalar("SELECT T FROM SAMPLE_4 WHERE ID = 3"), "N/A");  // unset: the default
}

TEST_F(IBTest, LongTextIsShortenedToTheWidthAndCounted) {
  post({{"ID", "1"}, {"C", "abcdefgh"}, {"V", "abcd"}});
  post({{"ID", "2"}, {"C", "éééééé"}});
  post({{"ID", "3"}, {"C", "abcde"}});
  EXPECT_EQ(table.Shortened(), 3);
  EXPECT_EQ(table.Posted(), 3);
  db.Close();
  EXPECT_EQ(scalar("SELECT C || V FROM SAMPLE_4 WHERE ID = 1"), "abcdeabc");
  EXPECT_EQ(scalar("SELECT C FROM SAMPLE_4 WHERE ID = 2"), "ééééé");
}

TEST_F(IBTest, TextIsStoredAsWindows1252) {
  post({{"ID", "1"}, {"C", "é€"}});
  db.Close();
  EXPECT_EQ(scalar("SELECT ASCII_VAL(C) || ',' || ASCII_VAL(SUBSTRING(C FROM 2 FOR 1)) || ',' || "
                   "OCTET_LENGTH(TRIM(C)) FROM SAMPLE_4"),
            "233,128,2");
  EXPECT_EQ(scalar("SELECT TRIM(C) FROM SAMPLE_4"), "é€");
}

TEST_F(IBTest, ValueErrorsNameTableColumnAndRow) {
  post({{"ID", "1"}});
  table.Append();
  try {
    table.FieldByName("c").SetAsString("aΩ");
    FAIL() << "a character without a Windows-1252 form was taken";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), HasSubstr("Table SAMPLE_4, row 2, column C"));
    EXPECT_THAT(e.what(), HasSubstr("Ω"));
  }
  EXPECT_THAT(error_of({{"ID", "2"}, {"N", "1.5"}, {"D", "31/31/1999"}}),
              HasSubstr("Table SAMPLE_4, row 2, column D: "));
  EXPECT_THAT(error_of({{"ID", "abc"}}), HasSubstr("column ID"));
  EXPECT_THAT(error_of({{"C", "x"}}), HasSubstr("ID"));  // NOT NULL key left out
  try {
    table.FieldByName("NOPE");
    FAIL() << "unknown column found";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), HasSubstr("SAMPLE_4"));
    EXPECT_THAT(e.what(), HasSubstr("NOPE"));
  }
  IBTable other;
  other.Database = &db;
  other.TableName = "MISSING_4";
  try {
    other.Open();
    FAIL() << "opened a missing table";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), HasSubstr("MISSING_4"));
  }
  other.TableName = "x; DROP TABLE SAMPLE_4";
  EXPECT_THROW(other.Open(), Error);
}

TEST_F(IBTest, DuplicateKeyFailsThePostOnlyAndTheTransactionGoesOn) {
  post({{"ID", "1"}});
  post({{"ID", "2"}});
  try {
    post({{"ID", "1"}});
    FAIL() << "duplicate key posted";
  } catch (const Error& e) {
    EXPECT_TRUE(e.is_duplicate_key());
    EXPECT_THAT(e.what(), HasSubstr("Table SAMPLE_4, row 3"));
    EXPECT_THAT(e.what(), HasSubstr("PRIMARY or UNIQUE KEY"));
  }
  table.Append();
  table.FieldByName("ID").SetAsString("2");
  EXPECT_FALSE(table.PostUnlessDuplicate());
  table.Append();
  table.FieldByName("ID").SetAsString("3");
  EXPECT_TRUE(table.PostUnlessDuplicate());
  EXPECT_TRUE(tra.InTransaction());
  EXPECT_EQ(table.RecordCount(), 3);
  db.Close();
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM SAMPLE_4"), "3");
}

// Rows sent several to a call fail and are stored exactly as rows sent one
// by one, wherever in a call the failing row falls: the same error, naming
// the same row and carrying its tag, the same rows stored, the same counts.
TEST_F(IBTest, RowsSentSeveralPerCallFailAndStoreAsOneByOne) {
  struct Outcome {
    std::string error;
    std::optional<std::int64_t> tag;
    std::vector<std::int64_t> left_out;  // tags OnRefused left out
    std::int64_t posted = 0, shortened = 0;
    std::vector<std::vector<std::optional<std::string>>> rows;
    bool operator==(const Outcome&) const = default;
  };
  struct Case {
    std::size_t bad;  // 1-based; 0: none
    const char* column;
    const char* text;
  };
  // `skip`: refused rows are left out and the others go on.
  const auto load = [&](int per_call, const Case& c, bool skip = false) {
    table.Close();
    if (tra.InTransaction()) tra.Commit();
    db.ExecuteImmediate("DELETE FROM SAMPLE_4");
    db.RowsPerCall = per_call;
    table.Open();
    Outcome o;
    table.OnRefused = nullptr;
    if (skip) table.OnRefused = [&o](const Error& e) {
      o.left_out.push_back(e.row_tag().value_or(0));
      return true;
    };
    try {
      for (std::size_t r = 1; r <= 10; ++r) {
        table.Append();
        table.FieldByName("ID").SetAsString(std::to_string(r));
        // Every third shortened; rows 2 and 6 leave C unset (NULL, not the row before's).
        if (r % 4 != 2) table.FieldByName("C").SetAsString(r % 3 ? "abc" : "abcdefg");
        table.FieldByName("D").SetAsString("01/02/2003");
        if (r == c.bad) table.FieldByName(c.column).SetAsString(c.text);
        table.Post(static_cast<std::int64_t>(100 + r));
      }
      table.Flush();
    } catch (const Error& e) {
      o.error = e.what();
      o.tag = e.row_tag();
    }
    o.posted = table.Posted();
    o.shortened = table.Shortened();
    tra.Commit();
    o.rows = db.Query("SELECT ID, C, D FROM SAMPLE_4 ORDER BY ID");
    return o;
  };
  // Four to a call: rows 1-4, 5-8, then 9 and 10 when flushed.
  const Case cases[] = {
      {1, "ID", "abc"},          // refused, the first row of the first call
      {5, "ID", "2"},            // key clash with an earlier call, first of a call
      {6, "D", "31/31/1999"},    // refused date, middle of a call
      {7, "ID", "6"},            // key clash within the call
      {8, "ID", "3"},            // key clash, last of a call
      {10, "ID", "9"},           // in the partial last call
      {0, "ID", ""},             // none fails
  };
  for (const Case& c : cases) {
    const Outcome one = load(1, c);
    const Outcome four = load(4, c);
    EXPECT_EQ(four, one) << "bad row " << c.bad << ": " << four.error << " / " << one.error;
    EXPECT_EQ(one.rows.size(), c.bad ? c.bad - 1 : 10) << c.bad;
    if (c.bad) {
      EXPECT_EQ(one.tag, static_cast<std::int64_t>(100 + c.bad));
      EXPECT_THAT(one.error, HasSubstr("Table SAMPLE_4, row " + std::to_string(c.bad)));
    }
    // Left out: the refused row alone is missing, and counted nowhere.
    const Outcome skip_one = load(1, c, true);
    const Outcome skip_four = load(4, c, true);
    EXPECT_EQ(skip_four, skip_one) << "bad row " << c.bad;
    EXPECT_EQ(skip_one.rows.size(), c.bad ? 9u : 10u) << c.bad;
    EXPECT_EQ(skip_one.posted, static_cast<std::int64_t>(skip_one.rows.size()));
    EXPECT_EQ(skip_one.left_out, c.bad ? std::vector<std::int64_t>{static_cast<std::int64_t>(100 + c.bad)}
                                       : std::vector<std::int64_t>{});
    EXPECT_EQ(skip_one.error, "");
  }
  table.OnRefused = nullptr;
}

TEST_F(IBTest, RowsThatWaitAreSentBeforeCountsDuplicateChecksAndCloseAndDroppedByRollback) {
  table.Close();
  db.RowsPerCall = 4;
  table.Open();
  post({{"ID", "1"}, {"C", "a"}});
  post({{"ID", "2"}, {"C", "abcdefg"}});
  EXPECT_EQ(table.Waiting(), 2u);
  EXPECT_EQ(table.Posted(), 2);
  EXPECT_EQ(table.Shortened(), 1);
  EXPECT_EQ(table.RecordCount(), 2);
  post({{"ID", "3"}});
  table.Append();
  table.FieldByName("ID").SetAsString("3");
  EXPECT_FALSE(table.PostUnlessDuplicate());  // row 3 went first
  post({{"ID", "4"}});
  tra.Rollback();
  EXPECT_EQ(table.Posted(), 3);  // row 4 was dropped with the transaction
  tra.StartTransaction();
  post({{"ID", "5"}});
  post({{"ID", "6"}});
  EXPECT_EQ(table.Waiting(), 2u);
  db.Close();  // a run stopped while rows wait: closing stores them
  EXPECT_EQ(scalar("SELECT LIST(ID) FROM (SELECT ID FROM SAMPLE_4 ORDER BY ID)"), "5,6");
}

// The rows of one column set go to one request, started once and left waiting
// for the next row; whatever comes next must find the rows sent so far
// stored (or dropped with a rollback) and the table still loading after it.
TEST_F(IBTest, TheWaitingLoadEndsCleanlyWhateverComesNext) {
  const struct {
    const char* what;
    std::function<void()> step;
    const char* stored;  // at the end, by ID
  } cases[] = {
      {"a commit", [this] { tra.Commit(); }, "1,2,3"},
      {"a rollback", [this] { tra.Rollback(); }, "3"},
      {"a count", [this] { EXPECT_EQ(table.RecordCount(), 2); }, "1,2,3"},
      {"closing the table", [this] { table.Close(); table.Open(); }, "1,2,3"},
      {"a row of other columns", [this] { post({{"ID", "9"}, {"C", "x"}}); }, "1,2,3,9"},
      {"a refused row", [this] { EXPECT_ANY_THROW(post({{"ID", "1"}})); }, "1,2,3"},
      {"a refused value", [this] { EXPECT_ANY_THROW(post({{"ID", "8"}, {"D", "never"}})); }, "1,2,3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!tra.InTransaction()) tra.StartTransaction();
    db.ExecuteImmediate("DELETE FROM SAMPLE_4");
    tra.Commit();
    tra.StartTransaction();
    post({{"ID", "1"}});
    post({{"ID", "2"}});
    c.step();
    if (!tra.InTransaction()) tra.StartTransaction();
    post({{"ID", "3"}});
    tra.Commit();
    EXPECT_EQ(scalar("SELECT LIST(ID) FROM (SELECT ID FROM SAMPLE_4 ORDER BY ID)"), c.stored);
  }
}

// A list whose key is the whole row decides duplicates without asking the
// engine; it must merge exactly the rows the engine refuses. The same rows go
// into a twin with one column outside its key, where the engine decides each.
TEST(IBTableKeys, ListsMergeExactlyTheRowsTheEngineRefuses) {
  struct Case {
    const char* a;
    const char* b;
    bool stored;
  };
  const std::vector<Case> rows = {
      {"ABC", "X", true},    {"ABC  ", "X", false},  // trailing blanks do not count
      {"ABC", "X  ", false}, {" ABC", "X", true},    // leading ones do
      {"abc", "X", true},    {"ABCDEFG", "X", true}, // shortened to ABCDE
      {"ABCDE", "X", false}, {"ABCDEZ", "X", false}, {"A", "BX", true},
      {"AB", "X", true},     {"A B", "X", true},     {"É", "", true},
      {"é", "", true},       {"É ", "", false},      {"", "", true},
      {" ", "", false},      {"", " ", false},       {"ABC", "X", false},
  };
  test::DriveC drive;
  test::create_database({"CREATE TABLE LIST_4 (A CHAR(5) NOT NULL, B CHAR(3) NOT NULL, PRIMARY KEY (A, B))",
                         "CREATE TABLE OPEN_4 (A CHAR(5) NOT NULL, B CHAR(3) NOT NULL, X INTEGER, "
                         "PRIMARY KEY (A, B))"});
  IBDatabase db;
  IBTransaction tra;
  db.DefaultTransaction = &tra;
  tra.DefaultDatabase = &db;
  db.DatabaseName = kDbName;
  db.Params = {"user_name=SYSDBA", "password=tarnwheel"};
  db.Open();
  for (const char* name : {"LIST_4", "OPEN_4"}) {
    IBTable table;
    table.Database = &db;
    table.TableName = name;
    table.Open();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      table.Append();
      table.FieldByName("A").SetAsString(rows[i].a);
      table.FieldByName("B").SetAsString(rows[i].b);
      EXPECT_EQ(table.PostUnlessDuplicate(), rows[i].stored) << name << ", row " << i + 1 << " '" << rows[i].a
                                                             << "' '" << rows[i].b << "'";
    }
    EXPECT_EQ(table.Shortened(), 1) << name;  // of the stored rows only
    // A rollback takes the stored keys with it.
    tra.Rollback();
    tra.StartTransaction();
    table.Append();
    table.FieldByName("A").SetAsString("ABC");
    table.FieldByName("B").SetAsString("X");
    EXPECT_TRUE(table.PostUnlessDuplicate()) << name;
    tra.Commit();
  }
  db.Close();
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM LIST_4"), "1");
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM OPEN_4"), "1");
}

TEST_F(IBTest, CloseCommitsAndClosesTheTable) {
  post({{"ID", "1"}});
  post({{"ID", "2"}});
  IBDatabase second;
  second.DatabaseName = kDbName;
  second.Open();  // a second connection in the same process is fine
  EXPECT_EQ(second.Query("SELECT COUNT(*) FROM SAMPLE_4").at(0).at(0), "0");
  db.Close();
  EXPECT_FALSE(tra.InTransaction());
  EXPECT_FALSE(table.Active());
  EXPECT_THROW(table.Append(), Error);
  EXPECT_EQ(second.Query("SELECT COUNT(*) FROM SAMPLE_4").at(0).at(0), "2");
}

TEST_F(IBTest, TransactionAndTableRules) {
  EXPECT_TRUE(tra.InTransaction());  // opening the table started it
  EXPECT_THROW(tra.StartTransaction(), Error);
  table.FieldByName("ID");
  EXPECT_THROW(table.FieldByName("ID").SetAsString("1"), Error);  // no Append
  post({{"ID", "1"}});
  tra.Rollback();
  EXPECT_THROW(tra.Commit(), Error);
  EXPECT_THROW(post({{"ID", "2"}}), Error);  // no active transaction
  tra.StartTransaction();
  post({{"ID", "2"}});
  tra.Commit();
  EXPECT_EQ(table.RecordCount(), 1);
  table.Close();
  table.TableName = "SAMPLE_4";
  table.Open();
  EXPECT_EQ(table.Posted(), 0);
}

TEST_F(IBTest, StatementLinesRunAsOneStatement) {
  IBSQL sql;
  sql.Database = &db;
  sql.Transaction = &tra;
  sql.SQL = {"CREATE TABLE CARRIER_4", "(", "    CARRIER CHAR(40) NOT NULL,", "    PRIMARY KEY (CARRIER)", ");"};
  EXPECT_EQ(sql.Text(), "CREATE TABLE CARRIER_4\r\n(\r\n    CARRIER CHAR(40) NOT NULL,\r\n    PRIMARY KEY (CARRIER)\r\n);");
  tra.Commit();
  EXPECT_THROW(sql.Prepare(), Error);  // no active transaction
  tra.StartTransaction();
  sql.Prepare();
  EXPECT_TRUE(sql.Prepared());
  sql.ExecQuery();
  tra.Commit();
  sql.Close();
  sql.SQL = {"CREATE TABLE CARRIER_4 (X INTEGER)"};
  EXPECT_FALSE(sql.Prepared());
  tra.StartTransaction();
  try {
    sql.ExecQuery();
    tra.Commit();
    FAIL() << "created a table twice";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), HasSubstr("CREATE TABLE CARRIER_4"));
  }
  db.Close();
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'CARRIER_4'"), "1");
}

TEST_F(IBTest, BulkLoadTurnsForcedWritesOffUntilClose) {
  db.set_bulk_load(true);
  EXPECT_EQ(db.Query("SELECT MON$FORCED_WRITES FROM MON$DATABASE").at(0).at(0), "0");
  db.Close();
  db.Open();  // the setting holds for later connections of the run
  EXPECT_EQ(db.Query("SELECT MON$FORCED_WRITES FROM MON$DATABASE").at(0).at(0), "0");
  db.Close();
  EXPECT_EQ(scalar("SELECT MON$FORCED_WRITES FROM MON$DATABASE"), "1");
  db.set_bulk_load(false);
}

TEST_F(IBTest, DeferredIndexesAreInactiveForTheLoadAndActiveAfterClose) {
  table.Close();
  tra.Commit();
  db.ExecuteImmediate("CREATE DESCENDING INDEX SAMPLE_C_ ON SAMPLE_4(C, V)");
  const std::string inactive =
      "SELECT COALESCE(RDB$INDEX_INACTIVE, 0) FROM RDB$INDICES WHERE RDB$INDEX_NAME = 'SAMPLE_C_'";
  db.defer_indexes("sample_4");
  EXPECT_EQ(db.Query(inactive).at(0).at(0), "1");
  table.Open();
  post({{"ID", "1"}, {"C", "abc"}, {"V", "x"}});
  post({{"ID", "2"}, {"C", "abc"}, {"V", "y"}});
  db.Close();
  EXPECT_EQ(scalar(inactive), "0");
  // The primary key's index was left alone, and the rebuilt index finds the rows.
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$RELATION_NAME = 'SAMPLE_4' AND RDB$INDEX_INACTIVE = 1"), "0");
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM SAMPLE_4 WHERE C = 'abc' AND V = 'y'"), "1");
  EXPECT_EQ(scalar("SELECT RDB$INDEX_TYPE FROM RDB$INDICES WHERE RDB$INDEX_NAME = 'SAMPLE_C_'"), "1");
}

// Every process has an engine folder of its own, yet the engine opens a
// database file for one process only: two other processes, started at once
// with this one's environment, each get the "already opened" error with the
// file named, each through a lock folder of its own. The children are this
// test program again, running the test below.
TEST_F(IBTest, OtherProcessesAreToldTheFileIsInUse) {
  const test::TempDir out;
  const std::string own_lock = std::getenv("FIREBIRD_LOCK");
  std::vector<pid_t> children;
  for (const char* name : {"first.txt", "second.txt"}) {
    // The child's environment is made before fork: the engine runs threads here.
    std::vector<std::string> env = {"QV_FB_CHILD_DB=" + db.real_path(), "QV_FB_CHILD_REPORT=" + (out / name).string()};
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char arg0[] = "firebird_tests", arg1[] = "--gtest_filter=IBChild.OpensTheFile";
    char* argv[] = {arg0, arg1, nullptr};
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::execve("/proc/self/exe", argv, envp.data());
      ::_exit(127);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> lock_folders = {own_lock};
  for (const char* name : {"first.txt", "second.txt"}) {
    std::ifstream in(out / name);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_THAT(text.str(), HasSubstr("Cannot open database " + db.real_path() + ": it is in use by another program"));
    const std::string mode = "lock folder mode 700 ";
    const std::size_t at = text.str().find(mode);
    ASSERT_NE(at, std::string::npos) << text.str();
    std::string folder = text.str().substr(at + mode.size());
    lock_folders.insert(folder.substr(0, folder.find('\n')));
  }
  EXPECT_EQ(lock_folders.size(), 3u) << "a child used another process's lock folder";
}

// The engine's folders go where only this user can make them: the runtime
// folder, else the cache folder, else a fresh folder in /tmp.
TEST(EngineFolders, UnderTheRuntimeOrCacheFolderElseAFreshOneInTmp) {
  const test::TempDir t;
  for (const char* d : {"run", "home", "cache"}) std::filesystem::create_directory(t / d, t.path());
  const std::string run = (t / "run").string(), home = (t / "home").string(), cache = (t / "cache").string(),
                    missing = (t / "missing").string();
  struct Case {
    const char *runtime, *cache, *home;
    std::string expected;  // empty: a fresh folder in /tmp
  };
  const std::vector<Case> cases = {
      {run.c_str(), cache.c_str(), home.c_str(), run + "/quorvel-migrate"},
      {nullptr, cache.c_str(), home.c_str(), cache + "/quorvel-migrate"},
      {"", nullptr, home.c_str(), home + "/.cache/quorvel-migrate"},
      {"relative", nullptr, "/nonexistent", ""},
      {missing.c_str(), nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    const detail::PrivateBase b = detail::private_base(c.runtime, c.cache, c.home);
    struct stat st {};
    ASSERT_EQ(::lstat(b.path.c_str(), &st), 0) << b.path;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << b.path;
    if (c.expected.empty()) {
      EXPECT_TRUE(b.temporary);
      EXPECT_THAT(b.path.string(), ::testing::StartsWith("/tmp/quorvel-migrate-"));
      std::filesystem::remove(b.path);
    } else {
      EXPECT_FALSE(b.temporary);
      EXPECT_EQ(b.path, c.expected);
    }
  }
  // One that is open to others is refused, not used.
  ::chmod((t / "run" / "quorvel-migrate").c_str(), 0755);
  EXPECT_THROW(detail::private_base(run.c_str(), nullptr, nullptr), Error);
}

// The engine's settings cannot quote a path: a base whose path holds what
// the settings reader takes for syntax is not used, a fresh one in /tmp is.
TEST(EngineFolders, APathTheSettingsCannotHoldIsNotUsed) {
  const test::TempDir t;
  for (const std::string odd : {"$(root)", "line\nbreak", "hash#", "bracket]", "equals=", "plain"}) {
    const std::filesystem::path run = t / odd;
    std::filesystem::create_directory(run, t.path());
    const detail::PrivateBase b = detail::private_base(run.c_str(), nullptr, nullptr);
    EXPECT_EQ(b.temporary, odd != "plain") << odd;
    EXPECT_TRUE(detail::settings_safe(b.path)) << b.path;
    if (b.temporary) std::filesystem::remove(b.path);
  }
}

// At start, the folders of processes that ended go; a running process's
// stays, and so does anything not named like a process's folder.
TEST(EngineFolders, FoldersOfEndedProcessesAreRemoved) {
  const test::TempDir t;
  const long me = ::getpid();
  const std::uint64_t started = detail::process_start(me).value();
  struct Case {
    std::string name;
    bool stays;
  };
  const std::vector<Case> cases = {
      {detail::process_folder_name(me, started), true},
      {detail::process_folder_name(me, started + 1), false},  // an earlier process with the same id
      {detail::process_folder_name(4194305, 1), false},       // beyond any process id
      {"lock", true},
      {"12-x", true},
  };
  for (const Case& c : cases) std::filesystem::create_directories(t / c.name / "lock");
  detail::remove_folders_of_ended_processes(t.path());
  for (const Case& c : cases) EXPECT_EQ(std::filesystem::exists(t / c.name), c.stays) << c.name;
}

TEST(IBChild, OpensTheFile) {
  const char* path = std::getenv("QV_FB_CHILD_DB");
  const char* report = std::getenv("QV_FB_CHILD_REPORT");
  if (!path || !report) GTEST_SKIP() << "run by OtherProcessesAreToldTheFileIsInUse";
  std::ofstream out(report);
  IBDatabase db;
  db.DatabaseName = path;
  try {
    db.Open();
    out << "opened\n";
  } catch (const Error& e) {
    out << e.what() << "\n";
  }
  struct stat st {};
  const char* lock = std::getenv("FIREBIRD_LOCK");
  if (lock && ::stat(lock, &st) == 0) out << "lock folder mode " << std::oct << (st.st_mode & 0777) << " " << lock << "\n";
}

}  // namespace
}  // namespace qv::fb
