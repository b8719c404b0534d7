// Tables we create and fill, read back by our own reader.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "paradox/table.h"
#include "platform/paths.h"
#include "support/testsupport.h"

namespace qv::pdx {
namespace {

FieldDef def(const char* name, FieldType t, int size = 0, bool required = false) {
  FieldDef d;
  d.Name = name;
  d.DataType = t;
  d.Size = size;
  d.Required = required;
  return d;
}

std::vector<FieldDef> every_type() {
  return {def("PK", FieldType::AutoInc),      def("FLAG", FieldType::Logical),  def("DAY", FieldType::Date),
          def("REFNUM", FieldType::Number),    def("NAME", FieldType::Alpha, 40), def("S", FieldType::Short),
          def("I", FieldType::Long),           def("CASH", FieldType::Money),    def("MEMO", FieldType::Memo, 10),
          def("NEED", FieldType::Alpha, 5, true)};
}

struct Temp {
  test::TempDir dir;
  PDTable t;
  Temp() {
    t.Directory = dir.path().string();
    t.TableName = "1-js.db";
    t.ReadOnly = false;
  }
  void create(const std::vector<FieldDef>& defs) {
    t.FieldDefs = defs;
    t.CreateTable();
  }
  void append(const std::vector<std::pair<const char*, std::string>>& values) {
    t.Append();
    for (const auto& [f, v] : values) t.FieldByName(f).SetAsString(v);
    t.Post();
  }
  // Closes the table, appends one record to it again, and opens it for reading.
  void append_after_reopening(const char* field, const std::string& value) {
    t.Close();
    t.Open();
    append({{field, value}});
    t.Close();
    t.ReadOnly = true;
    t.Open();
  }
};

TEST(ParadoxWriter, EveryWritableTypeRoundTrips) {
  Temp w;
  w.create(every_type());
  w.t.Open();
  const std::string long_memo = std::string(5000, 'x') + " é ü €\r\nend";
  w.append({{"FLAG", "True"}, {"DAY", "02/29/1896"}, {"REFNUM", "-12.5"}, {"NAME", "Crème brûlée"},
            {"S", "-32767"}, {"I", "-2147483647"}, {"CASH", "0.1"}, {"MEMO", long_memo}, {"NEED", "x"}});
  w.append({{"FLAG", "False"}, {"DAY", "12/31/9999"}, {"REFNUM", "0"}, {"S", "0"}, {"I", "0"}, {"CASH", "-0.01"},
            {"MEMO", "short"}, {"NEED", "y"}});
  w.append({{"NEED", "z"}});  // everything else without a value
  EXPECT_EQ(w.t.RecordCount(), 3);
  w.t.Close();

  PDTable& t = w.t;
  t.ReadOnly = true;
  t.Open();
  EXPECT_EQ(t.FileVersion(), 12);
  EXPECT_EQ(t.CodePage(), 1252);
  ASSERT_EQ(t.RecordCount(), 3);
  t.First();
  auto row = [&] {
    std::vector<std::string> v;
    for (const auto& f : t.Fields()) v.push_back(t.FieldByName(f.Name).AsString());
    t.Next();
    return v;
  };
  EXPECT_EQ(row(), (std::vector<std::string>{"1", "True", "02/29/1896", "-12.5", "Crème brûlée", "-32767",
                                              "-2147483647", "0.1", long_memo, "x"}));
  EXPECT_EQ(row(), (std::vector<std::string>{"2", "False", "12/31/9999", "0", "", "0", "0", "-0.01", "short", "y"}));
  EXPECT_EQ(row(), (std::vector<std::string>{"3", "", "", "", "", "", "", "", "", "z"}));
  EXPECT_TRUE(t.Eof());
}

TEST(ParadoxWriter, TextRoundTripsInEveryCodePageOfOldTables) {
  struct Case {
    int code_page;
    const char* field;
    const char* text;
  };
  const Case cases[] = {
      {437, "Année", "Crème brûlée, Ñandú, Äpfel ß £ ½"},
      {850, "Città", "Ångström, São Paulo, Øre, Æble ¥"},
      {852, "Měsíc", "Łódź, Žluťoučký kůň, Ştefan, Győr"},
      {866, "Город", "Ёжик в тумане, Щука, Їжак"},
      {1250, "Dátum", "Příliš žluťoučký kůň, Łódź, Ő €"},
      {1251, "Имя", "Съешь же ещё этих булок, Ґанок €"},
      {1252, "Café", "Œuvre, déjà vu, Ÿ, ƒ, µ, € 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code_page);
    Temp w;
    w.t.NewTableCodePage = c.code_page;
    w.create({def(c.field, FieldType::Alpha, 80), def("M", FieldType::Memo, 10)});
    w.t.Open();
    w.append({{c.field, c.text}, {"M", c.text}});
    EXPECT_THROW(w.append({{c.field, "中"}}), Error);
    w.t.Close();
    w.t.ReadOnly = true;
    w.t.Open();
    EXPECT_EQ(w.t.CodePage(), c.code_page);
    EXPECT_EQ(w.t.FieldByName(c.field).AsString(), c.text);
    EXPECT_EQ(w.t.FieldByName("M").AsString(), c.text);
    EXPECT_EQ(w.t.RecordCount(), 1);
    if (c.code_page == 1252) continue;
    w.t.Close();  // the same bytes read as another page are other letters
    w.t.CodePageOverride = 1252;
    w.t.Open();
    EXPECT_NE(w.t.FieldByName("M").AsString(), c.text);
  }
}

TEST(ParadoxWriter, DumpKeepsTheEmptyRowsOfAOneColumnTable) {
  Temp w;
  w.create({def("CITY", FieldType::Alpha, 20)});
  w.t.Open();
  for (const char* v : {"", "Troy", "", "a,b"}) w.append({{"CITY", v}});
  w.t.Close();
  std::ostringstream out;
  dump_csv(w.dir / "1-js.db", out);
  EXPECT_EQ(out.str(), "CITY\r\n\"\"\r\nTroy\r\n\"\"\r\n\"a,b\"\r\n");
}

TEST(ParadoxWriter, ManyRecordsOverManyBlocksAndReopenToAppend) {
  Temp w;
  w.create({def("PK", FieldType::AutoInc), def("TEXT", FieldType::Alpha, 255), def("M", FieldType::Memo, 20)});
  w.t.Open();
  for (int i = 0; i < 2000; ++i) w.append({{"TEXT", "row " + std::to_string(i)}, {"M", std::string(i % 50, 'm')}});
  w.append_after_reopening("TEXT", "after reopening");
  ASSERT_EQ(w.t.RecordCount(), 2001);
  int n = 0;
  for (w.t.First(); !w.t.Eof(); w.t.Next(), ++n) {
    ASSERT_EQ(w.t.FieldByName("PK").AsString(), std::to_string(n + 1));
    if (n < 2000) {
      ASSERT_EQ(w.t.FieldByName("TEXT").AsString(), "row " + std::to_string(n));
      ASSERT_EQ(w.t.FieldByName("M").AsString(), std::string(n % 50, 'm'));
    }
  }
  EXPECT_EQ(n, 2001);
  EXPECT_EQ(w.t.FieldByName("TEXT").AsString(), "after reopening");
}

// The block size byte of a table's header, in KiB.
int block_kib(const std::filesystem::path& table) {
  std::ifstream in(table, std::ios::binary);
  char h[6] = {};
  in.read(h, sizeof h);
  return static_cast<unsigned char>(h[5]);
}

std::vector<FieldDef> wide_record() {  // 1,100 bytes, like an old job-search record
  return {def("PK", FieldType::Number), def("DAY", FieldType::Date), def("A", FieldType::Alpha, 255),
          def("B", FieldType::Alpha, 255), def("C", FieldType::Alpha, 255), def("D", FieldType::Alpha, 255),
          def("E", FieldType::Alpha, 68), def("OK", FieldType::Logical), def("N", FieldType::Long)};
}

TEST(ParadoxWriter, LargeBlocksRoundTrip) {
  Temp w;
  w.t.FieldDefs = wide_record();
  EXPECT_EQ(w.t.Capacity(), 65535 * 3);  // 4 KiB blocks: three records each
  w.t.BlockSizeKiB = 32;
  EXPECT_EQ(w.t.Capacity(), 65535 * 29);
  w.t.CreateTable();
  EXPECT_EQ(block_kib(w.dir / "1-js.db"), 32);
  w.t.Open();
  const int n = 100;  // four blocks
  for (int i = 0; i < n; ++i)
    w.append({{"PK", std::to_string(i) + ".5"}, {"DAY", "01/31/2001"}, {"A", std::string(255, 'a')},
              {"D", "row " + std::to_string(i) + ", déjà vu"}, {"E", std::string(68, 'e')}, {"OK", "True"}, {"N", std::to_string(-i)}});
  w.append_after_reopening("A", "appended after reopening");
  ASSERT_EQ(w.t.RecordCount(), n + 1);
  int i = 0;
  for (w.t.First(); i < n; w.t.Next(), ++i) {
    ASSERT_EQ(w.t.FieldByName("PK").AsString(), std::to_string(i) + ".5");
    ASSERT_EQ(w.t.FieldByName("DAY").AsString(), "01/31/2001");
    ASSERT_EQ(w.t.FieldByName("A").AsString(), std::string(255, 'a'));
    ASSERT_EQ(w.t.FieldByName("B").AsString(), "");
    ASSERT_EQ(w.t.FieldByName("D").AsString(), "row " + std::to_string(i) + ", déjà vu");
    ASSERT_EQ(w.t.FieldByName("E").AsString(), std::string(68, 'e'));
    ASSERT_EQ(w.t.FieldByName("N").AsString(), std::to_string(-i));
  }
  EXPECT_EQ(w.t.FieldByName("A").AsString(), "appended after reopening");
}

TEST(ParadoxWriter, BlocksAreReadInChainOrderNotFileOrder) {
  for (int kib : {4, 16}) {
    Temp w;
    w.t.BlockSizeKiB = kib;
    std::vector<FieldDef> defs{def("A", FieldType::Alpha, 254)};
    std::vector<std::string> names;
    for (int i = 1; i < kib; ++i) names.push_back("F" + std::to_string(i));
    for (const std::string& n : names) defs.push_back(def(n.c_str(), FieldType::Alpha, 254));
    w.create(defs);  // four records in each block
    w.t.Open();
    for (int i = 0; i < 12; ++i) w.append({{"A", std::to_string(i)}});
    w.t.Close();
    // Chain the three blocks as 3, 1, 2.
    std::fstream f(w.dir / "1-js.db", std::ios::in | std::ios::out | std::ios::binary);
    char h[4];
    f.read(h, 4);
    const std::streamoff hs = static_cast<unsigned char>(h[2]) | static_cast<unsigned char>(h[3]) << 8;
    auto put16 = [&](std::streamoff at, int v) {
      const char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
      f.seekp(at);
      f.write(b, 2);
    };
    auto block = [&](int b) { return hs + (b - 1) * kib * 1024; };
    put16(0x0E, 3);  // first block
    put16(0x10, 2);  // last block
    put16(block(3), 1);
    put16(block(1), 2);
    put16(block(2), 0);
    f.close();
    w.t.ReadOnly = true;
    w.t.Open();
    std::vector<std::string> order;
    for (w.t.First(); !w.t.Eof(); w.t.Next()) order.push_back(w.t.FieldByName("A").AsString());
    EXPECT_EQ(order, (std::vector<std::string>{"8", "9", "10", "11", "0", "1", "2", "3", "4", "5", "6", "7"})) << kib;
  }
}

TEST(ParadoxWriter, BlockSizeChoices) {
  Temp w;
  w.create({def("A", FieldType::Alpha, 255)});
  EXPECT_EQ(block_kib(w.dir / "1-js.db"), 4);
  std::vector<FieldDef> wide;  // 5,100 bytes: 4 KiB blocks are too small
  for (const char* n : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M", "N", "O", "P", "Q", "R",
                        "S", "T"})
    wide.push_back(def(n, FieldType::Alpha, 255));
  w.create(wide);
  EXPECT_EQ(block_kib(w.dir / "1-js.db"), 8);
  for (int refused : {3, 64, -1, 4}) {  // unknown sizes; a record larger than the block
    w.t.BlockSizeKiB = refused;
    w.t.FieldDefs = wide;
    EXPECT_THROW(w.t.CreateTable(), Error) << refused;
    EXPECT_EQ(w.t.Capacity(), 0) << refused;
  }
  w.t.BlockSizeKiB = 2;
  w.create({def("A", FieldType::Alpha, 10)});
  EXPECT_EQ(block_kib(w.dir / "1-js.db"), 2);
}

TEST(ParadoxWriter, AFullTableRefusesTheNextRecord) {
  Temp w;
  // 1,018 bytes: one record in each 1 KiB block, so the table is full at 65,535 records.
  w.t.BlockSizeKiB = 1;
  w.create({def("M", FieldType::Memo, 0), def("A", FieldType::Alpha, 255), def("B", FieldType::Alpha, 255),
            def("C", FieldType::Alpha, 255), def("D", FieldType::Alpha, 243)});
  ASSERT_EQ(w.t.Capacity(), 65535);
  w.t.Open();
  PDField& a = w.t.FieldByName("A");
  for (int i = 0; i < 65535; ++i) {
    w.t.Append();
    a.SetAsString(std::to_string(i));
    w.t.Post();
  }
  const auto memo_size = std::filesystem::file_size(w.dir / "1-js.MB");
  w.t.Append();
  w.t.FieldByName("M").SetAsString(std::string(5000, 'm'));
  try {
    w.t.Post();
    ADD_FAILURE() << "record 65,536 was taken";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("1-js.db: the table is full"), std::string::npos) << e.what();
  }
  EXPECT_EQ(std::filesystem::file_size(w.dir / "1-js.MB"), memo_size);  // the refused memo was not stored
  w.t.Close();
  w.t.ReadOnly = true;
  w.t.Open();
  EXPECT_EQ(w.t.RecordCount(), 65535);
  w.t.Last();
  EXPECT_EQ(w.t.FieldByName("A").AsString(), "65534");
}

TEST(ParadoxWriter, RefusedValuesNameTheField) {
  Temp w;
  w.create(every_type());
  w.t.Open();
  auto refused = [&](const char* field, const std::string& text) {
    w.t.Append();
    w.t.FieldByName("NEED").SetAsString("x");
    try {
      w.t.FieldByName(field).SetAsString(text);
      ADD_FAILURE() << field << " took " << text;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
    }
  };
  refused("DAY", "02/30/2001");
  refused("DAY", "yesterday");
  refused("S", "32768");
  refused("I", "1.5");
  refused("REFNUM", "12,5");
  refused("FLAG", "maybe");
  refused("NAME", std::string(41, 'a'));
  refused("NAME", "漢字");
  refused("PK", "7");
  // A required field left empty.
  w.t.Append();
  w.t.FieldByName("NAME").SetAsString("no need");
  try {
    w.t.Post();
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("'NEED'"), std::string::npos) << e.what();
  }
}

