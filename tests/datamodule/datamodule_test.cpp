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

// A server and its folder as the user gives them; the database path keeps
// the server's own separator.
TEST(DataModuleTest, ServerHostsAndDatabasePaths) {
  const struct {
    const char* host;
    bool usable;
  } hosts[] = {{"db.example", true}, {"127.0.0.1/3050", true}, {"h/65535", true}, {"", false}, {"/3050", false},
               {"h/", false},        {"h/0", false},           {"h/65536", false}, {"h/30x", false}, {"h:3050", false},
               {"a b", false},       {"h/123456", false},       {"[::1]/3050", true}, {"[fe80::1]", true},
               {"::1", false},       {"[::1", false},           {"[]/3050", false}, {"[::1]x", false}, {"[h]", false}};
  for (const auto& h : hosts) EXPECT_EQ(ServerDestination::host_problem(h.host).empty(), h.usable) << h.host;

  const struct {
    const char* folder;
    const char* path;
  } folders[] = {{"/srv/db", "/srv/db/abcd1234.gdb"},
                 {"/srv/db/", "/srv/db/abcd1234.gdb"},
                 {"C:\\Data", "C:\\Data\\abcd1234.gdb"},
                 {"C:\\Data\\", "C:\\Data\\abcd1234.gdb"},
                 {"D:/fb", "D:/fb/abcd1234.gdb"}};
  for (const auto& f : folders) {
    ServerDestination d;
    d.directory = f.folder;
    EXPECT_EQ(d.database("abcd1234.gdb"), f.path) << f.folder;
  }
}

}  // namespace
}  // namespace qv
