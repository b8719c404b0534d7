// The frame and the eleven lookup lists.
#include <gmock/gmock.h>

#include "converter_fixture.h"
#include "converters/frame.h"

namespace qv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

class LookupTest : public ConverterTest {};

TEST_F(LookupTest, BlankRowsSkippedCaseVariantsMergedLeadingBlanksKept) {
  create_destination({"CARRIER_4", "COMMENT_4", "COMMENT_JS_4", "CATEGORY_4", "CITY_4"});
  // The old file's own spelling differs from the converter's "CARRIER.db".
  write_list("carrier.db", "CARRIER", {"Ups", "", "UPS", "  ups", "   ", "\t\x01", "fedex é", "UPS "});
  write_list("COMMENT_JS.DB", "COMMENT", {"left at door"});
  write_old("CATEGORY.db", {alpha("CATEGORY", 25)}, {});
  write_list("CITY.db", "CITY", {std::string(60, 'c')});

  form_.convert_carrier_4(&form_, kDb);
  form_.convert_comment_js_4(&form_, kDb);
  form_.convert_category_4(&form_, kDb);
  form_.convert_city_4(&form_, kDb);
  // The converter leaves the destination table open and the old one closed.
  EXPECT_TRUE(DataModule2->IBTable1.Active());
  EXPECT_FALSE(DataModule2->PDTable1.Active());

  EXPECT_THAT(form_.Memo1.Lines,
              ElementsAre("CARRIER table...........", "---->Record Count in old table: 8",
                          "---->Records In New Table: 3", "---->Duplicate values merged: 2",
                          "COMMENT_JS table...........", "---->Record Count in old table: 1",
                          "---->Records In New Table: 1",
                          "CATEGORY table...........", "---->Record Count in old table: 0",
                          "---->Records In New Table: 0",
                          "CITY table...........", "---->Record Count in old table: 1",
                          "---->Records In New Table: 1", "---->Values shortened to fit their columns: 1"));
  EXPECT_THAT(column("SELECT CARRIER FROM CARRIER_4"), UnorderedElementsAre("UPS", "  UPS", "FEDEX É"));
  EXPECT_THAT(column("SELECT COMMENT FROM COMMENT_JS_4"), ElementsAre("LEFT AT DOOR"));
  EXPECT_THAT(column("SELECT COUNT(*) FROM COMMENT_4"), ElementsAre("0"));
  EXPECT_THAT(column("SELECT CITY FROM CITY_4"), ElementsAre(std::string(50, 'C')));

  ASSERT_EQ(form_.stats.size(), 4u);
  const TableStats& carrier = form_.stats[0];
  EXPECT_EQ(carrier.table, "CARRIER_4");
  EXPECT_EQ(carrier.old_rows, 8);
  EXPECT_EQ(carrier.done, 8);
  EXPECT_EQ(carrier.new_rows, 3);
  EXPECT_EQ(carrier.skipped, 3);
  EXPECT_EQ(carrier.merged, 2);
  EXPECT_EQ(form_.stats[3].shortened, 1);
}

TEST_F(LookupTest, ListsThatCopyBlankValuesKeepThem) {
  create_destination({"POSCODE_4", "POSQUAL_4", "REASON_4"});
  write_old("POSCODE.db", {alpha("POS_CODE", 2), alpha("POS_DESC", 20)},
            {{"FT", "Full time"}, {"FT", "Part time"}, {"ft", "full time"}, {"", ""}, {"pt", ""}});
  write_list("POSQUAL.db", "POSQUAL", {"", "Senior", "senior", "  ", "Entrée"});
  write_list("REASON.db", "REASON", {"\x01", "Position filled"});

  form_.convert_poscode_4(&form_, kDb);
  form_.convert_posqual_4(&form_, kDb);
  form_.convert_reason_4(&form_, kDb);

  EXPECT_THAT(log_from("POSCODE table..........."),
              ElementsAre("POSCODE table...........", "---->Record Count in old table: 5",
                          "---->Records In New Table: 4", "---->Duplicate values merged: 1",
                          // An empty value and one of blanks are the same CHAR key.
                          "POSQUAL table...........", "---->Record Count in old table: 5",
                          "---->Records In New Table: 3", "---->Duplicate values merged: 2",
                          "REASON table...........", "---->Record Count in old table: 2",
                          "---->Records In New Table: 2"));
  auto codes = query("SELECT POS_CODE, POS_DESC FROM POSCODE_4 ORDER BY POS_CODE, POS_DESC");
  ASSERT_EQ(codes.size(), 4u);
  EXPECT_EQ(codes[0][0].value_or("<null>").find_first_not_of(' '), std::string::npos) << "empty key stored empty";
  EXPECT_THAT(column("SELECT POSQUAL FROM POSQUAL_4"), UnorderedElementsAre("", "SENIOR", "ENTRÉE"));
  EXPECT_THAT(column("SELECT REASON FROM REASON_4"), UnorderedElementsAre("\x01", "POSITION FILLED"));
}

TEST_F(LookupTest, MissingFieldFailsOnTheFirstRowNamingFileRowAndField) {
  create_destination({"ITEM_4", "CONTACT_NAME_4"});
  write_list("ITEM.db", "THING", {"Support check"});
  write_list("CONTACT_NAME.db", "NAME", {});  // empty: nothing is read, nothing fails

  form_.convert_contact_name_4(&form_, kDb);
  try {
    form_.convert_item_4(&form_, kDb);
    FAIL() << "a missing field must end the conversion";
  } catch (const conv::RunError& e) {
    EXPECT_THAT(e.what(), HasSubstr("ITEM.db, row 1, ITEM"));
  }
  EXPECT_THAT(log_from("ITEM table..........."),
              ElementsAre("ITEM table...........", "---->Record Count in old table: 1"));
  EXPECT_THAT(column("SELECT COUNT(*) FROM ITEM_4"), ElementsAre("0"));
}

TEST_F(LookupTest, MissingOldTableNamesTheFileAfterTheHeading) {
  create_destination({"CARRIER_4"});
  EXPECT_THROW(
      {
        try {
          form_.convert_carrier_4(&form_, kDb);
        } catch (const std::exception& e) {
          EXPECT_THAT(e.what(), HasSubstr("CARRIER.db"));
          throw;
        }
      },
      std::exception);
  EXPECT_THAT(form_.Memo1.Lines, ElementsAre("CARRIER table..........."));
}

TEST_F(LookupTest, MissingDatabaseFailsBeforeAnythingIsLogged) {
  write_list("CARRIER.db", "CARRIER", {"UPS"});
  EXPECT_THROW(form_.convert_carrier_4(&form_, "nosuchdb"), std::exception);
  EXPECT_TRUE(form_.Memo1.Lines.empty());
}

TEST(RethrowInContext, NamesFileRowAndFieldOnceOnly) {
  auto place = [](const auto& make) {
    try {
      try {
        make();
      } catch (...) {
        conv::rethrow_in_context("CONFIG.db", 4, "MY_ZIP");
      }
    } catch (...) {
      conv::rethrow_in_context("outer.db", 9, "X");  // already placed: unchanged
    }
  };
  try {
    place([] { throw std::runtime_error("value refused"); });
  } catch (const conv::RunError& e) {
    EXPECT_STREQ(e.what(), "CONFIG.db, row 4, MY_ZIP: value refused");
  }
}

}  // namespace
}  // namespace qv::test
