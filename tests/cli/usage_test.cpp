// The command line as scripts and people use it: exit codes and messages of
// both programs, the command's streams and names.
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sample_data.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Output {
  int code = -1;
  std::string out, err;
};

// Runs `program` of the build with `args`, no display and no terminal.
Output run(const std::string& program, const std::vector<std::string>& args, const fs::path& io) {
  std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 120 ";
  cmd += quoted(std::string(QV_BIN_DIR) + "/" + program);
  for (const std::string& a : args) {
    cmd += ' ';
    cmd += quoted(a);
  }
  cmd += " >";
  cmd += quoted((io / "out").string());
  cmd += " 2>";
  cmd += quoted((io / "err").string());
  cmd += " </dev/null";
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, qv::test::slurp(io / "out"), qv::test::slurp(io / "err")};
}

struct Case {
  std::string program;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> out_has, err_has, out_lacks = {};
};

void check(const Case& c, const Output& r) {
  EXPECT_EQ(r.code, c.code) << r.err;
  for (const std::string& s : c.out_has) {
    EXPECT_THAT(r.out, HasSubstr(s));
  }
  for (const std::string& s : c.err_has) {
    EXPECT_THAT(r.err, HasSubstr(s));
  }
  for (const std::string& s : c.out_lacks) {
    EXPECT_THAT(r.out, Not(HasSubstr(s)));
  }
  // A usage error is a line and where to read more, never the whole help.
  if (c.code == 2) {
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  }
}

const std::string kCli = "quorvel-migrate-cli";
const std::string kTryHelp = "Try 'quorvel-migrate-cli --help' for more information.\n";

TEST(UsageTest, OptionsThatTouchNoDataSet) {
  const qv::test::TempDir io;
  const std::vector<Case> cases = {
      {kCli, {"--tabels", "x"}, 2, {}, {"not expected: --tabels (did you mean --tables?)", kTryHelp}},
      {kCli, {"--dry-run", "x"}, 2, {}, {"not expected: --dry-run\n", kTryHelp}},
      {kCli, {}, 2, {}, {"OLD_TABLE_DIR is required", kTryHelp}},
      {kCli, {"--jobs", "2", "x"}, 2, {}, {"--jobs requires --all", kTryHelp}},
      {kCli, {"--codepage", "latin-9", "x"}, 2, {}, {"\"latin-9\" is not a code page (see --list-codepages)"}},
      {kCli, {"--server", "::1", "--server-dir", "/d", "x"}, 2, {}, {"an IPv6 address goes in brackets"}},
      {kCli, {"--log-file", "l", "--all", "x"}, 2, {}, {"excludes"}},
      {kCli, {"--version"}, 0, {"quorvel-migrate-cli 0."}, {}},
      {kCli, {"--list-codepages"}, 0, {"  850  cp850, ibm850", " 1252  cp1252, windows-1252"}, {}},
      {kCli,
       {"--help"},
       0,
       {"--log-file FILE", "Exit status:", "  129, 130, 143", "ISC_USER, ISC_PASSWORD", "QUORVEL_DRIVE_C", "Examples:"},
       {},
       {"Excludes", "Needs"}},
      // The desktop program reads its options before it looks for a display.
      {"quorvel-migrate", {"--bogus"}, 2, {}, {"Unknown option 'bogus'", "Try 'quorvel-migrate --help'"}},
      {"quorvel-migrate", {"a", "b"}, 2, {}, {"one OLD_TABLE_DIR at most"}},
      {"quorvel-migrate", {"--help"}, 0, {"--drive-c <DIR>", "Exit status:", "QUORVEL_DRIVE_C", "Examples:"}, {}},
      {"quorvel-migrate", {"--version"}, 0, {"quorvel-migrate 0."}, {}},
  };
  for (const Case& c : cases) {
    if (!fs::exists(fs::path(QV_BIN_DIR) / c.program)) continue;  // a build without the desktop program
    SCOPED_TRACE(c.program + (c.args.empty() ? "" : " " + c.args.front()));
    check(c, run(c.program, c.args, io.path()));
  }
}

// Where a run's status log and report go, and the names it takes.
TEST(UsageTest, StreamsAndNamesOfARun) {
  const qv::test::TempDir drive, io;
  const fs::path dir = drive / "MyData/wk-db/Quorvel2/Db/use00001";
  qv::sample::Options o;
  o.rows = 20;
  o.jobs = 20;
  qv::sample::write_data_set(dir, o);
  const std::string log = (io / "status.log").string();
  const std::vector<std::string> run_args = {"--replace", "--drive-c", drive.path().string(), "--tables"};
  const std::vector<Case> cases = {
      // -q and a report on stdout: the JSON alone there.
      {kCli, {"carrier", "-q", "--report", "-"}, 0, {"\"outcome\": \"completed\""}, {"CARRIER_4"}, {"CARRIER table"}},
      // The log to a file; tables and code page by any of their names.
      {kCli, {"CARRIER_4,config.db,City", "--codepage", "windows-1252", "--log-file", log}, 0, {}, {"CITY_4"},
       {"CARRIER table"}},
      {kCli, {"carrier", "--log-file", (io / "no/such/folder/l").string()}, 2, {}, {"Cannot write the status log"}},
      {kCli, {"carrier.DB", "--codepage", "win1252"}, 0, {"CARRIER table", "Conversion run complete"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    std::vector<std::string> args = run_args;
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(dir.string());
    const Output r = run(c.program, args, io.path());
    check(c, r);
    if (c.args.front() == "carrier" && c.args[1] == "-q") {
      EXPECT_EQ(r.out.substr(0, 1), "{");
    }
  }
  EXPECT_THAT(qv::test::slurp(log), HasSubstr("CITY table...........\n"));
  EXPECT_THAT(qv::test::slurp(log), HasSubstr("Conversion run complete\n"));
}

}  // namespace
