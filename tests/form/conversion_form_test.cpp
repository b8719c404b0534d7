#include "form/conversion_form.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>

#include "form/recording_boxes.h"
#include "form/stub_steps.h"
#include "jobsearch/jobsearch.h"
#include "platform/paths.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using qv::Tconversion_form;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Which controls are enabled, and the ticks.
struct State {
  bool tree, list, select, reset, convert, label1, label2, label3;
  std::vector<bool> ticks;
  bool operator==(const State&) const = default;
};

std::ostream& operator<<(std::ostream& os, const State& s) {
  os << "tree " << s.tree << " list " << s.list << " select " << s.select << " reset " << s.reset << " convert "
     << s.convert << " labels " << s.label1 << s.label2 << s.label3 << " ticks ";
  for (bool t : s.ticks) os << t;
  return os;
}

State state_of(const Tconversion_form& f) {
  return {f.CDirectoryOutline_Source.Enabled, f.files_checklistbox.Enabled, f.btn_select_directory.Enabled,
          f.btn_reset.Enabled, f.btn_convert.Enabled, f.Label1.Enabled, f.Label2.Enabled, f.Label3.Enabled,
          f.files_checklistbox.Checked};
}

const std::vector<bool> kNone(Tconversion_form::kTables, false);
const std::vector<bool> kAll(Tconversion_form::kTables, true);

State choosing(bool label3) { return {true, false, true, false, false, true, false, label3, kNone}; }
State tables_chosen(std::vector<bool> ticks = kAll) { return {false, true, false, true, true, false, true, false, ticks}; }
State run_started(std::vector<bool> ticks) { return {false, true, false, true, true, false, false, true, ticks}; }

void touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "x";
}

class FormTest : public ::testing::Test {
 protected:
  FormTest() {
    // The data set folder, spelt differently from the program's paths.
    touch(drive.root() / "MyData" / "WK-DB" / "quorvel2" / "db" / "ABCD1234" / "QUORVEL2.DB");
    steps.on_create_database = [this](const std::string& dbname) {
      built.push_back(dbname);
      form.Memo1.Clear();
      form.Memo1.Add("database " + dbname);
      return build_result;
    };
    steps.on_convert = [this](std::size_t i, const std::string& dbname) {
      converted.push_back(i);
      EXPECT_EQ(dbname, "abcd1234");
    };
  }

  // Activation, then the data set folder accepted.
  void choose_data_set() {
    form.FormActivate(&form);
    form.CDirectoryOutline_Source.SetDirectory("C:\\MyData\\wk-db\\Quorvel2\\Db\\abcd1234");
    form.btn_select_directoryClick(&form);
    ASSERT_TRUE(boxes.shown.empty());
  }

  void tick_only(std::initializer_list<std::size_t> order) {
    for (std::size_t i = 0; i < Tconversion_form::kTables; ++i) form.files_checklistbox.SetChecked(i, false);
    for (std::size_t i : order) form.files_checklistbox.SetChecked(i, true);
  }

  qv::test::DriveC drive;
  qv::test::RecordingBoxes boxes;
  qv::test::StubSteps steps;
  Tconversion_form form{&boxes, {.steps = &steps}};
  std::vector<std::string> built;
  std::vector<std::size_t> converted;
  bool build_result = true;
};

TEST_F(FormTest, CreatedAndFirstShown) {
  EXPECT_EQ(form.Label1.Caption, "STEP 01 - SELECT OLD TABLE LOCATION");
  EXPECT_EQ(form.Label2.Caption, "STEP 02 - SELECT TABLES TO MIGRATE");
  EXPECT_EQ(form.Label3.Caption, "STATUS MESSAGES");
  EXPECT_EQ(form.btn_select_directory.Caption, "Select This Directory - >>>>");
  EXPECT_EQ(form.btn_reset.Caption, "Reset");
  EXPECT_EQ(form.btn_convert.Caption, "Convert");
  EXPECT_THAT(form.Memo1.Lines, ElementsAre("Memo1"));
  EXPECT_EQ(form.Edit1.Text, "Edit1");
  ASSERT_EQ(form.files_checklistbox.Items.size(), 18u);
  EXPECT_EQ(form.files_checklistbox.Items[7], "quorvel2.db");
  EXPECT_EQ(form.files_checklistbox.Items[10], "jsearch2.db");
  EXPECT_EQ(form.files_checklistbox.Items[17], "time10.db");
  EXPECT_EQ(Tconversion_form::kRule, std::string(105, '-'));

  form.FormActivate(&form);
  EXPECT_EQ(state_of(form), choosing(true));
  EXPECT_EQ(form.CDirectoryOutline_Source.Directory, "C:\\MyData\\wk-db\\Quorvel2\\Db\\");
  EXPECT_TRUE(form.Memo1.Lines.empty());
  EXPECT_EQ(form.Edit1.Text, "Edit1");
}

