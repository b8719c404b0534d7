#include "platform/paths.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/testsupport.h"

namespace fs = std::filesystem;
using namespace qv::platform;

TEST(Paths, ComponentsMatchExistingFoldersWithoutRegardToCase) {
  qv::test::DriveC drive;
  fs::create_directories(drive.root() / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "db");
  EXPECT_EQ(map_path("C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp"),
            drive.root() / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "temp");
  EXPECT_EQ(map_path("c:/mydata/WK-DB"), drive.root() / "MyData" / "wk-db");
  // Native paths pass through untouched.
  EXPECT_EQ(map_path("/tmp/X"), fs::path("/tmp/X"));
}

TEST(Paths, ExactSpellingWinsOverOtherCase) {
  qv::test::DriveC drive;
  fs::create_directories(drive.root() / "data");
  fs::create_directories(drive.root() / "Data");
  EXPECT_EQ(map_path("C:\\Data"), drive.root() / "Data");
  EXPECT_EQ(map_path("C:\\data"), drive.root() / "data");
  EXPECT_EQ(map_path("C:\\DATA"), drive.root() / "Data");  // first in name order
}

TEST(Paths, ForceDirectoriesExistsAndDelete) {
  qv::test::DriveC drive;
  EXPECT_TRUE(force_directories("C:\\A\\b\\C\\"));
  EXPECT_TRUE(fs::is_directory(drive.root() / "A" / "b" / "C"));
  std::ofstream(drive.root() / "A" / "b" / "C" / "x.GDB") << "x";
  EXPECT_TRUE(file_exists("C:\\a\\B\\c\\x.gdb"));
  EXPECT_TRUE(delete_file("C:\\a\\B\\c\\x.gdb"));
  EXPECT_FALSE(file_exists("C:\\a\\B\\c\\x.gdb"));
  EXPECT_FALSE(delete_file("C:\\a\\B\\c\\x.gdb"));
}
