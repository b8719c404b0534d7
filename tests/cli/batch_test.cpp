// Many data sets in one command: finding and naming them, the children's
// outcomes and stop signals (with a stand-in child), and real batches.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "batch/batch.h"
#include "datamodule/datamodule.h"
#include "firebird/ib.h"
#include "sample_data.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using qv::test::slurp;
using qv::test::touch;

TEST(BatchNames, SingleRunRuleElseTheFolderName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/x/MyData/wk-db/Quorvel2/Db/ABCD1234", "abcd1234"},
      {"/x/Db/Longer-than-eight/sub", "longer-t"},  // the single rule: the name after \db\ .
      {"/x/family/Johnson-Family", "johnson-"},
      {"/x/family/Ünïcode-name", "Ünïcode-"},  // eight characters, not bytes; ASCII lower-cased
      {"/x/dbase/Smith", "smith"},
  };
  for (const auto& [dir, name] : cases) EXPECT_EQ(qv::batch::database_name(dir), name) << dir;
  EXPECT_EQ(qv::batch::temp_directory("smith"), "C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp\\smith");
}

// Links to folders are not followed (a loop ends nothing, a link to a data
// set is not a second one); FIFOs and unreadable folders do no harm.
TEST(BatchSearch, FindsDataSetsWithoutFollowingLinks) {
  qv::test::TempDir root;
  touch(root / "a/QUORVEL2.DB");
  touch(root / "a/nested/deeper/quorvel2.db");
  touch(root / "b/readme.txt");
  fs::create_directory_symlink(root.path(), root / "a/loop");
  fs::create_directory_symlink(root / "a", root / "b/link-to-a");
  fs::create_directories(root / "c");
  ASSERT_EQ(::mkfifo((root / "c/quorvel2.db").c_str(), 0600), 0);  // not a data set
  fs::create_directories(root / "locked/d");
  touch(root / "locked/d/quorvel2.db");
  fs::permissions(root / "locked", fs::perms::none);

  std::vector<std::string> problems;
  const auto sets = qv::batch::find_data_sets(root.path(), problems);
  fs::permissions(root / "locked", fs::perms::owner_all);
  std::vector<std::string> found;
  for (const auto& s : sets) found.push_back(s.directory.lexically_relative(root.path()).string() + "=" + s.database);
  if (::geteuid() == 0) {  // reads it anyway
    std::erase(found, "locked/d=d");
  } else {
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_THAT(problems[0], HasSubstr((root / "locked").string()));
  }
  EXPECT_EQ(found, (std::vector<std::string>{"a=a", "a/nested/deeper=deeper"}));
}

// A stand-in for the program: succeeds, crashes, or stops the batch and
// then waits for its own stop; says whether an inherited descriptor reached it.
constexpr const char* kStandIn = R"(#!/bin/sh
for a; do dir=$a; done
while [ "$1" != --report ]; do shift; done
report=$2
if [ -e /proc/$$/fd/$LEAK_FD ]; then echo leaked > "$dir/fd"; fi
case $(basename "$dir") in
  *crash*) kill -SEGV $$ ;;
  *stop*) trap 'kill $!; echo stopped > "$dir/done"; exit $((128 + STOP_NUMBER))' TERM HUP
         kill -$STOP_SIGNAL $PPID
         sleep 20 & wait $!; exit 0 ;;
esac
echo '{"outcome": "completed", "tables": [{"new_rows": 4}, {"new_rows": 3}]}' > "$report"
echo "status log of $dir"
)";