TEST_F(FormTest, FolderWithoutMarkerIsRefusedAndNothingChanges) {
  form.FormActivate(&form);
  form.Memo1.Add("kept");
  fs::create_directories(drive.root() / "elsewhere");
  form.CDirectoryOutline_Source.SetDirectory((drive.root() / "elsewhere").string());
  form.btn_select_directoryClick(&form);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "Doesn't appear to be a valid directory");
  EXPECT_EQ(boxes.shown[0].caption, "DIRECTORY SELECT");
  EXPECT_EQ(state_of(form), choosing(true));
  EXPECT_THAT(form.Memo1.Lines, ElementsAre("kept"));

  // A folder named like the marker does not count as the marker.
  fs::create_directories(drive.root() / "elsewhere" / "quorvel2.db");
  form.btn_select_directoryClick(&form);
  EXPECT_EQ(boxes.shown.size(), 2u);
}

TEST_F(FormTest, AcceptedFolderTicksEverything) {
  choose_data_set();
  EXPECT_EQ(state_of(form), tables_chosen());
  // A native path of the same folder is accepted as well.
  form.btn_resetClick(&form);
  form.CDirectoryOutline_Source.SetDirectory((drive.root() / "MyData/WK-DB/quorvel2/db/ABCD1234").string());
  form.btn_select_directoryClick(&form);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(state_of(form), tables_chosen());
}

TEST_F(FormTest, ConvertWithoutTicksIsRefused) {
  choose_data_set();
  tick_only({});
  form.Memo1.Add("kept");
  form.btn_convertClick(&form);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "No tables selected");
  EXPECT_EQ(boxes.shown[0].caption, "DIRECTORY SELECT");
  EXPECT_TRUE(built.empty());
  EXPECT_THAT(form.Memo1.Lines, ElementsAre("kept"));
  EXPECT_EQ(state_of(form), tables_chosen(kNone));
}

TEST_F(FormTest, ResetReturnsToTheFirstStepAndKeepsTheLog) {
  choose_data_set();
  form.Memo1.Add("kept");
  form.btn_resetClick(&form);
  EXPECT_EQ(state_of(form), choosing(false));
  EXPECT_EQ(form.CDirectoryOutline_Source.Directory, Tconversion_form::kDefaultDirectory);
  EXPECT_THAT(form.Memo1.Lines, ElementsAre("kept"));
}

TEST_F(FormTest, RefusedRunStopsWithoutMoreLinesAndCanBeRepeated) {
  choose_data_set();
  tick_only({5});
  build_result = false;
  form.btn_convertClick(&form);
  EXPECT_THAT(form.Memo1.Lines, ElementsAre("database abcd1234"));
  EXPECT_TRUE(converted.empty());
  EXPECT_FALSE(form.last_run_completed);
  auto ticks = kNone;
  ticks[5] = true;
  EXPECT_EQ(state_of(form), run_started(ticks));

  // Convert again repeats the attempt.
  build_result = true;
  form.btn_convertClick(&form);
  EXPECT_EQ(built.size(), 2u);
  EXPECT_THAT(converted, ElementsAre(5u));
  EXPECT_TRUE(form.last_run_completed);
}

