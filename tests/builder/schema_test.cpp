#include "builder/schema.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qv::builder;
using Lines = std::vector<std::string>;

namespace {

std::string blanks(std::size_t n) { return std::string(n, ' '); }

const Lines& statement(const char* table) {
  // A map keeps references to earlier entries valid as it grows.
  static std::map<std::string, Lines> cache;
  if (auto it = cache.find(table); it != cache.end()) return it->second;
  const TableDef* def = find_table(table);
  if (!def) throw std::runtime_error(std::string("no table ") + table);
  return cache.emplace(table, create_statement(*def)).first->second;
}

// The column line of `column` in a wide statement.
std::string wide_line(const char* table, const std::string& column) {
  for (const std::string& l : statement(table))
    if (l.rfind("    " + column + " ", 0) == 0) return l;
  return "<no line for " + column + ">";
}

}  // namespace

TEST(Schema, EighteenTablesInCreationOrder) {
  Lines names;
  for (const TableDef& t : schema()) names.emplace_back(t.name);
  EXPECT_EQ(names, (Lines{"CARRIER_4", "CATEGORY_4", "CITY_4", "COMMENT_4", "COMMENT_JS_4", "CONFIG_4",
                          "CONTACT_NAME_4", "QUORVEL_4", "ITEM_4", "JS_EDIT_4", "JSEARCH_4", "POSCODE_4",
                          "POSQUAL_4", "POSTITLE_4", "REASON_4", "STATS_JT_4", "STATS_ST_4", "TIME10_4"}));
  EXPECT_EQ(find_table("quorvel_4"), find_table("QUORVEL_4"));
  EXPECT_EQ(find_table("QUORVEL2"), nullptr);
  EXPECT_EQ(create_log_line(*find_table("CARRIER_4")), "Attempting to create table CARRIER_4");
}

TEST(Schema, WideLayoutOfCarrier) {
  EXPECT_EQ(statement("CARRIER_4"), (Lines{"CREATE TABLE CARRIER_4", "(",
                                           "    CARRIER" + blanks(39) + "CHAR(40) NOT NULL,",
                                           "    PRIMARY KEY (CARRIER)", ");"}));
}

TEST(Schema, WideLayoutDefaultsOfQuorvel) {
  const Lines& s = statement("QUORVEL_4");
  ASSERT_EQ(s.size(), 2u + 31u + 2u);
  EXPECT_EQ(s[2], "    PK" + blanks(44) + "NUMERIC(18,12) NOT NULL,");
  EXPECT_EQ(wide_line("QUORVEL_4", "YYYYMMDD"), "    YYYYMMDD" + blanks(38) + "CHAR(8)" + blanks(7) + "DEFAULT '19010101',");
  EXPECT_EQ(wide_line("QUORVEL_4", "SHIP_FILE"), "    SHIP_FILE" + blanks(37) + "CHAR(255)" + blanks(5) + "DEFAULT 'N/A' ,");
  EXPECT_EQ(wide_line("QUORVEL_4", "SIG_FILE"), "    SIG_FILE" + blanks(38) + "CHAR(255)" + blanks(5) + "DEFAULT 'N/A',");
  EXPECT_EQ(wide_line("QUORVEL_4", "DATE_SENT"), "    DATE_SENT" + blanks(37) + "DATE" + blanks(10) + "DEFAULT '01/01/1901',");
  EXPECT_EQ(wide_line("QUORVEL_4", "SS_AMT"), "    SS_AMT" + blanks(40) + "NUMERIC(10,2) DEFAULT 0,");
  EXPECT_EQ(wide_line("QUORVEL_4", "MEMO"), "    MEMO" + blanks(42) + "BLOB SUB_TYPE TEXT SEGMENT SIZE 1,");
  EXPECT_EQ(s[s.size() - 2], "    PRIMARY KEY (PK)");
  EXPECT_EQ(wide_line("JSEARCH_4", "REFNUM"), "    REFNUM" + blanks(40) + "NUMERIC (18,12),");
  // Every wide column line has its type at the 51st character.
  for (const std::string& l : s) {
    if (l.rfind("    ", 0) == 0 && l.find("PRIMARY KEY") == std::string::npos) {
      EXPECT_NE(l[50], ' ') << l;
    }
  }
}

TEST(Schema, ConfigHasNoKeyAndNoCommaAfterItsLastColumn) {
  const Lines& s = statement("CONFIG_4");
  ASSERT_EQ(s.size(), 2u + 14u + 1u);
  EXPECT_EQ(s[s.size() - 2], "    EX_SPOUSE_ZIP" + blanks(33) + "CHAR(5)");
  EXPECT_EQ(s.back(), ");");
  EXPECT_EQ(wide_line("CONFIG_4", "MY_STATE"), "    MY_STATE" + blanks(38) + "CHAR(2),");
  EXPECT_EQ(wide_line("CONFIG_4", "EX_SPOUSE_STATE"), "    EX_SPOUSE_STATE" + blanks(31) + "CHAR(80),");
}