TEST(BatchRun, CrashesFailOneDataSetAndASignalStopsTheRest) {
  for (const int sig : {SIGTERM, SIGHUP}) {
    const std::string name = std::string("SIG") + ::sigabbrev_np(sig);
    SCOPED_TRACE(name);
    ::setenv("STOP_SIGNAL", ::sigabbrev_np(sig), 1);
    ::setenv("STOP_NUMBER", std::to_string(sig).c_str(), 1);
    qv::test::TempDir root, work;
    for (const char* set : {"a-ok", "b-crash", "c-stop", "d-later", "e-later"}) touch(root / set / "quorvel2.db");
    const fs::path stand_in = work / "stand-in.sh";
    std::ofstream(stand_in) << kStandIn;
    fs::permissions(stand_in, fs::perms::owner_all);
    const int null = ::open("/dev/null", O_RDONLY);
    const int leak = ::fcntl(null, F_DUPFD, 50);  // without close-on-exec
    ::close(null);
    ::setenv("LEAK_FD", std::to_string(leak).c_str(), 1);

    qv::batch::Options o;
    o.root = root.path();
    o.jobs = 1;
    o.log_dir = work / "logs";
    o.report = work / "report.json";
    o.executable = stand_in.string();
    EXPECT_EQ(qv::batch::run(o), 128 + sig);
    ::close(leak);

    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child was left unreaped";
    const nlohmann::json report = nlohmann::json::parse(slurp(work / "report.json"));
    EXPECT_EQ(report["stopped_by"], name);
    std::vector<std::string> results;
    for (const auto& s : report["data_sets"]) results.push_back(s["database"].get<std::string>() + ": " + s["result"].get<std::string>());
    EXPECT_EQ(results, (std::vector<std::string>{"a-ok: completed", "b-crash: crashed (SIGSEGV)",
                                                 "c-stop: stopped (" + name + ")", "d-later: not started",
                                                 "e-later: not started"}));
    EXPECT_EQ(report["data_sets"][0]["rows"], 7);
    EXPECT_EQ(slurp(work / "logs/a-ok.log"), "status log of " + (root / "a-ok").string() + "\n");
    EXPECT_TRUE(fs::exists(root / "c-stop/done"));
    for (const char* set : {"a-ok", "b-crash", "c-stop"}) EXPECT_FALSE(fs::exists(root / set / "fd")) << set;
  }
}