TEST_F(FormTest, CompletedRunLogsBannersAndResets) {
  choose_data_set();
  tick_only({17, 10, 7, 5, 0});  // ticked in reverse
  form.btn_convertClick(&form);
  EXPECT_THAT(converted, ElementsAre(0u, 5u, 7u, 10u, 17u));
  EXPECT_THAT(built, ElementsAre("abcd1234"));
  const std::string& rule = Tconversion_form::kRule;
  EXPECT_THAT(form.Memo1.Lines, ElementsAre("database abcd1234", rule, "Attempting to start conversions", rule, rule,
                                            "Conversion run complete", rule));
  EXPECT_EQ(state_of(form), choosing(false));
  EXPECT_EQ(form.CDirectoryOutline_Source.Directory, Tconversion_form::kDefaultDirectory);
  EXPECT_EQ(form.old_table_directory, "C:\\MyData\\wk-db\\Quorvel2\\Db\\abcd1234");
  EXPECT_TRUE(form.last_run_completed);
}

// What Verify compares, step by step: the chosen folder when its database
// exists, else the last run's; the ticked tables, else the run's, else all.
TEST_F(FormTest, VerifyTargetFollowsTheFolderTheRunAndTheTicks) {
  using Target = Tconversion_form::VerifyTarget;
  const std::string abcd = "C:\\MyData\\wk-db\\Quorvel2\\Db\\abcd1234";
  const std::string other = "C:\\MyData\\wk-db\\Quorvel2\\Db\\other001";
  const auto make_database = [](const std::string& dbname) {
    touch(qv::platform::map_path(Tconversion_form::destination_file(dbname)));
  };
  std::vector<bool> run_ticks(Tconversion_form::kTables, false), third(Tconversion_form::kTables, false);
  run_ticks[0] = run_ticks[10] = third[3] = true;

  choose_data_set();
  EXPECT_EQ(form.verify_target(), std::nullopt);  // no database yet
  EXPECT_EQ(form.verify_target(true), (Target{abcd, kAll}));  // a server's is not looked for
  tick_only({0, 10});
  form.btn_convertClick(&form);
  EXPECT_EQ(form.verify_target(), std::nullopt);  // the stub made no file
  make_database("abcd1234");
  const struct {
    const char* step;
    std::function<void()> act;
    std::optional<Target> expected;
  } cases[] = {
      {"after the run", [] {}, Target{abcd, run_ticks}},
      {"a folder without a database chosen", [&] { form.CDirectoryOutline_Source.SetDirectory(other); },
       Target{abcd, run_ticks}},
      {"a folder with a database chosen",
       [&] {
         make_database("other001");
         form.CDirectoryOutline_Source.SetDirectory(other + "\\");
       },
       Target{other + "\\", kAll}},
      {"the run's folder accepted again, every table ticked",
       [&] {
         form.CDirectoryOutline_Source.SetDirectory(abcd);
         form.btn_select_directoryClick(&form);
       },
       Target{abcd, kAll}},
      {"one table ticked", [&] { tick_only({3}); }, Target{abcd, third}},
      {"the database gone",
       [&] {
         fs::remove(qv::platform::map_path(Tconversion_form::destination_file("abcd1234")));
         form.btn_resetClick(&form);
       },
       std::nullopt},
  };
  for (const auto& c : cases) {
    c.act();
    EXPECT_EQ(form.verify_target(), c.expected) << c.step;
  }
}

TEST_F(FormTest, AnErrorEndsTheRunWhereItOccurs) {
  choose_data_set();
  steps.on_convert = [this](std::size_t i, const std::string&) {
    converted.push_back(i);
    if (i == 5) throw std::runtime_error("config.db: bad record");
  };
  EXPECT_THROW(form.btn_convertClick(&form), std::runtime_error);
  EXPECT_THAT(converted, ElementsAre(0u, 1u, 2u, 3u, 4u, 5u));
  // One line says where the run stopped; the headless command prints it too.
  EXPECT_THAT(std::vector(form.Memo1.Lines.end() - 3, form.Memo1.Lines.end()),
              ElementsAre("Attempting to start conversions", Tconversion_form::kRule,
                          "The run stopped on an error at CONFIG_4: the database holds the rows written until then."));
  EXPECT_FALSE(form.last_run_completed);
  EXPECT_EQ(state_of(form), run_started(kAll));
}

