// The real tables of the shared fixtures: every one opens, counts its rows
// as its header does, and reads the values its bytes hold.
#include <gtest/gtest.h>

#include <sstream>

#include "paradox/table.h"
#include "platform/paths.h"
#include "support/testsupport.h"

namespace qv::pdx {
namespace {

using test::fixture;

struct Counted {
  const char* file;
  std::int64_t rows;
  int version;
};

const Counted kTables[] = {
    {"paradoxdriver/areas/AREACODE.DB", 239, 3},     {"paradoxdriver/areas/STATES.DB", 53, 3},
    {"paradoxdriver/areas/ZIPCODES.DB", 43185, 9},   {"paradoxdriver/db/CUSTOMER.DB", 20, 12},
    {"paradoxdriver/db/DECIMAL.DB", 9, 12},          {"paradoxdriver/db/GENERAL.DB", 3, 11},
    {"paradoxdriver/db/HERCULES.DB", 20, 12},        {"paradoxdriver/db/ORDERS.DB", 224, 12},
    {"paradoxdriver/db/ROMAN8.db", 1, 9},            {"paradoxdriver/fields/bcd.db", 3, 11},
    {"paradoxdriver/fields/bytes.db", 1, 11},        {"paradoxdriver/fields/date35.db", 3, 4},
    {"paradoxdriver/fields/date7.db", 5, 11},        {"paradoxdriver/fields/fmemo.db", 2, 11},
    {"paradoxdriver/fields/graphic.db", 3, 11},      {"paradoxdriver/fields/logical.db", 4, 11},
    {"paradoxdriver/fields/long.db", 3, 11},         {"paradoxdriver/fields/memo.db", 2, 11},
    {"paradoxdriver/fields/ole.db", 1, 11},          {"paradoxdriver/fields/time.db", 3, 11},
    {"paradoxdriver/fields/timestamp.db", 2, 11},    {"paradoxdriver/geog/County.DB", 3218, 12},
    {"paradoxdriver/geog/tblsttes.DB", 58, 12},      {"paradoxdriver/mtdemo/AMOUNT.DB", 50, 3},
    {"paradoxdriver/mtdemo/CUSTOMER.DB", 28, 3},     {"paradoxdriver/mtdemo/EMPLOYEE.DB", 21, 3},
    {"paradoxdriver/mtdemo/FILMS.DB", 36, 3},        {"paradoxdriver/mtdemo/KRENTAL.DB", 198, 3},
    {"paradoxdriver/mtdemo/VIDORDER.DB", 50, 3},     {"paradoxreader/MEMBRE.DB", 6, 12},
    {"paradoxreader/PCLDATA/PCL.DB", 161, 3},        {"rparadox/TypSammlung.DB", 5, 12},
    {"rparadox/biolife.db", 28, 9},                  {"rparadox/country.db", 18, 9},
    {"rparadox/empty.db", 0, 12},                    {"rparadox/of.db", 2197, 4},
    {"rparadox/of_cp866.db", 2197, 9},
};

// Opens a fixture by bare name in its folder, as the converters do.
void open(PDTable& t, const std::string& rel) {
  const auto p = fixture(rel);
  t.Directory = p.parent_path().string();
  t.TableName = p.filename().string();
  t.Open();
}

// The text of `field` in the 1-based record `recno`.
std::string value(PDTable& t, std::int64_t recno, const std::string& field) {
  t.First();
  while (t.RecNo() < recno) t.Next();
  return t.FieldByName(field).AsString();
}

// Skipped (named) where the shared fixtures are missing.
class ParadoxFixtures : public ::testing::Test {
 protected:
  void SetUp() override { QV_NEEDS_FIXTURES(); }
};

TEST_F(ParadoxFixtures, EveryTableOpensAndCountsItsRows) {
  for (const auto& c : kTables) {
    SCOPED_TRACE(c.file);
    PDTable t;
    open(t, c.file);
    EXPECT_EQ(t.RecordCount(), c.rows);
    EXPECT_EQ(t.FileVersion(), c.version);
    std::int64_t n = 0;
    for (t.First(); !t.Eof(); t.Next()) ++n;
    EXPECT_EQ(n, c.rows);
  }
}

TEST_F(ParadoxFixtures, EncryptedTablesAreRefusedByName) {
  for (const char* f : {"paradoxdriver/encrypt/encrypted.db", "paradoxdriver/encrypt/encrypted35.db",
                        "paradoxdriver/encrypt/encryptedmemo.db"}) {
    PDTable t;
    try {
      open(t, f);
      ADD_FAILURE() << f << " opened";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("password-protected"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(fixture(f).filename().string()), std::string::npos) << e.what();
    }
    EXPECT_FALSE(t.Active());
  }
}

TEST_F(ParadoxFixtures, NumbersDatesTimesAndNulls) {
  PDTable t;
  open(t, "paradoxdriver/db/DECIMAL.DB");
  std::vector<std::string> got;
  for (t.First(); !t.Eof(); t.Next()) got.push_back(t.FieldByName("decimal").AsString());
  EXPECT_EQ(got, (std::vector<std::string>{"-200", "-20", "-1", "1", "20", "200", "200.36", "1.37", "-1.387"}));
  t.Close();

  struct Expected {
    const char* file;
    std::int64_t recno;
    const char* field;
    const char* text;
  };
  const Expected cases[] = {
      {"paradoxdriver/fields/date7.db", 1, "DATE", "01/01/2018"},
      {"paradoxdriver/fields/date7.db", 1, "TIME", "10:00:00"},
      {"paradoxdriver/fields/time.db", 1, "Time", "01:00:01"},
      {"paradoxdriver/fields/time.db", 2, "Time", ""},  // no value
      {"paradoxdriver/fields/time.db", 3, "Time", "03:00:03"},
      {"paradoxdriver/fields/timestamp.db", 1, "Timestamp", ""},
      {"paradoxdriver/fields/timestamp.db", 2, "Timestamp", "02/01/2020 01:00:01"},
      {"paradoxdriver/fields/bcd.db", 1, "A", "1.23"},
      {"paradoxdriver/fields/bcd.db", 1, "B", "1"},
      // Every stored digit: the writer left 0.123 as the double's 18 digits.
      {"paradoxdriver/fields/bcd.db", 1, "C", "0.122999999999999998"},
      {"paradoxdriver/fields/bcd.db", 2, "A", "-1.23"},
      {"paradoxdriver/fields/bcd.db", 2, "B", "-1"},
      {"paradoxdriver/fields/bcd.db", 2, "C", "-0.122999999999999998"},
      {"paradoxdriver/fields/logical.db", 1, "BOOL", "True"},
      {"paradoxdriver/fields/logical.db", 2, "BOOL", "False"},
      {"paradoxdriver/db/ORDERS.DB", 1, "Order No", "1001"},
      {"paradoxdriver/db/ORDERS.DB", 1, "sale date", "04/03/1988"},
      {"paradoxdriver/db/ORDERS.DB", 1, "Total Invoice", "7320"},
      {"paradoxdriver/db/ORDERS.DB", 1, "Balance Due", "0"},  // zero, not empty
      {"paradoxdriver/mtdemo/AMOUNT.DB", 1, "Sales Tax Amount", "0.16999999999999998"},
      {"paradoxdriver/geog/tblsttes.DB", 1, "Date Admitted", "01/03/1959"},
      {"paradoxdriver/areas/ZIPCODES.DB", 43185, "City", "Ketchikan"},  // in the short last block
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.field);
    open(t, c.file);
    EXPECT_EQ(value(t, c.recno, c.field), c.text);
    EXPECT_EQ(t.FieldByName(c.field).IsNull(), *c.text == 0);
    t.Close();
  }
}

TEST_F(ParadoxFixtures, AllTypesTableTellsNullFromZero) {
  PDTable t;
  open(t, "rparadox/TypSammlung.DB");
  // Record 2 holds no values but its logical False; record 4 holds zeros.
  EXPECT_EQ(value(t, 2, "Numerisch"), "23");
  for (const char* f : {"Währung", "Integer kurz", "Integer lang", "BCD", "Datum", "Zeit", "Datum/Zeit"})
    EXPECT_EQ(value(t, 2, f), "") << f;
  EXPECT_EQ(value(t, 2, "Logisch"), "False");
  for (const char* f : {"Numerisch", "Währung", "Integer kurz", "Integer lang", "BCD"}) EXPECT_EQ(value(t, 4, f), "0") << f;
  EXPECT_EQ(value(t, 4, "Logisch"), "");
  EXPECT_EQ(value(t, 5, "Numerisch"), "-40");
  EXPECT_EQ(value(t, 5, "Integer kurz"), "-40");
  EXPECT_EQ(value(t, 5, "Integer lang"), "-40");
  EXPECT_EQ(value(t, 5, "BCD"), "-40");
  EXPECT_EQ(value(t, 5, "Logisch"), "True");
  EXPECT_EQ(value(t, 3, "BCD"), "13.123457");
  EXPECT_EQ(value(t, 3, "Alpha"), "Fünfter Datensatz");
  EXPECT_EQ(value(t, 1, "Datum/Zeit"), "01/01/1970 11:00:00");
  EXPECT_EQ(value(t, 3, "Zähler"), "5");
  // A date before the year 1 has no text form the destination takes.
  try {
    value(t, 3, "Datum");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("record 3, field 'Datum'"), std::string::npos) << e.what();
  }
}