// A log folder is one batch's: one that another batch holds, or that holds
// an earlier batch's log or report of one of these data sets, is refused
// before anything is written into it.
TEST(BatchRun, ALogFolderIsNeverSharedNorWrittenOver) {
  qv::test::TempDir root, work;
  touch(root / "a-ok" / "quorvel2.db");
  const fs::path stand_in = work / "stand-in.sh";
  std::ofstream(stand_in) << kStandIn;
  fs::permissions(stand_in, fs::perms::owner_all);
  ::setenv("LEAK_FD", "1000", 1);
  qv::batch::Options o;
  o.root = root.path();
  o.jobs = 1;
  o.log_dir = work / "logs";
  o.executable = stand_in.string();

  // Another batch at work holds the folder's lock.
  fs::create_directories(o.log_dir);
  const int held = ::open((o.log_dir / ".quorvel-batch.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(qv::batch::run(o), 2);
  EXPECT_FALSE(fs::exists(o.log_dir / "a-ok.log"));
  ::close(held);

  EXPECT_EQ(qv::batch::run(o), 0);
  const std::string log = slurp(o.log_dir / "a-ok.log");
  EXPECT_EQ(qv::batch::run(o), 2);  // the first batch's log stays as it was
  EXPECT_EQ(slurp(o.log_dir / "a-ok.log"), log);
}

struct Result {
  int code = -1;
  std::string err;
};

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class BatchCli : public ::testing::Test {
 protected:
  Result run(const fs::path& drive_root, const std::vector<std::string>& args) {
    std::string cmd = "cd " + quoted(io.path().string()) + " && timeout 300 " +
                      quoted(std::string(QV_BIN_DIR) + "/quorvel-migrate-cli") + " --drive-c " +
                      quoted(drive_root.string());
    for (const std::string& a : args) cmd.append(" ").append(quoted(a));
    cmd += " >/dev/null 2>" + quoted((io / "err").string()) + " </dev/null";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(io / "err")};
  }
  static fs::path database(const fs::path& drive_root, const std::string& name) {
    return drive_root / "MyData/wk-db/intrbase/quorvel4/db" / (name + ".gdb");
  }

  qv::test::TempDir drive, io;
};

// Every row of every table of a database, each table's rows sorted.
std::vector<std::string> contents(const fs::path& file) {
  qv::fb::IBDatabase db;
  db.DatabaseName = file.string();
  db.Params = qv::admin_login();
  db.Open();
  std::vector<std::string> out;
  for (const auto& t : db.Query("SELECT TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0 ORDER BY 1")) {
    std::vector<std::string> rows;
    for (const auto& row : db.Query("SELECT * FROM " + *t[0])) {
      std::string line = *t[0];
      for (const auto& v : row) line.append("|").append(v.value_or("<null>"));
      rows.push_back(line);
    }
    std::sort(rows.begin(), rows.end());
    out.insert(out.end(), rows.begin(), rows.end());
  }
  db.Close();
  return out;
}

// Five data sets, one corrupt: four databases as single runs make them, the
// corrupt one fails alone; each job-search store has a folder of its own.
TEST_F(BatchCli, FourOfFiveSucceedAsSingleRunsWould) {
  const fs::path root = io / "sets";
  const std::vector<std::pair<std::string, std::string>> sets = {
      {"office/db/alpha", "alpha"}, {"office/db/bravo", "bravo"}, {"family/Charlie-Smith", "charlie-"},
      {"family/Delta", "delta"}, {"family/Echo-broken", "echo-bro"}};
  qv::sample::Options sample;
  sample.rows = 20;
  sample.jobs = 30;
  for (const auto& [dir, name] : sets) {
    sample.seed += 1;
    for (const std::string& file : qv::sample::write_data_set(root / dir, sample))
      if (name == "echo-bro" && file == "City.db") fs::resize_file(root / dir / file, 100);
  }
  const Result r = run(drive.path(), {"--all", root.string(), "--jobs", "2", "--report", (io / "r.json").string()});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("family/Echo-broken"));
  const nlohmann::json report = nlohmann::json::parse(slurp(io / "r.json"));
  ASSERT_EQ(report["data_sets"].size(), 5u);
  for (const auto& s : report["data_sets"]) {
    EXPECT_EQ(s["succeeded"], s["database"] != "echo-bro") << s.dump();
    EXPECT_TRUE(fs::exists(s["log"].get<std::string>()));
  }
  const fs::path temp = drive / "MyData/wk-db/intrbase/quorvel4/temp";  // the db folder's spelling
  EXPECT_TRUE(fs::exists(temp / "delta/1-js.db"));
  EXPECT_FALSE(fs::exists(temp / "1-js.db"));

  // The same data sets by single runs, each in a "db" folder of a drive of its own.
  qv::test::TempDir single;
  for (const auto& [dir, name] : sets) {
    if (name == "echo-bro") continue;
    const fs::path copy = single / "MyData/wk-db/Quorvel2/Db" / name;
    fs::create_directories(copy);
    fs::copy(root / dir, copy);
    ASSERT_EQ(run(single.path(), {copy.string()}).code, 0) << name;
    const auto batch_rows = contents(database(drive.path(), name));
    EXPECT_GT(batch_rows.size(), 100u);
    EXPECT_EQ(batch_rows, contents(database(single.path(), name))) << name;
  }
}

// Two data sets for one database: refused before any folder or file is made.
TEST_F(BatchCli, ANameClashIsRefusedBeforeAnythingIsWritten) {
  const fs::path root = io / "sets";
  for (const char* dir : {"north/db/smith/x", "south/Smith", "a/Johnson-1", "b/johnson-2", "c/other", "d/Élan", "e/élan"})
    touch(root / dir / "quorvel2.db");
  const Result r = run(drive.path(), {"--all", root.string(), "--log-dir", (io / "logs").string()});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("The data sets " + (root / "north/db/smith/x").string() + " and " +
                               (root / "south/Smith").string() + " would both write the database"));
  EXPECT_THAT(r.err, HasSubstr((root / "a/Johnson-1").string() + " and " + (root / "b/johnson-2").string()));
  EXPECT_THAT(r.err, HasSubstr((root / "d/Élan").string() + " and " + (root / "e/élan").string()));
  EXPECT_THAT(r.err, Not(HasSubstr("c/other")));
  EXPECT_FALSE(fs::exists(io / "logs"));
  EXPECT_TRUE(fs::is_empty(drive.path()));
  EXPECT_EQ(std::count_if(fs::directory_iterator(io.path()), fs::directory_iterator(), [](auto&) { return true; }), 2);
}

}  // namespace
