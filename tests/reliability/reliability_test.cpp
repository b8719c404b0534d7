// What must hold whatever happens to a run: the old tables stay as they
// were, a killed run can simply be run again, and every failure of the
// destination ends the run with a message naming the path.
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "datamodule/datamodule.h"
#include "firebird/ib.h"
#include "form/conversion_form.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "reliability/child.h"
#include "sample_data.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace qv::test {
namespace {

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override { platform::set_drive_root(drive.root()); }

  fs::path data_set(const std::string& name = "rel00001") const {
    return drive.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / name;
  }
  fs::path database(const std::string& name = "rel00001") const {
    return platform::map_path(Tconversion_form::destination_file(name));
  }
  fs::path destination_folder() const { return platform::map_path(Tconversion_form::kDestinationDirectory); }
  fs::path temp_folder() const { return platform::map_path(Tconversion_form::kTempDirectory); }

  std::vector<std::string> args(const std::vector<std::string>& extra, const fs::path& dir) const {
    std::vector<std::string> a{"--drive-c", drive.root().string()};
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(dir.string());
    return a;
  }
  ChildResult run(const std::vector<std::string>& extra = {}) { return run_cli(args(extra, data_set())); }

  // A failed run: not reported as success, and the message names `path`.
  static void expect_failure_naming(const ChildResult& r, const fs::path& path) {
    EXPECT_NE(r.code, 0) << r.all();
    EXPECT_FALSE(r.completed());
    EXPECT_THAT(r.all(), Not(HasSubstr("Conversion run complete")));
    EXPECT_THAT(r.all(), HasSubstr(path.string()));
  }

  DriveC drive;
};

TEST_F(Reliability, OldTablesNeverChange) {
  write_sample(data_set());
  fs::remove(platform::find_case_insensitive(data_set(), "time10.db"));  // a run of every table fails at the end
  const auto before = snapshot(data_set());

  ChildResult r = run({"--tables", "carrier.db,quorvel2.db,jsearch2.db,config.db,stats_jt.db"});
  EXPECT_TRUE(r.completed()) << r.all();
  EXPECT_EQ(snapshot(data_set()), before);

  r = run({"--replace"});
  EXPECT_EQ(r.code, 1) << r.all();
  EXPECT_THAT(r.err, HasSubstr("time10.db"));
  EXPECT_EQ(snapshot(data_set()), before);

  r = run({"--check", "--replace"});
  EXPECT_EQ(r.code, 1) << r.all();
  EXPECT_THAT(r.all(), HasSubstr("missing table"));
  EXPECT_EQ(snapshot(data_set()), before);
}

// The private folders every test program runs in keep the folders of the
// user running the tests as they were: a stand-in user's home and XDG
// folders are the same to the byte and the time after a migration, a check
// and a verify, made as the tests make them.
TEST_F(Reliability, TestsLeaveTheUsersFoldersAlone) {
  write_sample(data_set());
  const PrivateFolders user;  // the environment now names the stand-in's folders
  const char* const kFolders[] = {"HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"};
  std::map<std::string, std::map<std::string, FileState>> before;
  for (const char* f : kFolders) {
    touch(user.path() / f / "mine" / "file");
    before[f] = snapshot(user.path() / f, true);
  }
  {
    const PrivateFolders tests;  // as every test program's main makes them
    EXPECT_TRUE(run().completed());
    EXPECT_EQ(run({"--check", "--replace"}).code, 0);
    EXPECT_EQ(run({"--verify"}).code, 0);
  }
  for (const char* f : kFolders) EXPECT_EQ(snapshot(user.path() / f, true), before[f]) << f;
}

TEST_F(Reliability, KilledRunLeavesOldTablesAndRunsAgain) {
  write_sample(data_set());
  // Early in the creation, in the lookup lists, in the job-search table.
  kill_and_rerun(args({"--replace"}, data_set()), data_set(), database(), {5, 45, 75});
}