// A stop request ends the run at the next row of the table being written;
// the form stays as after a refused run, so Convert can be pressed again.
TEST_F(FormTest, StopRequestEndsTheRunAtTheNextRow) {
  choose_data_set();
  std::int64_t rows_after_request = 0;
  steps.on_convert = [&](std::size_t i, const std::string&) {
    converted.push_back(i);
    form.begin_table("T" + std::to_string(i) + "_4", 10);
    for (int row = 1; row <= 10; ++row) {
      if (i == 3 && row == 4) form.request_stop();
      if (form.stop_requested()) ++rows_after_request;
      form.table_progress();
    }
    form.table_progress(true);
  };
  form.btn_convertClick(&form);
  EXPECT_THAT(converted, ElementsAre(0u, 1u, 2u, 3u));
  EXPECT_EQ(rows_after_request, 1);
  EXPECT_EQ(form.Memo1.Lines.back(), "The run was stopped at T3_4: the database holds the rows written until then.");
  EXPECT_TRUE(form.last_run_stopped);
  EXPECT_FALSE(form.last_run_completed);
  EXPECT_EQ(state_of(form), run_started(kAll));
}

TEST_F(FormTest, FolderOutsideADbFolderIsRefusedAtConvert) {
  for (const char* folder : {"MyData/sets/abcd1234", "MyData/db"}) {
    touch(drive.root() / folder / "quorvel2.db");
    boxes.shown.clear();
    form.FormActivate(&form);
    form.CDirectoryOutline_Source.SetDirectory((drive.root() / folder).string());
    form.btn_select_directoryClick(&form);
    ASSERT_TRUE(boxes.shown.empty()) << folder;
    form.Memo1.Add("kept");
    form.btn_convertClick(&form);
    ASSERT_EQ(boxes.shown.size(), 1u) << folder;
    EXPECT_EQ(boxes.shown[0].caption, "DIRECTORY SELECT");
    EXPECT_THAT(boxes.shown[0].text, HasSubstr("not inside a \"db\" folder"));
    EXPECT_THAT(form.Memo1.Lines, ElementsAre("kept"));
    EXPECT_TRUE(built.empty());
    EXPECT_EQ(state_of(form), tables_chosen());
  }
}

// Before a run replaces a database the desktop asks, naming the file, its
// size, its last change and the folders beside the chosen one that write
// the same database.
TEST_F(FormTest, AnEarlierDatabaseIsDescribedForTheQuestion) {
  const std::string chosen = "C:\\MyData\\wk-db\\Quorvel2\\Db\\clientA_2019";
  const fs::path sets = drive.root() / "MyData" / "WK-DB" / "quorvel2" / "db";
  for (const char* folder : {"clientA_2019", "clientA_2020", "ClientA_2021", "clientB_2019", "clientA_"})
    fs::create_directories(sets / folder);
  touch(sets / "clienta_x");  // a file, not a folder
  EXPECT_EQ(form.existing_database(chosen), std::nullopt);

  const fs::path db = qv::platform::map_path(Tconversion_form::destination_file("clienta_"));
  fs::create_directories(db.parent_path());
  std::ofstream(db) << std::string(3 * 1024 * 1024 / 2, 'x');
  const std::optional<qv::ExistingDatabase> e = form.existing_database(chosen);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->file, "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\clienta_.gdb");
  EXPECT_EQ(e->bytes, 3u * 1024 * 1024 / 2);
  EXPECT_THAT(e->changed, ::testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]"));
  EXPECT_THAT(e->sharing, ElementsAre("ClientA_2021", "clientA_", "clientA_2020"));

  const std::string question = Tconversion_form::replace_question(*e);
  EXPECT_THAT(question, HasSubstr(e->file + " is already there (1.5 MB, last changed " + e->changed + ")"));
  EXPECT_THAT(question, HasSubstr("the folders \"ClientA_2021\", \"clientA_\" and \"clientA_2020\" beside this one"));
  EXPECT_EQ(Tconversion_form::folders_sharing_database(chosen + "\\deeper", "clienta_"),
            e->sharing);
  // A folder alone with its name: no folders are named.
  EXPECT_THAT(Tconversion_form::replace_question({.file = "f.gdb", .bytes = 10, .changed = {}, .sharing = {}}),
              ::testing::Not(HasSubstr("folder")));
}

