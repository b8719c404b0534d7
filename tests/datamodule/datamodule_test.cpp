#include "datamodule/datamodule.h"

#include <gtest/gtest.h>

#include "firebird/fb_fixture.h"

namespace qv {
namespace {

TEST(DataModuleTest, ComponentsAreWiredAndDestroyingCommits) {
  test::DriveC drive;
  test::create_database({"CREATE TABLE CARRIER_4 (CARRIER CHAR(40) NOT NULL, PRIMARY KEY (CARRIER))"});
  {
    DataModuleScope scope;
    TDataModule2& dm = *DataModule2;
    EXPECT_EQ(dm.IBDatabase2.Params, (std::vector<std::string>{"user_name=sysdba", "password=tarnwheel", ""}));
    EXPECT_EQ(dm.IBDatabase2.SQLDialect, 1);
    EXPECT_FALSE(dm.IBDatabase2.Connected());
    EXPECT_FALSE(dm.IBTransaction1.InTransaction());
    dm.IBDatabase2.Params = {"user_name=SYSDBA", "password=tarnwheel"};
    dm.IBDatabase2.DatabaseName = test::kDbName;
    dm.IBDatabase2.Open();
    dm.IBTable1.TableName = "carrier_4";
    dm.IBTable1.Open();
    EXPECT_TRUE(dm.IBTransaction1.InTransaction());
    dm.IBTable1.Append();
    dm.IBTable1.FieldByName("carrier").SetAsString("UPS");
    dm.IBTable1.Post();
  }
  EXPECT_EQ(DataModule2, nullptr);
  EXPECT_EQ(test::scalar("SELECT COUNT(*) FROM CARRIER_4"), "1");
}

}  // namespace
}  // namespace qv
