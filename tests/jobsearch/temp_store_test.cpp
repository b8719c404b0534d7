// The temporary job-search store: numbered files under the alias TEMPDB.
#include <filesystem>

#include <gtest/gtest.h>

#include "jobsearch/jobsearch.h"
#include "jobsearch_fixture.h"
#include "platform/paths.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

using TempStoreTest = JobsearchTest;

TEST_F(TempStoreTest, CreatesNumberedFilesWithTheLayoutAndLogsThem) {
  ASSERT_FALSE(fs::exists(temp_folder()));
  form_.create_jsearch2_table(&form_, 1);
  form_.create_jsearch2_table(&form_, 12);  // the alias is already there: removed and added again
  EXPECT_EQ(form_.Memo1.Lines, (std::vector<std::string>{"Created Temp file 1-js.db", "Created Temp file 12-js.db"}));
  EXPECT_TRUE(temp_exists(1));
  EXPECT_TRUE(temp_exists(12));
  // A person's contacts: only the user may read them, or the folder we made.
  using fs::perms;
  EXPECT_EQ(fs::status(temp_folder()).permissions() & perms::all, perms::owner_all);
  for (const auto& e : fs::directory_iterator(temp_folder()))
    EXPECT_EQ(e.status().permissions() & perms::all, perms::owner_read | perms::owner_write) << e.path();
  EXPECT_FALSE(dm_.PDTable2.Active());
  EXPECT_EQ(dm_.PDTable2.TableName, "12-js.db");
  ASSERT_TRUE(pdx::Session::instance().AliasPath("TEMPDB").has_value());

  pdx::PDTable t;
  t.Directory = temp_folder().string();
  t.TableName = "12-js.db";
  t.Open();
  EXPECT_EQ(t.RecordCount(), 0);
  ASSERT_EQ(t.Fields().size(), jobsearch::kLayout.size());
  for (std::size_t i = 0; i < jobsearch::kLayout.size(); ++i) {
    const auto& want = jobsearch::kLayout[i];
    const auto& got = t.Fields()[i];
    SCOPED_TRACE(got.Name);
    EXPECT_EQ(got.Name, want.name);
    EXPECT_EQ(got.DataType, want.type);
    if (want.type == pdx::FieldType::Alpha) {
      EXPECT_EQ(got.Size, want.size);
    }
    EXPECT_EQ(got.Required, want.required);
  }
}

TEST_F(TempStoreTest, LiesBesideTheDatabaseFolderWhateverTheLetterCase) {
  ASSERT_TRUE(platform::force_directories(Tconversion_form::kDestinationDirectory));  // ...\quorvel4\db
  form_.create_jsearch2_table(&form_, 1);
  EXPECT_TRUE(fs::exists(drive_.root() / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "temp" / "1-js.db"));
  EXPECT_FALSE(fs::exists(drive_.root() / "MyData" / "wk-db" / "intrbase" / "Quorvel4"));
}

TEST_F(TempStoreTest, ReplacesAFileThatHoldsRecords) {
  form_.create_jsearch2_table(&form_, 2);
  auto& t = dm_.PDTable2;
  t.Open();
  t.Append();
  for (const auto& [field, value] : typical_record(1))
    if (field != "PK") t.FieldByName(field).SetAsString(value);
  t.Post();
  t.Close();
  ASSERT_EQ(temp_records(2), 1);

  form_.create_jsearch2_table(&form_, 2);
  EXPECT_EQ(temp_records(2), 0);
}

TEST(RecordsPerFile, IsFiveThousandUnlessATestSaysOtherwise) {
  EXPECT_EQ(jobsearch::records_per_file(), 5000);
  {
    jobsearch::RecordsPerFileForTests small(10);
    EXPECT_EQ(jobsearch::records_per_file(), 10);
  }
  EXPECT_EQ(jobsearch::records_per_file(), 5000);
}

}  // namespace
}  // namespace qv::test