TEST(ParadoxWriter, CreateTableReplacesATableInAnyLetterCase) {
  Temp w;
  w.create(every_type());
  w.t.Open();
  w.append({{"NEED", "a"}});
  w.t.Close();
  std::filesystem::rename(w.dir / "1-js.db", w.dir / "1-JS.DB");
  w.create({def("A", FieldType::Alpha, 3)});
  EXPECT_FALSE(std::filesystem::exists(w.dir / "1-JS.DB"));
  EXPECT_FALSE(std::filesystem::exists(w.dir / "1-js.MB"));  // no memo field any more
  w.t.Open();
  EXPECT_EQ(w.t.RecordCount(), 0);
  EXPECT_EQ(w.t.Fields().size(), 1u);
}

TEST(ParadoxWriter, AliasAndReadOnlyOldTables) {
  test::DriveC drive;
  auto& s = Session::instance();
  s.DeleteAlias("TEMPDB");  // not registered: no error
  ASSERT_TRUE(platform::force_directories("C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp"));
  s.AddStandardAlias("tempdb", "C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp");
  PDTable t;
  t.DatabaseName = "TEMPDB";
  t.TableName = "12-js.db";
  t.FieldDefs = every_type();
  t.CreateTable();
  EXPECT_TRUE(std::filesystem::exists(platform::map_path("C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp\\12-js.db")));
  t.Open();  // read-only by default
  EXPECT_THROW(t.Append(), Error);
  s.DeleteAlias("TEMPDB");
}

}  // namespace
}  // namespace qv::pdx