// The desktop's overall progress: the records of every ticked table and
// the time left for them, then the table's place among the ticked ones, the
// time since Convert and, for rows being copied, the rate; while indexes
// build no rate is guessed.
TEST_F(FormTest, ProgressTextPlacesTheTableInTheRun) {
  choose_data_set();
  tick_only({2, 5, 10});
  std::vector<std::string> texts;
  steps.on_convert = [&](std::size_t i, const std::string&) {
    if (i != 5) return;
    qv::TableStats t = form.begin_table("CONFIG_4", 500);
    t.done = 100;
    t.seconds = 2;
    texts.push_back(form.progress_text(t, 62, 1000, 4000));
    texts.push_back(form.progress_text(t, 0.5, 1000, 4000));  // too soon to tell the time left
    t.done = 500;
    texts.push_back(form.progress_text(t, 3725, 5000, 4000));  // more than the headers said
    t.step = Tconversion_form::kBuildingIndexes;
    texts.push_back(form.progress_text(t, 3725));
  };
  form.btn_convertClick(&form);
  EXPECT_THAT(texts, ElementsAre("All tables: 1000 of 4000 records, about 3:06 left; table 1 of 3: CONFIG_4, "
                                 "1:02 elapsed, 50 records/s",
                                 "All tables: 1000 of 4000 records; table 1 of 3: CONFIG_4, 0:00 elapsed, 50 records/s",
                                 "All tables: 4000 of 4000 records; table 1 of 3: CONFIG_4, 1:02:05 elapsed, 250 "
                                 "records/s",
                                 "Table 1 of 3: CONFIG_4, 1:02:05 elapsed"));
}

// After a complete run the view says where the database is and what the
// temporary files take.
TEST_F(FormTest, RunEndNamesTheDatabaseAndTheTemporaryFiles) {
  choose_data_set();
  form.btn_convertClick(&form);
  EXPECT_EQ(form.run_end_text(), "The database is C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\abcd1234.gdb.");
  const fs::path db = qv::platform::map_path(Tconversion_form::destination_file("abcd1234"));
  const fs::path temp = qv::platform::map_path(Tconversion_form::kTempDirectory);
  fs::create_directories(db.parent_path());
  fs::create_directories(temp / "sub");
  std::ofstream(db) << std::string(2048, 'x');
  std::ofstream(temp / "1-js.db") << std::string(1024, 'x');
  std::ofstream(temp / "2-js.db") << std::string(2048, 'x');
  EXPECT_EQ(form.run_end_text(),
            "The database is C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\abcd1234.gdb (2.0 KB). The job-search "
            "temporary files stay in C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp (2 files, 3.0 KB); they may be "
            "deleted.");
}

TEST(DatabaseName, EightCharactersAfterTheFirstDbFolder) {
  auto name = &Tconversion_form::database_name;
  EXPECT_EQ(name("c:\\mydata\\wk-db\\quorvel2\\db\\abcd1234"), "abcd1234");
  EXPECT_EQ(name("C:\\MyData\\wk-db\\Quorvel2\\Db\\ABCD1234\\"), "abcd1234");
  EXPECT_EQ(name("/home/u/MyData/wk-db/quorvel2/db/abcd1234"), "abcd1234");
  EXPECT_EQ(name("c:\\q\\db\\abcdefghijk"), "abcdefgh");
  EXPECT_EQ(name("c:\\q\\db\\abc\\deeper"), "abc");
  EXPECT_EQ(name("c:\\db\\db\\x"), "db");
  const std::string e_acute = "\xc3\xa9";  // one character, two bytes
  std::string eight;
  for (int i = 0; i < 8; ++i) eight += e_acute;
  EXPECT_EQ(name("c:\\q\\db\\" + eight + e_acute), eight);
  // No name to take.
  EXPECT_EQ(name("c:\\mydata\\wk-db\\quorvel2\\abcd1234"), "");
  EXPECT_EQ(name("c:\\mydata\\wk-db\\quorvel2\\db\\"), "");
  EXPECT_EQ(name("c:\\mydata\\wk-db\\quorvel2\\db"), "");
  EXPECT_EQ(name("db\\abcd1234"), "");
  EXPECT_EQ(Tconversion_form::destination_file("abcd1234"), "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\abcd1234.gdb");
}