TEST_F(Reliability, FullDiskEndsTheRunNamingTheFile) {
  write_sample(data_set());
  Child c(args({}, data_set()));
  c.file_size_limit = 1280 * 1024;  // above the engine's lock files, below the database
  const ChildResult r = run_cli(c);
  expect_failure_naming(r, database());
  EXPECT_EQ(r.signal, 0);
}

// Another program with the database open keeps it: the run is refused and
// the file stays as it was.
TEST_F(Reliability, HeldOpenDestinationEndsTheRun) {
  write_sample(data_set());
  ASSERT_TRUE(run({"--tables", "carrier.db"}).completed());
  fb::IBDatabase held;
  held.DatabaseName = database().string();
  held.Params = qv::admin_login();
  held.Open();
  const auto before = snapshot(destination_folder());
  // Refused before anything is touched, --replace or not.
  for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--replace"}}) {
    std::vector<std::string> a = extra;
    a.insert(a.end(), {"--tables", "carrier.db"});
    const ChildResult r = run(a);
    expect_failure_naming(r, database());
    EXPECT_EQ(r.code, 2) << r.all();
    EXPECT_THAT(r.err, HasSubstr("is in use by another program"));
    EXPECT_TRUE(r.out.empty()) << r.all();
  }
  EXPECT_EQ(snapshot(destination_folder()), before);
  EXPECT_FALSE(held.Query("SELECT COUNT(*) FROM CARRIER_4").empty());  // still the same file
  held.Close();
}

// SIGINT, SIGTERM or SIGHUP stops the run at the next row: what was written is
// committed, the stop is logged, the exit code tells the signal, and the run
// can simply be run again. A second signal ends the program at once; the
// first one again at once is no second.
TEST_F(Reliability, SignalStopsTheRunAtTheNextRow) {
  write_sample(data_set(), 20, 3000);
  struct Case {
    std::string at_line;
    std::vector<int> signals;
    int code;
    std::string stopped_at;  // empty: ended at once; "*": any table
    // A table this small may be done before the signal arrives: the run
    // then stops at the next row of a later table.
    bool or_later = false;
  };
  const std::vector<Case> cases = {
      {"JSEARCH table", {SIGINT}, 130, "JSEARCH_4"},
      {"Step 3", {SIGTERM}, 143, "JSEARCH_4"},
      {"Creating tables", {SIGTERM}, 143, "*"},
      {"CITY table", {SIGHUP}, 129, "CITY_4", true},  // the terminal went away
      {"Step 2", {SIGTERM, SIGINT}, 130, ""},
      // One request delivered twice, as `timeout` sends its signal: the run
      // stops at its next row all the same.
      {"Step 2", {SIGTERM, SIGTERM}, 143, "JSEARCH_4"},
  };
  // The position in the run's order of the table a stop line names.
  const auto position = [](const std::string& line) {
    const auto& items = registry::items();
    for (std::size_t i = 0; i < items.size(); ++i)
      if (line.find(" at " + items[i].dest_table + ":") != std::string::npos) return i;
    return items.size();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at_line);
    Child child(args({"--replace"}, data_set()));
    child.signal_at_line = c.at_line;
    child.signals = c.signals;
    const ChildResult r = run_cli(child);
    if (c.signals.size() > 1) {
      // Two signals: the program ends at once with the code of one of them.
      // Which one its handlers meet second is not fixed by the order they
      // were sent in: the first is seen taken (out of the pending sets) but
      // its handler may still be running on one thread while the second's
      // runs on another.
      EXPECT_THAT(r.code, ::testing::AnyOf(128 + c.signals[0], 128 + c.signals[1])) << r.all();
    } else {
      EXPECT_EQ(r.code, c.code) << r.all();
    }
    EXPECT_FALSE(r.completed());
    if (c.stopped_at.empty()) {
      EXPECT_THAT(r.all(), Not(HasSubstr("The run was stopped at")));
    } else {
      ASSERT_FALSE(r.out.empty());
      const std::string& line = r.out.back();
      EXPECT_THAT(line, ::testing::MatchesRegex("The run was stopped at [A-Z0-9_]+_4: the database holds the rows "
                                                "written until then\\."));
      EXPECT_THAT(r.err, HasSubstr(line));
      if (c.or_later) {
        EXPECT_LT(position(line), registry::items().size()) << line;
        EXPECT_GE(position(line), position(" at " + c.stopped_at + ":")) << line;
        EXPECT_EQ(dump_database(database()).size(), 18u);
      } else if (c.stopped_at != "*") {
        EXPECT_THAT(line, HasSubstr(" at " + c.stopped_at + ":"));
        EXPECT_EQ(dump_database(database()).size(), 18u);  // committed: the file opens
      }
    }
  }
  EXPECT_TRUE(run({"--replace"}).completed());
}

