#include "jobsearch_fixture.h"

#include "jobsearch/jobsearch.h"
#include "paradox/table.h"
#include "platform/paths.h"

namespace qv::test {

namespace {

// The old table's layout: the carried fields of the temporary layout, with a
// numeric key (the old files number their records themselves) and alpha
// fields no wider than `alpha_cap` when it is set.
std::vector<pdx::FieldDef> old_layout(int alpha_cap) {
  std::vector<pdx::FieldDef> defs;
  for (std::size_t i = 0; i < jobsearch::kCarried; ++i) {
    const auto& f = jobsearch::kLayout[i];
    auto type = f.type == pdx::FieldType::AutoInc ? pdx::FieldType::Number : f.type;
    const int size = alpha_cap > 0 && f.size > alpha_cap ? alpha_cap : f.size;
    defs.push_back({std::string(f.name), type, size, 0, false});
  }
  return defs;
}

}  // namespace

OldRecord typical_record(std::int64_t i) {
  const std::string n = std::to_string(i);
  return {{"PK", n},
          {"ACTIVE", i % 2 ? "True" : "False"},
          {"DATE", "03/14/2004"},
          {"YYYYMMDD", "20040314"},
          {"TIME", "09:30"},
          {"CONTACT_NAME", "Contact " + n},
          {"POS_TYPE", "ft"},
          {"POS_CITY", "Denver"},
          {"POS_STATE", "co"},
          {"POS_TITLE", "Clerk"}};
}

JobsearchTest::JobsearchTest(FormSetup setup) : form_(&boxes_, setup) {
  form_.old_table_directory = old_dir_.path().string();
  form_.Memo1.Clear();  // the form starts with its design-time text
}

void JobsearchTest::write_old_table(std::int64_t count, const std::function<OldRecord(std::int64_t)>& record,
                                    int alpha_cap) {
  pdx::PDTable t;
  t.ReadOnly = false;
  t.Directory = old_dir_.path().string();
  t.TableName = "JSEARCH2.db";
  t.FieldDefs = old_layout(alpha_cap);
  t.CreateTable();
  t.Open();
  for (std::int64_t i = 1; i <= count; ++i) {
    t.Append();
    for (const auto& [field, value] : record(i)) t.FieldByName(field).SetAsString(value);
    t.Post();
  }
  t.Close();
}

void JobsearchTest::create_destination(const std::string& dbname) {
  ASSERT_TRUE(form_.check_and_create_database_4(&form_, dbname));
  form_.Memo1.Clear();
  dm_.IBDatabase2.Params = qv::admin_login();
}

std::vector<std::vector<std::optional<std::string>>> JobsearchTest::query(const std::string& sql) {
  auto& db = dm_.IBDatabase2;
  db.Close();
  db.Open();
  return db.Query(sql);
}

std::int64_t JobsearchTest::dest_count() { return std::stoll(query("SELECT COUNT(*) FROM JSEARCH_4").at(0).at(0).value()); }

std::filesystem::path JobsearchTest::temp_folder() const { return platform::map_path(Tconversion_form::kTempDirectory); }

bool JobsearchTest::temp_exists(int number) {
  return std::filesystem::exists(temp_folder() / jobsearch::temp_file_name(number));
}

std::int64_t JobsearchTest::temp_records(int number) {
  pdx::PDTable t;
  t.Directory = temp_folder().string();
  t.TableName = jobsearch::temp_file_name(number);
  t.Open();
  const auto n = t.RecordCount();
  t.Close();
  return n;
}

}  // namespace qv::test
