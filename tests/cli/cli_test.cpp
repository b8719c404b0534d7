// The headless command, run as the built program.
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

struct Result {
  int code = -1;
  std::string out, err;
};

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "x";
}

class CliTest : public ::testing::Test {
 protected:
  // Runs the command with `--drive-c` at a private folder.
  Result run(const std::vector<std::string>& args, bool with_drive = true) {
    std::string cmd = quoted(std::string(QV_BIN_DIR) + "/quorvel-migrate-cli");
    if (with_drive) cmd += " --drive-c " + quoted(drive.path().string());
    for (const std::string& a : args) cmd += " " + quoted(a);
    cmd += " >" + quoted((io / "out").string()) + " 2>" + quoted((io / "err").string()) + " </dev/null";
    const int status = std::system(cmd.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(io / "out");
    r.err = slurp(io / "err");
    return r;
  }

  // A data set folder inside a "db" folder, spelt unlike the program's paths.
  fs::path data_set() {
    fs::path dir = drive.path() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "abcd1234";
    touch(dir / "Quorvel2.DB");
    return dir;
  }

  qv::test::TempDir drive;
  qv::test::TempDir io;
};

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  Result r = run({});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("OLD_TABLE_DIR"));

  r = run({"--no-such-option", "x"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("--tables"));  // the valid options are listed
  EXPECT_EQ(run({"--codepage", "many", "x"}).code, 2);
  EXPECT_EQ(run({"--dump", "a.db", "also-a-folder"}).code, 2);

  r = run({"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_THAT(r.out, HasSubstr("--tables"));
}

TEST_F(CliTest, UnknownTableNamesAreRefusedWithTheValidOnes) {
  Result r = run({"--tables", "CARRIER.DB,nosuch.db", data_set().string()});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("Unknown table \"nosuch.db\""));
  EXPECT_THAT(r.err, HasSubstr("carrier.db, category.db"));
  EXPECT_THAT(r.err, HasSubstr("time10.db"));
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(CliTest, FolderWithoutMarkerIsRefused) {
  fs::create_directories(drive.path() / "MyData" / "empty");
  for (const std::string& dir : {(drive.path() / "MyData" / "empty").string(), std::string("C:\\MyData\\Empty"),
                                 std::string("C:\\no\\such\\folder")}) {
    Result r = run({dir});
    EXPECT_EQ(r.code, 2) << dir;
    EXPECT_EQ(r.err, "DIRECTORY SELECT: Doesn't appear to be a valid directory\n") << dir;
    EXPECT_THAT(r.out, IsEmpty()) << dir;
  }
}

TEST_F(CliTest, FolderOutsideADbFolderIsRefused) {
  const fs::path dir = drive.path() / "sets" / "abcd1234";
  touch(dir / "quorvel2.db");
  Result r = run({dir.string()});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, StartsWith("DIRECTORY SELECT: The folder"));
  EXPECT_THAT(r.err, HasSubstr("not inside a \"db\" folder"));
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(CliTest, NoTablesIsRefused) {
  data_set();
  // The program's own path of the folder, with a letter case of its own.
  Result r = run({"--tables", ",", "C:\\mydata\\WK-DB\\quorvel2\\db\\ABCD1234"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "DIRECTORY SELECT: No tables selected\n");
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(CliTest, DumpPrintsATableAsCsv) {
  Result r = run({"--dump", qv::test::fixture("paradoxdriver/areas/STATES.DB").string()}, false);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("Abv,State,Zip From,Zip To"));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 54);  // header and 53 records

  r = run({"--dump", (drive.path() / "missing.db").string()}, false);
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("missing.db"));
}

}  // namespace