// The rows the summary counts per table (stderr and --report) are the rows
// the database holds, whatever ended the run; the line saying so is written
// only when it is true, and the database is named only when the run made it.
TEST_F(Reliability, SummaryCountsWhatTheDatabaseHoldsInEveryEnding) {
  const fs::path report = drive.root() / "report.json";
  struct Case {
    const char* ending;
    sample::Options data;
    std::function<void(Child&)> set_up;
    int code;
  };
  sample::Options small;
  small.rows = 20;
  small.jobs = 3000;
  sample::Options repeated = small;
  repeated.repeated_key = 15;  // the payment records stop at their 15th row
  const std::vector<Case> cases = {
      {"completed", small, [](Child&) {}, 0},
      {"refused row", repeated, [](Child&) {}, 1},
      {"stopped in the job-search load",
       small,
       [](Child& c) {
         c.signal_at_line = "Step 3";
         c.signals = {SIGTERM};
       },
       143},
      {"stopped between tables",
       small,
       [](Child& c) {
         c.signal_at_line = "CITY table";
         c.signals = {SIGINT};
       },
       130},
      {"full disk", small, [](Child& c) { c.file_size_limit = 1280 * 1024; }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ending);
    fs::remove_all(data_set());
    sample::write_data_set(data_set(), c.data);
    fs::remove(report);
    fs::remove(database());  // each ending on a fresh destination
    Child child(args({"--report", report.string()}, data_set()));
    c.set_up(child);
    const ChildResult r = run_cli(child);
    EXPECT_EQ(r.code, c.code) << r.all();
    std::ifstream in(report);
    const nlohmann::json json = nlohmann::json::parse(in);
    // The database named is the one this run made.
    ASSERT_EQ(json.at("database").get<std::string>(), database().string()) << r.all();
    EXPECT_THAT(r.err, HasSubstr(std::string(c.code == 0 ? "Database written: " : "Database as the run left it: ") +
                                 database().string()));
    fb::IBDatabase db;
    db.DatabaseName = database().string();
    db.Open();
    std::size_t lines_seen = 0;
    for (const auto& t : json.at("tables")) {
      const std::string table = t.at("table").get<std::string>();
      const std::int64_t held = std::stoll(db.Query("SELECT COUNT(*) FROM " + table).at(0).at(0).value());
      EXPECT_EQ(t.at("new_rows").get<std::int64_t>(), held) << table << "\n" << r.all();
      // The same figure on stderr: "TABLE  old rows  new rows ...".
      std::istringstream err(r.err);
      for (std::string line; std::getline(err, line);) {
        std::istringstream words(line);
        std::string name;
        std::int64_t old_rows = 0, new_rows = -1;
        if (!(words >> name >> old_rows >> new_rows) || name != table) continue;
        EXPECT_EQ(new_rows, held) << line;
        ++lines_seen;
      }
    }
    EXPECT_EQ(lines_seen, json.at("tables").size()) << r.err;
    db.Close();
    if (r.all().find("the database holds the rows written until then") != std::string::npos) {
      EXPECT_THAT(r.all(), Not(HasSubstr("were not committed")));
    }
  }
}