TEST(Progress, ListenerIsThrottledAndAlwaysToldTheEnd) {
  Tconversion_form form(nullptr);
  std::vector<bool> calls;
  form.on_progress = [&](const qv::TableStats& s, bool finished) {
    EXPECT_EQ(s.table, "CARRIER_4");
    calls.push_back(finished);
  };
  form.table_progress();  // no table yet: nothing to report
  qv::TableStats& s = form.begin_table("CARRIER_4", 1000);
  for (int i = 0; i < 1000; ++i) {
    ++s.done;
    form.table_progress();
  }
  form.table_progress(true);
  ASSERT_FALSE(calls.empty());
  EXPECT_LE(calls.size(), 3u);  // a burst of rows makes at most a call or two
  EXPECT_TRUE(calls.back());
  ASSERT_EQ(form.stats.size(), 1u);
  EXPECT_EQ(form.stats[0].old_rows, 1000);
  EXPECT_GE(form.stats[0].seconds, 0.0);
}

TEST(RunConverter, UnknownIndexIsAnError) {
  Tconversion_form form(nullptr);
  EXPECT_THROW(form.run_converter(18, "abcd1234"), std::out_of_range);
}

}  // namespace

// The run's result says how the run ended, where and why, for the programs
// that read it instead of the boxes and the log.
TEST_F(FormTest, TheResultSaysHowWhereAndWhyTheRunEnded) {
  using Outcome = qv::RunResult::Outcome;
  const std::string holds = "the database holds the rows written until then.";
  qv::platform::FolderLock other_run;
  qv::platform::force_directories(form.temp_directory());
  struct Case {
    const char* name;
    std::function<void()> arrange;  // after the data set is chosen
    Outcome outcome;
    std::string where, why, ending;
  };
  const std::vector<Case> cases = {
      {"completed", [] {}, Outcome::completed, "", "", ""},
      {"no tables", [this] { tick_only({}); }, Outcome::refused, "", "No tables selected", ""},
      // Another run writes its job-search temporary files into the folder.
      {"temporary folder in use", [&] { other_run = qv::platform::FolderLock(form.temp_directory()); },
       Outcome::refused, "", qv::jobsearch::temp_folder_in_use(form), ""},
      {"temporary folder in use, no job-search table",
       [&] {
         other_run = qv::platform::FolderLock(form.temp_directory());
         tick_only({0});
       },
       Outcome::completed, "", "", ""},
      {"database kept", [this] { steps.on_create_database = [](const std::string&) { return false; }; },
       Outcome::refused, "database creation",
       "the database was not created", ""},
      {"error",
       [this] {
         steps.on_convert = [](std::size_t i, const std::string&) {
           if (i == 5) throw std::runtime_error("config.db, row 3: bad record");
         };
       },
       Outcome::failed, "CONFIG_4", "config.db, row 3: bad record",
       "The run stopped on an error at CONFIG_4: " + holds},
      {"stop",
       [this] {
         steps.on_convert = [this](std::size_t i, const std::string&) {
           if (i == 2) form.request_stop();
           form.stop_point(Tconversion_form::destination_table(i));
         };
       },
       Outcome::stopped, "CITY_4", "", "The run was stopped at CITY_4: " + holds},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    steps.on_create_database = nullptr;
    steps.on_convert = nullptr;
    form.withdraw_stop();
    choose_data_set();
    c.arrange();
    try {
      form.btn_convertClick(&form);
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(form.result.outcome, c.outcome);
    EXPECT_EQ(form.result.where, c.where);
    EXPECT_EQ(form.result.why, c.why);
    EXPECT_EQ(form.result.ending, c.ending);
    boxes.shown.clear();
    other_run = {};
  }
  // A run holds the temporary folder while it lasts and lets it go at its end.
  bool held_during_run = false;
  steps.on_convert = [&](std::size_t, const std::string&) {
    held_during_run = qv::platform::FolderLock(form.temp_directory()).busy();
  };
  choose_data_set();
  form.btn_convertClick(&form);
  EXPECT_TRUE(held_during_run);
  EXPECT_TRUE(qv::platform::FolderLock(form.temp_directory()).held());

  form.CDirectoryOutline_Source.SetDirectory("C:\\MyData");
  form.btn_select_directoryClick(&form);
  EXPECT_EQ(form.result.outcome, Outcome::refused);
  EXPECT_EQ(form.result.why, "Doesn't appear to be a valid directory");
}
