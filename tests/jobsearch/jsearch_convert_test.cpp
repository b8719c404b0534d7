// The job-search converter: split into temporary files, load with new keys.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run/row_errors.h"
#include "firebird/ib.h"
#include "jobsearch/jobsearch.h"
#include "paradox/table.h"
#include "registry/values.h"
#include "jobsearch_fixture.h"

namespace qv::test {
namespace {

using Lines = std::vector<std::string>;

std::string rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// The lines every connected run starts with.
Lines opening(std::int64_t n) {
  Lines l{"JSEARCH table...........", "---->Record Count in old table: " + std::to_string(n)};
  for (auto e : jobsearch::kExplanation) l.emplace_back(e);
  l.emplace_back("Step 1 create empty temporary files in C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp");
  return l;
}

class ConvertTest : public JobsearchTest {
 protected:
  using JobsearchTest::JobsearchTest;
  void SetUp() override {
    create_destination("abcd1234");
    form_.Edit1.on_repaint = [this] { shown_.push_back(form_.Edit1.Text); };
  }
  void convert() { form_.convert_jsearch_4(&form_, "abcd1234"); }

  Lines shown_;
};

// One row of the split table, with files of 5000 records.
struct Split {
  std::int64_t n;
  std::vector<std::int64_t> per_file;  // after Step 2, one entry per file created
  int step2_files;                     // files Step 2 announces
};

class SplitTest : public ConvertTest, public ::testing::WithParamInterface<Split> {};

TEST_P(SplitTest, FilesLogKeysAndProgressFollowTheSplitRule) {
  const Split& c = GetParam();
  write_old_table(c.n);
  convert();

  const int files = static_cast<int>(c.per_file.size());
  Lines want = opening(c.n);
  for (int f = 1; f <= files; ++f) want.push_back("Created Temp file " + std::to_string(f) + "-js.db");
  want.emplace_back("Step 2 - copying records into temporary files, original file isn't changed");
  for (int f = 1; f <= c.step2_files; ++f) want.push_back("----->Loading Temp file " + std::to_string(f) + "-js.db");
  want.emplace_back("Step 3 - Copying records into JSEARCH_4");
  for (int f = 1; f <= files; ++f) want.push_back("----->Loading Temp file " + std::to_string(f) + "-js.db into new table");
  EXPECT_EQ(form_.Memo1.Lines, want);

  for (int f = 1; f <= files; ++f) EXPECT_EQ(temp_records(f), c.per_file[f - 1]) << "file " << f;
  EXPECT_FALSE(temp_exists(files + 1));

  // Keys 1..n without a gap, in the old table's order.
  const auto rows = query("SELECT PK, CONTACT_NAME FROM JSEARCH_4 ORDER BY PK");
  ASSERT_EQ(static_cast<std::int64_t>(rows.size()), c.n);
  for (std::int64_t i = 1; i <= c.n; ++i) {
    const auto& r = rows[i - 1];
    EXPECT_EQ(std::stod(r[0].value()), static_cast<double>(i));
    EXPECT_EQ(rtrim(r[1].value()), "CONTACT " + std::to_string(i));
  }

  // 1 on connecting; n once file 1 exists; r + 2 per record of Step 1; then
  // 1 and k + 1 per record in Step 2 and again in Step 3.
  Lines progress{"1", std::to_string(c.n)};
  for (std::int64_t r = 1; r <= c.n; ++r) progress.push_back(std::to_string(r + 2));
  for (int step = 2; step <= 3; ++step) {
    progress.emplace_back("1");
    for (std::int64_t k = 1; k <= c.n; ++k) progress.push_back(std::to_string(k + 1));
  }
  EXPECT_EQ(shown_, progress);

  ASSERT_EQ(form_.stats.size(), 1u);
  EXPECT_EQ(form_.stats[0].table, "JSEARCH_4");
  EXPECT_EQ(form_.stats[0].old_rows, c.n);
  EXPECT_EQ(form_.stats[0].done, c.n);
  EXPECT_EQ(form_.stats[0].new_rows, c.n);
  EXPECT_FALSE(dm_.IBTable1.Active());
  EXPECT_FALSE(dm_.PDTable1.Active());
  EXPECT_FALSE(dm_.PDTable2.Active());
}

INSTANTIATE_TEST_SUITE_P(RealSize, SplitTest,
                         ::testing::Values(Split{0, {0}, 1}, Split{3, {3}, 1}, Split{4997, {4997}, 1},
                                           Split{4998, {4998, 0}, 1}, Split{5000, {5000, 0}, 2},
                                           Split{5001, {5000, 1}, 2}, Split{9998, {5000, 4998, 0}, 2},
                                           Split{12345, {5000, 5000, 2345}, 3}),
                         [](const auto& p) { return "N" + std::to_string(p.param.n); });

TEST_F(ConvertTest, ValuesAreRekeyedUpperCasedAndFlagsSpelledOut) {
  const std::string comment(200, 'c');
  write_old_table(3, [&](std::int64_t i) {
    OldRecord r = typical_record(i);
    r.erase("ACTIVE");
    if (i == 1) {
      r["PK"] = "7";
      r["CONTACT_NAME"] = "Smith";
      r["ITEM_FILE"] = "c:\\letters\\cover.doc";
      r["COMMENT"] = comment;
      r["POS_CITY"] = "Montréal";
      r["REFNUM"] = "12.5";
      r["ACTIVE_CHANGED"] = "02/01/2004";
    } else {
      r["PK"] = i == 2 ? "9" : "12";
      const std::string flag = i == 2 ? "True" : "False";
      r["ACTIVE"] = r["EMAIL"] = r["SUBMITTED"] = flag;
    }
    return r;
  });
  std::vector<TableStats> finished;
  form_.on_progress = [&](const TableStats& s, bool done) {
    if (done) finished.push_back(s);
  };
  const auto old_file = old_dir_ / "JSEARCH2.db";
  const std::string before = slurp(old_file);
  convert();
  EXPECT_EQ(slurp(old_file), before);

  const auto rows = query(
      "SELECT PK, ACTIVE_, EMAIL, SUBMITTED, CONTACT_NAME, ITEM_FILE, COMMENT, POS_CITY, POS_TYPE, POS_STATE, "
      "YYYYMMDD, TIME_, POS_TITLE, REFNUM, ACTIVE_CHANGED, DATE_, MEMO, FINALIZED, FINAL_COMMENT "
      "FROM JSEARCH_4 ORDER BY PK");
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(std::stod(rows[i][0].value()), static_cast<double>(i + 1));

  const auto& first = rows[0];
  for (int c = 1; c <= 3; ++c) EXPECT_EQ(rtrim(first[c].value()), "FALSE") << "column " << c;
  EXPECT_EQ(rtrim(first[4].value()), "SMITH");
  EXPECT_EQ(rtrim(first[5].value()), "C:\\LETTERS\\COVER.DOC");
  EXPECT_EQ(first[6].value(), std::string(80, 'C'));
  EXPECT_EQ(rtrim(first[7].value()), "MONTRÉAL");
  EXPECT_EQ(first[8].value(), "FT");
  EXPECT_EQ(first[9].value(), "CO");
  EXPECT_EQ(first[10].value(), "20040314");
  EXPECT_EQ(first[11].value(), "09:30");
  EXPECT_EQ(rtrim(first[12].value()), "CLERK");
  EXPECT_EQ(std::stod(first[13].value()), 12.5);
  EXPECT_TRUE(first[14].has_value());
  EXPECT_TRUE(first[15].has_value());
  for (int c = 16; c <= 18; ++c) EXPECT_FALSE(rows[0][c].has_value()) << "column " << c;

  for (int c = 1; c <= 3; ++c) {
    EXPECT_EQ(rtrim(rows[1][c].value()), "TRUE") << "column " << c;
    EXPECT_EQ(rtrim(rows[2][c].value()), "FALSE") << "column " << c;
  }
  EXPECT_FALSE(rows[1][13].has_value());  // no reference number
  EXPECT_EQ(temp_records(1), 3);

  Lines want = opening(3);
  for (const char* l : {"Created Temp file 1-js.db", "Step 2 - copying records into temporary files, original file isn't changed",
                        "----->Loading Temp file 1-js.db", "Step 3 - Copying records into JSEARCH_4",
                        "----->Loading Temp file 1-js.db into new table", "---->Values shortened to fit their columns: 1"})
    want.emplace_back(l);
  EXPECT_EQ(form_.Memo1.Lines, want);
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].new_rows, 3);
  EXPECT_EQ(finished[0].shortened, 1);
}

