// Tables we create and fill, read back by our own reader.
#include <gtest/gtest.h>

#include <fstream>

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

TEST(ParadoxWriter, ManyRecordsOverManyBlocksAndReopenToAppend) {
  Temp w;
  w.create({def("PK", FieldType::AutoInc), def("TEXT", FieldType::Alpha, 255), def("M", FieldType::Memo, 20)});
  w.t.Open();
  for (int i = 0; i < 2000; ++i) w.append({{"TEXT", "row " + std::to_string(i)}, {"M", std::string(i % 50, 'm')}});
  w.t.Close();
  w.t.Open();
  w.append({{"TEXT", "after reopening"}});
  w.t.Close();
  w.t.ReadOnly = true;
  w.t.Open();
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