TEST_F(ParadoxFixtures, MemosFromTheRecordAndBothKindsOfMemoBlocks) {
  PDTable t;
  open(t, "paradoxdriver/fields/memo.db");
  const std::string row = "01234567890012345678900123456789001234567890012345678900123456789001234567890012345678900123456789001234567890\n";
  const std::string first = value(t, 1, "MEMO");
  EXPECT_EQ(first.size(), 555u);
  EXPECT_EQ(first.substr(0, row.size()), row);
  EXPECT_EQ(value(t, 2, "MEMO"), "01234567890\n");  // fits the record
  t.Close();
  open(t, "paradoxdriver/db/HERCULES.DB");
  EXPECT_EQ(value(t, 1, "HTML").rfind("<TABLE BORDER=2>", 0), 0u);
  t.Close();
  open(t, "paradoxdriver/fields/graphic.db");
  const std::string g = value(t, 1, "Graphic");
  EXPECT_EQ(g.size(), 20086u);  // a block of its own
  EXPECT_EQ(g.substr(8, 2), "BM");
  t.Close();
  open(t, "paradoxdriver/db/CUSTOMER.DB");
  EXPECT_EQ(value(t, 1, "Comments"), "Small comment (less 100 symbols)");
  EXPECT_EQ(value(t, 1, "DateEntered"), "02/02/1996");
}