// Whatever is in place of the database: with --replace a link goes as a link
// (its target untouched, the run writes a file of its own); anything else
// that is not a regular file is refused before anything is touched.
TEST_F(Reliability, DestinationThatIsNoRegularFile) {
  write_sample(data_set());
  const fs::path db = database();
  const fs::path target = drive.root() / "elsewhere" / "target.gdb";
  fs::create_directories(destination_folder());
  struct Case {
    const char* kind;
    std::function<void()> make;
    int code;
  };
  const std::vector<Case> cases = {
      {"a symbolic link", [&] { fs::create_directories(target.parent_path()); std::ofstream(target) << "keep"; fs::create_symlink(target, db); }, 0},
      {"a dangling link", [&] { fs::remove(target); fs::create_symlink(target, db); }, 0},
      {"a folder", [&] { fs::create_directory(db); }, 2},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(db.c_str(), 0600), 0); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    fs::remove(db);
    c.make();
    Child child(args({"--replace", "--tables", "carrier.db"}, data_set()));
    child.kill_after = std::chrono::seconds(300);  // a safety net
    const ChildResult r = run_cli(child);
    EXPECT_EQ(r.code, c.code) << r.all();
    if (c.code == 0) {
      EXPECT_TRUE(r.completed()) << r.all();
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(db)));
      if (fs::exists(target)) {
        EXPECT_EQ(fs::file_size(target), 4u);
      }
      EXPECT_FALSE(fs::exists(target) && c.kind == std::string("a dangling link"));
      continue;
    }
    EXPECT_TRUE(r.out.empty()) << r.all();  // refused before anything is touched
    EXPECT_THAT(r.err, HasSubstr(std::string(" is ") + c.kind + ", not a database file"));
  }
  fs::remove(db);
}

// A FIFO or a device in place of an old table is refused at once, naming
// the file, in a run and in the check (it used to wait for ever).
TEST_F(Reliability, OldTableThatIsNoRegularFileIsRefused) {
  write_sample(data_set());
  const fs::path table = platform::find_case_insensitive(data_set(), "carrier.db");
  for (const char* kind : {"fifo", "link to a device"}) {
    fs::remove(table);
    if (std::string(kind) == "fifo")
      ASSERT_EQ(::mkfifo(table.c_str(), 0644), 0);
    else
      fs::create_symlink("/dev/zero", table);
    for (const char* mode : {"--tables", "--check"}) {
      SCOPED_TRACE(std::string(kind) + " " + mode);
      std::vector<std::string> extra{"--replace", "--tables", "carrier.db"};
      if (std::string(mode) == "--check") extra.insert(extra.begin(), "--check");
      Child c(args(extra, data_set()));
      c.kill_after = std::chrono::seconds(300);  // a safety net
      const ChildResult r = run_cli(c);
      EXPECT_EQ(r.signal, 0) << "still waiting after a minute";
      EXPECT_EQ(r.code, 1) << r.all();
      EXPECT_THAT(r.all(), HasSubstr(table.string() + ": not a regular file"));
    }
  }
}

class AsOtherUser : public Reliability {
 protected:
  void SetUp() override {
    Reliability::SetUp();
    user = unprivileged_user();
    if (!user) GTEST_SKIP() << "needs root to run the command as an unprivileged user";
  }
  ChildResult run_as(const std::vector<std::string>& extra, const fs::path& dir) {
    Child c(args(extra, dir));
    c.uid = user->uid;
    c.gid = user->gid;
    return run_cli(c);
  }
  // `folder` exists but the user may not write in it: a run of `tables`
  // fails naming it.
  void expect_refused_in(const fs::path& folder, const std::string& tables) {
    write_sample(data_set());
    fs::create_directories(folder);
    hand_over(drive.root(), *user);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    expect_failure_naming(run_as({"--tables", tables}, data_set()), folder);
  }
  std::optional<User> user;
};

TEST_F(AsOtherUser, UnwritableDestinationFolder) { expect_refused_in(destination_folder(), "carrier.db"); }

TEST_F(AsOtherUser, TemporaryFolderWithoutPermission) { expect_refused_in(temp_folder(), "jsearch2.db"); }

