// What a person reads about an error: the kind found from the error the
// layers raise, its place, what to do, and the summary a reader can add up.
#include "form/problems.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "converters/frame.h"
#include "firebird/ib.h"
#include "form/run_summary.h"
#include "paradox/table.h"
#include "platform/paths.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// The error a Paradox table raises when opened in `dir`, placed as a
// converter places it.
std::exception_ptr open_error(const fs::path& dir, const std::string& table) {
  try {
    try {
      qv::pdx::PDTable t;
      t.Directory = dir.string();
      t.TableName = table;
      t.Open();
    } catch (...) {
      qv::conv::rethrow_in_context(table, 0, "");
    }
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

TEST(Problems, EachKindHasItsTitleAndSaysWhatToDo) {
  struct Case {
    std::exception_ptr error;
    const char* title;
    const char* what;  // a part of what happened
  };
  const Case cases[] = {
      {std::make_exception_ptr(qv::conv::RunError(
           "STATS_JT.db, row 7, ORDER: \"3.5\" is not a whole number: STATS_JT_4.ORDER_ is INTEGER")),
       "Value not accepted", "STATS_JT.db, row 7, ORDER holds a value"},
      {std::make_exception_ptr(qv::conv::RunError("QUORVEL2.db, row 4: violation of PRIMARY or UNIQUE KEY constraint")),
       "Duplicate key", "QUORVEL2.db, row 4 has the key"},
      {std::make_exception_ptr(qv::conv::RunError("ITEM.db: field 'ITEM' not found")), "Old table not as expected",
       "ITEM.db lacks a field"},
      {std::make_exception_ptr(qv::conv::RunError("CARRIER_4, row 3: lost", true)), "Connection lost", "lost at"},
      {std::make_exception_ptr(qv::fb::Error("I/O error during \"write\" operation\n-No space left on device")),
       "Disk full", "ran out of room"},
      {std::make_exception_ptr(qv::fb::Error("Cannot open database x.gdb: lock", 335544453)), "Database in use",
       "open in another program"},
      {std::make_exception_ptr(std::runtime_error("Cannot reach database server 10.0.0.1/3050: refused")),
       "Server not reached", "could not be reached"},
      {std::make_exception_ptr(std::runtime_error("something new")), "Conversion stopped", "stopped on an error"},
  };
  for (const Case& c : cases) {
    const qv::Problem p = qv::describe_error(c.error, {.table = "STATS_JT_4"});
    EXPECT_EQ(p.title, c.title) << p.details;
    EXPECT_THAT(p.what, HasSubstr(c.what)) << c.title;
    EXPECT_THAT(p.what, Not(HasSubstr("\n"))) << c.title;  // one line
    EXPECT_THAT(p.todo, HasSubstr("press Convert again")) << c.title;
    EXPECT_FALSE(p.details.empty()) << c.title;  // the error's own text
  }
}

// Errors as the old tables raise them, a real path in its C:\ form.
TEST(Problems, OldTablesMissingOrDamaged) {
  qv::test::DriveC drive;
  const fs::path dir = drive.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "abcd1234";
  fs::create_directories(dir);
  const qv::Problem missing = qv::describe_error(open_error(dir, "CITY.db"), {.action = "Check"});
  EXPECT_EQ(missing.title, "Old table missing") << missing.details;
  EXPECT_THAT(missing.what, HasSubstr("CITY.db"));
  EXPECT_THAT(missing.todo, HasSubstr("press Check again"));
  std::ofstream(dir / "CARRIER.db") << std::string(3000, 'x');
  const qv::Problem damaged = qv::describe_error(open_error(dir, "CARRIER.db"));
  EXPECT_EQ(damaged.title, "Old table damaged") << damaged.details;
  EXPECT_THAT(damaged.what, HasSubstr("CARRIER.db"));
  EXPECT_THAT(missing.details + damaged.details, Not(HasSubstr(drive.root().string())));
}

TEST(Problems, AnEarlierDatabaseThatStays) {
  qv::test::DriveC drive;
  const std::string file = "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\abcd1234.gdb";
  const fs::path real = qv::platform::map_path(file);
  fs::create_directories(real.parent_path());
  std::ofstream(real) << "x";
  EXPECT_EQ(qv::refused_database(file, "", false).title, "Database not replaced");
  EXPECT_EQ(qv::refused_database(file, "", true).title, "Database in use");
  const qv::Problem folder = qv::refused_database(file, "a folder", false);
  EXPECT_EQ(folder.title, "Database blocked");
  EXPECT_THAT(folder.todo, HasSubstr("Move or rename folder"));
  // Held by another process, as the engine holds a database it has open.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(real.c_str(), O_RDONLY);
    ::flock(fd, LOCK_EX);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char held_now = 0;
  ASSERT_EQ(::read(ready[0], &held_now, 1), 1);
  const qv::Problem held = qv::refused_database(file, "", false);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(held.title, "Database in use");
  EXPECT_THAT(held.what, HasSubstr(file));
  EXPECT_THAT(held.what + held.todo, Not(HasSubstr("rename or delete")));
}

TEST(Problems, TheFormsOwnRefusalsSayWhatToDo) {
  EXPECT_THAT(qv::what_to_do("Doesn't appear to be a valid directory"), HasSubstr("quorvel2.db"));
  EXPECT_THAT(qv::what_to_do("No tables selected"), HasSubstr("Tick"));
  EXPECT_EQ(qv::what_to_do("anything else"), "");
  EXPECT_EQ(qv::problem_log_lines({"Disk full", "The disk ran out of room.", "Free room.", "raw"}),
            (std::vector<std::string>{"Disk full: The disk ran out of room.", "What to do: Free room."}));
}

// Old rows = new rows + skipped + merged, per table, with the reasons.
TEST(RunSummary, CountsAddUpPerTable) {
  qv::TableStats carrier{.table = "CARRIER_4", .old_rows = 18, .new_rows = 13, .skipped = 3, .merged = 2};
  qv::TableStats jsearch{.table = "JSEARCH_4", .old_rows = 100, .new_rows = 60, .shortened = 4};
  EXPECT_EQ(qv::table_summary_lines({carrier, jsearch}),
            (std::vector<std::string>{
                "CARRIER_4: 18 old rows, 13 new rows",
                "    skipped (a blank CARRIER): 3",
                "    merged (the same value as an earlier row): 2",
                "JSEARCH_4: 100 old rows, 60 new rows",
                "    skipped (none: every row is copied): 0",
                "    shortened (too long for their columns; the rows are kept): 4",
                "    not in the database (the run ended before them): 40",
            }));
  EXPECT_EQ(qv::skip_reason("TIME10_4"), "a blank 24_HOUR or 12_HOUR");
}

}  // namespace