TEST_F(ParadoxFixtures, MissingMemoFileIsAnErrorOnlyWhereItIsNeeded) {
  PDTable t;
  open(t, "paradoxreader/MEMBRE.DB");
  EXPECT_EQ(value(t, 1, "Nom"), "LEMAITRE");
  EXPECT_EQ(value(t, 1, "Nature"), "Adhérent");  // code page 437
  bool failed = false;
  for (t.First(); !t.Eof(); t.Next()) {
    try {
      t.FieldByName("Memo").AsString();
      t.FieldByName("Photo").AsString();
    } catch (const Error& e) {
      failed = true;
      EXPECT_NE(std::string(e.what()).find("MEMBRE.MB is missing"), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(failed);
}

TEST_F(ParadoxFixtures, CodePages) {
  PDTable t;
  open(t, "rparadox/of_cp866.db");
  EXPECT_EQ(t.CodePage(), 866);
  EXPECT_EQ(t.Fields()[0].Name, "Инвентарный номер");
  EXPECT_EQ(value(t, 1, "НАИМЕНОВАНИЕ"), "АП-Т УЗТ-ПЕРЕНОСНОЙ");
  t.Close();
  // Version 3.5 carries no code page; this one is Russian all the same.
  t.CodePageOverride = 866;
  open(t, "rparadox/of.db");
  EXPECT_EQ(value(t, 2, "Наименование"), "ОТСАСЫВАТЕЛЬ ХИР-ИЙ ОХ-10");
  t.Close();
  t.CodePageOverride = 0;
  open(t, "rparadox/of.db");
  EXPECT_EQ(t.CodePage(), 437);
  t.Close();
  open(t, "rparadox/country.db");
  EXPECT_EQ(t.CodePage(), 850);
  t.Close();
  open(t, "paradoxdriver/db/GENERAL.DB");
  EXPECT_EQ(t.CodePage(), 936);
  EXPECT_EQ(value(t, 3, "ID") + " " + value(t, 3, "name") + " " + value(t, 3, "MONEYS"), "333333333 Elizabet 75");
}

TEST_F(ParadoxFixtures, NamesMatchWithoutRegardToCase) {
  PDTable t;
  const auto p = fixture("paradoxdriver/db/CUSTOMER.DB");
  t.Directory = p.parent_path().string();
  t.TableName = "customer.db";
  t.Open();
  EXPECT_EQ(t.FieldByName("custno").AsString(), "1");
  try {
    t.FieldByName("NoSuchField");
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("NoSuchField"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("CUSTOMER.DB"), std::string::npos);
  }
  t.Close();
  t.TableName = "nothere.db";
  EXPECT_THROW(t.Open(), Error);
}

TEST_F(ParadoxFixtures, LastAndEof) {
  PDTable t;
  open(t, "paradoxdriver/fields/long.db");
  t.Last();
  EXPECT_EQ(t.FieldByName("Id").AsString(), "3");
  t.Next();
  EXPECT_TRUE(t.Eof());
  t.First();
  EXPECT_FALSE(t.Eof());
  t.Close();
  open(t, "rparadox/empty.db");
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.FieldByName("Notes").AsString(), "");
}

TEST_F(ParadoxFixtures, DumpCsv) {
  std::ostringstream out;
  dump_csv(fixture("paradoxdriver/fields/bytes.db"), out);
  EXPECT_EQ(out.str().substr(0, 17), "BYTES\r\n3100320033");
  out.str("");
  dump_csv(fixture("paradoxdriver/mtdemo/FILMS.DB"), out);
  EXPECT_NE(out.str().find("A1001,It Happened One Night,15,\"C.Gable,C.Colbert\",Classics,1934,G,2,20\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace qv::pdx