// Folders another user made first under the names the engine's folders
// once had in /tmp block nothing: ours are made where only we can.
TEST_F(AsOtherUser, FoldersAnotherUserMadeInTmp) {
  write_sample(data_set());
  hand_over(drive.root(), *user);
  std::vector<fs::path> premade;
  for (const char* prefix : {"/tmp/quorvel-fb-lock-", "/tmp/quorvel-fb-root-"}) {
    premade.emplace_back(prefix + std::to_string(user->uid));
    fs::create_directory(premade.back());
  }
  const ChildResult r = run_as({"--tables", "carrier.db"}, data_set());
  for (const auto& p : premade) fs::remove_all(p);
  EXPECT_TRUE(r.completed()) << r.all();
}

// The old tables are only read: a user who may not write them migrates them.
TEST_F(AsOtherUser, OldTablesTheUserCannotWrite) {
  write_sample(data_set());
  hand_over(drive.root(), *user);
  for (const auto& e : fs::directory_iterator(data_set())) fs::permissions(e.path(), fs::perms(0444));
  fs::permissions(data_set(), fs::perms(0555));
  const auto before = snapshot(data_set());
  const ChildResult r = run_as({}, data_set());
  fs::permissions(data_set(), fs::perms(0755));
  EXPECT_TRUE(r.completed()) << r.all();
  EXPECT_EQ(snapshot(data_set()), before);
}

TEST_F(AsOtherUser, RunsAfterRootUsedTheEngine) {
  write_sample(data_set());
  ASSERT_TRUE(run({"--tables", "carrier.db"}).completed());  // as root
  write_sample(data_set("usr00001"));
  hand_over(drive.root(), *user);
  const ChildResult r = run_as({"--tables", "carrier.db,jsearch2.db"}, data_set("usr00001"));
  EXPECT_TRUE(r.completed()) << r.all();
}

// Runs a data set under `root` (the drive) in `dir` and reads it back.
void run_in(const fs::path& root, const std::string& name) {
  platform::set_drive_root(root);
  const fs::path dir = root / "My Data" / "wk-db" / "Quorvel2" / "Db" / name / "sub folder";
  write_sample(dir);
  const ChildResult r = run_cli(std::vector<std::string>{"--drive-c", root.string(), "--replace", "--tables",
                                                         "carrier.db,jsearch2.db,config.db", dir.string()});
  ASSERT_TRUE(r.completed()) << r.all();
  const fs::path db = platform::map_path(Tconversion_form::destination_file(platform::ascii_lower(name)));
  ASSERT_TRUE(fs::exists(db)) << db;
  const auto tables = dump_database(db);
  EXPECT_FALSE(tables.at("CARRIER_4").empty());
  EXPECT_EQ(tables.at("JSEARCH_4").size(), 40u);
}

TEST_F(Reliability, FoldersWithBlanksAndLongNames) {
  run_in(drive.root() / "Drive C, with blanks" / std::string(180, 'l'), "set 0001");
}

TEST_F(Reliability, FoldersWithNonAsciiLetters) { run_in(drive.root() / "Laufwerk ÄÖÜ", "ärger 01"); }

// The engine takes "a:b" for a host and a file; a local run never goes to
// the network, and the check does not promise a run that would fail.
TEST_F(Reliability, FoldersWithColons) {
  run_in(drive.root() / "dr:ive", "set:0001");
  const fs::path dir = drive.root() / "dr:ive" / "My Data" / "wk-db" / "Quorvel2" / "Db" / "set:0001" / "sub folder";
  const ChildResult check = run_cli(std::vector<std::string>{"--check", "--replace", "--drive-c", (drive.root() / "dr:ive").string(),
                                                             "--tables", "carrier.db", dir.string()});
  EXPECT_EQ(check.code, 0) << check.all();
  run_in(drive.root() / "dr:ive", "set:0001");  // again, over the first database
}

}  // namespace
}  // namespace qv::test