// A record the temporary file refuses ends the run in Step 2, naming the old
// row and field, before any destination row is written.
class MissingRequiredTest : public ConvertTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingRequiredTest, EndsTheRunBeforeAnyDestinationRow) {
  const std::string field = GetParam();
  write_old_table(3, [&](std::int64_t i) {
    OldRecord r = typical_record(i);
    if (i == 2) r.erase(field);
    return r;
  });
  try {
    convert();
    FAIL() << "converted a record without " << field;
  } catch (const std::exception& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("JSEARCH2.db"), std::string::npos) << what;
    EXPECT_NE(what.find("row 2"), std::string::npos) << what;
    EXPECT_NE(what.find(field), std::string::npos) << what;
  }
  EXPECT_EQ(form_.Memo1.Lines.back(), "----->Loading Temp file 1-js.db");
  EXPECT_EQ(dest_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Fields, MissingRequiredTest,
                         ::testing::Values("DATE", "YYYYMMDD", "TIME", "CONTACT_NAME", "POS_TYPE", "POS_CITY", "POS_STATE"));

TEST_F(ConvertTest, ALoadErrorNamesTheTemporaryFileRowAndColumn) {
  dm_.IBDatabase2.Open();
  dm_.IBDatabase2.ExecuteImmediate("ALTER TABLE JSEARCH_4 DROP ITEM_FILE");
  write_old_table(2);
  try {
    convert();
    FAIL() << "loaded into a table without ITEM_FILE";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("1-js.db, row 1, ITEM_FILE"), std::string::npos) << e.what();
  }
  // Step 2 ran to its end before the failure was reported.
  EXPECT_EQ(temp_records(1), 2);
  EXPECT_EQ(form_.Memo1.Lines.back(), "----->Loading Temp file 1-js.db into new table");
}