TEST(Schema, NarrowLayouts) {
  const std::string open = blanks(7), item = blanks(9);
  EXPECT_EQ(statement("ITEM_4"), (Lines{"CREATE TABLE ITEM_4", open + "(", item + "ITEM CHAR (80) NOT NULL,",
                                        item + "PRIMARY KEY (ITEM)", open + ");"}));
  EXPECT_EQ(statement("POSCODE_4"),
            (Lines{"CREATE TABLE POSCODE_4", open + "(", item + "POS_CODE CHAR  (2) NOT NULL,",
                   item + "POS_DESC CHAR (20) NOT NULL,", item + "PRIMARY KEY (POS_CODE, POS_DESC)", open + ");"}));
  EXPECT_EQ(statement("TIME10_4"),
            (Lines{"CREATE TABLE TIME10_4", open + "(", item + "X24_HOUR CHAR (5) NOT NULL,",
                   item + "X12_HOUR CHAR (8) NOT NULL,", item + "PRIMARY KEY (X24_HOUR,X12_HOUR)", open + ");"}));
}

TEST(Schema, TypesAndKeysReadFromTheDefinitions) {
  const TableDef& stats = *find_table("STATS_JT_4");
  EXPECT_EQ(stats.key_columns(), (Lines{"ORDER_", "CATEGORY"}));
  EXPECT_EQ(find_table("TIME10_4")->key_columns(), (Lines{"X24_HOUR", "X12_HOUR"}));
  EXPECT_TRUE(find_table("CONFIG_4")->key_columns().empty());

  EXPECT_EQ(char_width(*find_table("POSCODE_4")->find_column("pos_code")), 2);
  EXPECT_EQ(char_width(*find_table("REASON_4")->find_column("REASON")), 132);
  EXPECT_EQ(char_width(*stats.find_column("COUNT_")), std::nullopt);
  ColumnType refnum = parse_type(find_table("JSEARCH_4")->find_column("REFNUM")->type);
  EXPECT_EQ(refnum.kind, ColumnType::Kind::numeric);
  EXPECT_EQ(refnum.precision, 18);
  EXPECT_EQ(refnum.scale, 12);
  ColumnType memo = parse_type(find_table("JSEARCH_4")->find_column("MEMO")->type);
  EXPECT_EQ(memo.kind, ColumnType::Kind::text_blob);
  EXPECT_EQ(memo.segment_size, 10);
  EXPECT_EQ(parse_type("DATE").kind, ColumnType::Kind::date);
  EXPECT_EQ(parse_type("INTEGER").kind, ColumnType::Kind::integer);
  // Every column of every table has a type this reader knows.
  for (const TableDef& t : schema()) {
    for (const ColumnDef& c : t.columns) {
      EXPECT_NE(parse_type(c.type).kind, ColumnType::Kind::other) << t.name << "." << c.name;
    }
  }
}

// The statements built from the index data are the texts sent before the
// indexes were kept as data, character for character.
TEST(Schema, TenIndexesWithTheirLogLines) {
  const std::vector<std::string> sent = {
      "CREATE INDEX CATEGORY_                            ON QUORVEL_4(CATEGORY);",
      "CREATE INDEX DATE_SENT_                           ON QUORVEL_4(DATE_SENT);",
      "CREATE DESCENDING INDEX ITEM_DATE_                ON QUORVEL_4(ITEM_DATE);",
      "CREATE INDEX YYYYMMDD_                            ON QUORVEL_4(YYYYMMDD);",
      "CREATE INDEX CONTACT_NAME_                        ON JSEARCH_4(CONTACT_NAME);",
      "CREATE INDEX POS_STATE_                           ON JSEARCH_4(POS_STATE);",
      "CREATE INDEX POS_STATE_CITY_                        ON JSEARCH_4(POS_STATE, POS_CITY);",
      "CREATE DESCENDING INDEX REFNUM_YYYYMMDD_POS_TITLE ON JSEARCH_4(REFNUM, YYYYMMDD, POS_TITLE);",
      "CREATE INDEX YYYYMMDD_TIME_ASCENDING              ON JSEARCH_4(YYYYMMDD, TIME_);",
      "CREATE DESCENDING INDEX YYYYMMDD_TIME_DESCENDING  ON JSEARCH_4(YYYYMMDD, TIME_);",
  };
  const auto& list = indexes();
  ASSERT_EQ(list.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(list[i].statement(), sent[i]) << i;
    ASSERT_NE(find_table(list[i].table), nullptr) << list[i].table;
    for (std::string_view c : list[i].columns) EXPECT_NE(find_table(list[i].table)->find_column(c), nullptr) << c;
  }
  EXPECT_EQ(list[9].log_line, "Attempting to create table index DECSENDING JSEARCH_4(YYYYMMDD, TIME_)");
}