// The records are loaded while the files are written (several batches
// reach the loader before the last record): a failure there still leaves
// the table empty.
TEST_F(ConvertTest, AFailureWhileTheFilesAreWrittenLeavesTheTableEmpty) {
  const std::int64_t n = 3000;
  write_old_table(n, [&](std::int64_t i) {
    OldRecord r = typical_record(i);
    if (i == n) r.erase("POS_CITY");
    return r;
  });
  EXPECT_THROW(convert(), std::exception);
  EXPECT_EQ(form_.Memo1.Lines.back(), "----->Loading Temp file 1-js.db");
  EXPECT_EQ(dest_count(), 0);
}

// A stop while the files are written leaves the table empty; a stop while
// the records are loaded leaves the rows the figures count, and no other.
class StopTest : public ConvertTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StopTest, TheTableHoldsWhatTheFiguresSay) {
  const std::string at = GetParam();
  write_old_table(3000);
  form_.on_progress = [&](const TableStats& s, bool) {
    if (s.step == at) form_.request_stop();
  };
  EXPECT_THROW(convert(), RunStopped);
  ASSERT_EQ(form_.stats.size(), 1u);
  const std::int64_t rows = dest_count();
  EXPECT_EQ(rows, form_.stats[0].new_rows);
  if (at == "step 2 of 3: writing temporary files") {
    EXPECT_EQ(rows, 0);
    EXPECT_EQ(form_.Memo1.Lines.back(), "----->Loading Temp file 1-js.db");
  } else {
    EXPECT_EQ(form_.Memo1.Lines.back(), "----->Loading Temp file 1-js.db into new table");
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, StopTest,
                         ::testing::Values("step 2 of 3: writing temporary files", "step 3 of 3: loading records"),
                         [](const auto& p) { return std::string(p.param).substr(0, 6) == "step 2" ? "Step2" : "Step3"; });

class FiveRecordFiles : public ConvertTest {
 protected:
  FiveRecordFiles() : ConvertTest({.records_per_temp_file = 5}) {}
};

TEST_F(FiveRecordFiles, ALaterRunReplacesTheFilesItNeedsAndLeavesTheRest) {
  write_old_table(12);
  convert();
  ASSERT_EQ(temp_records(1), 5);
  ASSERT_EQ(temp_records(2), 5);
  ASSERT_EQ(temp_records(3), 2);

  create_destination("efgh5678");
  write_old_table(3);
  form_.Memo1.Clear();
  form_.convert_jsearch_4(&form_, "efgh5678");
  // Three records need two files (a new one begins at the third record of
  // five): both are replaced, file 3 of the earlier run stays as it was.
  EXPECT_EQ(temp_records(1), 3);
  EXPECT_EQ(temp_records(2), 0);
  EXPECT_EQ(temp_records(3), 2);
  EXPECT_EQ(dest_count(), 3);
  EXPECT_EQ(form_.Memo1.Lines.back(), "----->Loading Temp file 2-js.db into new table");
}

// Records are loaded as they are written, not read back from the files: the
// table must hold, row by row, what the temporary files hold, loaded the
// documented way (fresh keys, flags without a value spelled out, upper
// case), whatever form the old values had.
TEST_F(FiveRecordFiles, TheTableHoldsWhatTheTemporaryFilesHold) {
  const char* refnums[] = {"12.5", "-3", "1e3", "0.1", "123456789.125", "", " 7 ", "+4.000"};
  const char* flags[] = {"T", "yes", "0", "", "False", "true"};
  const char* dates[] = {"2/1/2004", "12/31/1999", "2004-03-05", "03/14/2004 08:30", ""};
  const char* names[] = {"Zoë Ærø", "straße", "  padded  ", "O'Neil", "Montréal Œuvre"};
  write_old_table(13, [&](std::int64_t i) {
    OldRecord r = typical_record(i);
    const auto k = static_cast<std::size_t>(i);
    r["PK"] = std::to_string(100 - i);
    r["REFNUM"] = refnums[k % std::size(refnums)];
    r["ACTIVE"] = flags[k % std::size(flags)];
    r["EMAIL"] = flags[(k + 1) % std::size(flags)];
    r["SUBMITTED"] = flags[(k + 2) % std::size(flags)];
    r["ACTIVE_CHANGED"] = dates[k % std::size(dates)];
    r["DATE"] = dates[k % (std::size(dates) - 1)];
    r["CONTACT_NAME"] = names[k % std::size(names)];
    r["COMMENT"] = std::string(100 + i * 10, static_cast<char>('a' + i));  // wider than its column
    r["ITEM_FILE"] = i % 2 ? "c:\\letters\\" + std::to_string(i) + ".doc" : "";
    return r;
  });
  convert();

  std::vector<std::string> columns;
  for (std::size_t i = 0; i < jobsearch::kCarried; ++i) columns.emplace_back(jobsearch::kLayout[i].dest_column);
  dm_.IBDatabase2.Close();  // commits the load
  dm_.IBDatabase2.Open();
  fb::IBTypedReader table(dm_.IBDatabase2, "JSEARCH_4", columns, "PK");
  fb::TypedRow want, got;
  std::int64_t key = 0;
  for (int file = 1; temp_exists(file); ++file) {
    pdx::PDTable temp;
    temp.Directory = temp_folder().string();
    temp.TableName = jobsearch::temp_file_name(file);
    temp.Open();
    for (; !temp.Eof(); temp.Next()) {
      std::vector<std::string> texts{std::to_string(++key)};
      for (std::size_t i = 1; i < jobsearch::kCarried; ++i) {
        const auto& f = jobsearch::kLayout[i];
        texts.push_back(registry::loaded_text(f, temp.FieldByName(f.name).AsString()));
      }
      table.Convert(texts, want);
      ASSERT_TRUE(table.Next(got)) << "no row for record " << key;
      for (std::size_t c = 0; c < columns.size(); ++c)
        EXPECT_EQ(got[c], want[c]) << temp.TableName << ", record " << temp.RecNo() << ", " << columns[c] << ": "
                                   << table.Display(c, got[c]) << " instead of " << table.Display(c, want[c]);
    }
  }
  EXPECT_EQ(key, 13);
  EXPECT_FALSE(table.Next(got)) << "a row beyond the temporary files' records";
}

// Records sent several to a call fail as records sent one by one: named by
// their own temporary file and row when the call also held records of the
// file before, with the same counts and stored rows.
TEST_F(FiveRecordFiles, SeveralRecordsPerCallFailAsOneByOne) {
  write_old_table(11);
  struct Outcome {
    std::string end;
    std::int64_t done = 0, new_rows = 0;
    std::vector<std::vector<std::optional<std::string>>> keys;
    bool operator==(const Outcome&) const = default;
  };
  const auto run = [&](int per_call, int clash) {
    dm_.IBDatabase2.Close();
    dm_.IBDatabase2.Open();
    dm_.IBDatabase2.ExecuteImmediate("DELETE FROM JSEARCH_4");
    if (clash) dm_.IBDatabase2.ExecuteImmediate("INSERT INTO JSEARCH_4 (PK) VALUES (" + std::to_string(clash) + ")");
    dm_.IBDatabase2.RowsPerCall = per_call;
    Outcome o;
    try {
      convert();
    } catch (const std::exception& e) {
      o.end = e.what();
    }
    o.done = form_.stats.back().done;
    o.new_rows = form_.stats.back().new_rows;
    o.keys = query("SELECT PK FROM JSEARCH_4 ORDER BY PK");
    return o;
  };
  // Four to a call: records 1-4, 5-8, then 9 to 11 at the end.
  for (int clash : {4, 6, 10, 0}) {
    const Outcome one = run(1, clash);
    EXPECT_EQ(run(4, clash), one) << "clash at record " << clash;
    EXPECT_EQ(one.end.empty(), clash == 0) << one.end;
    EXPECT_EQ(one.keys.size(), clash ? static_cast<std::size_t>(clash) : 11u);
  }
}

// A run that leaves refused records out: one the temporary file refuses
// never gets a key (the keys after it close up); one the table refuses
// (a key already there) is left out alone, sent one to a call or several.
struct RecordedRows {
  std::vector<conv::RefusedRow> rows;
  conv::RowErrors errors{0, [this](const conv::RefusedRow& r) { rows.push_back(r); }};
};

class SkippingFiveRecordFiles : protected RecordedRows, public ConvertTest {
 protected:
  SkippingFiveRecordFiles() : ConvertTest({.records_per_temp_file = 5, .row_errors = &errors}) {}
};

TEST_F(SkippingFiveRecordFiles, RefusedRecordsAreLeftOutAndTheRestLoaded) {
  write_old_table(11, [](std::int64_t i) {
    OldRecord r = typical_record(i);
    if (i == 3) r.erase("POS_CITY");
    return r;
  });
  for (const int per_call : {1, 4}) {
    SCOPED_TRACE(per_call);
    rows.clear();
    dm_.IBDatabase2.Close();
    dm_.IBDatabase2.Open();
    dm_.IBDatabase2.ExecuteImmediate("DELETE FROM JSEARCH_4");
    dm_.IBDatabase2.ExecuteImmediate("INSERT INTO JSEARCH_4 (PK) VALUES (6)");  // old record 7's key
    dm_.IBDatabase2.RowsPerCall = per_call;
    convert();
    const TableStats& t = form_.stats.back();
    EXPECT_EQ(t.refused, 2);
    EXPECT_EQ(t.new_rows, 9);
    EXPECT_EQ(t.done, 11);
    EXPECT_EQ(dest_count(), 10);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].old_file + " " + std::to_string(rows[0].row), "JSEARCH2.db 3");
    EXPECT_EQ(rows[1].old_file + " " + std::to_string(rows[1].row), "JSEARCH2.db 7");
    // File 1 holds records 1, 2, 4 and 5; file 2 begins at record 6.
    EXPECT_NE(rows[1].reason.find("2-js.db, row 2"), std::string::npos) << rows[1].reason;
    const auto names = query("SELECT CAST(PK AS INTEGER), TRIM(CONTACT_NAME) FROM JSEARCH_4 ORDER BY PK");
    std::vector<std::string> keyed;
    for (const auto& row : names) keyed.push_back(row[0].value_or("") + " " + row[1].value_or("-"));
    EXPECT_EQ(keyed, (std::vector<std::string>{"1 CONTACT 1", "2 CONTACT 2", "3 CONTACT 4", "4 CONTACT 5",
                                               "5 CONTACT 6", "6 -", "7 CONTACT 8", "8 CONTACT 9", "9 CONTACT 10",
                                               "10 CONTACT 11"}));
  }
}

}  // namespace
}  // namespace qv::test
