#include "converter_fixture.h"

#include <algorithm>

#include "builder/schema.h"
#include "platform/paths.h"
#include "sample_data.h"

namespace qv::test {

pdx::FieldDef alpha(const std::string& name, int size) { return {name, pdx::FieldType::Alpha, size, 0, false}; }
pdx::FieldDef typed(const std::string& name, pdx::FieldType type) { return {name, type, 0, 0, false}; }

ConverterTest::ConverterTest() {
  form_.old_table_directory = old_dir_.path().string();
  form_.Memo1.Clear();
}

void ConverterTest::write_old(const std::string& file, const std::vector<pdx::FieldDef>& defs, const Rows& rows) {
  sample::write_table(old_dir_.path(), file, defs, rows.size(),
                      [&rows](std::size_t i, std::vector<std::string>& v) { v = rows[i]; });
}

void ConverterTest::write_list(const std::string& file, const std::string& field, const std::vector<std::string>& values) {
  Rows rows;
  for (const auto& v : values) rows.push_back({v});
  write_old(file, {alpha(field, 200)}, rows);
}

void ConverterTest::create_destination(std::initializer_list<const char*> tables) {
  auto& db = DataModule2->IBDatabase2;
  db.Close();
  platform::force_directories(Tconversion_form::kDestinationDirectory);
  db.Params = {"USER 'SYSDBA'", "PASSWORD 'tarnwheel'", "PAGE_SIZE 4096"};
  db.DatabaseName = Tconversion_form::destination_file(kDb);
  db.CreateDatabase();
  for (const char* name : tables) {
    std::string sql;
    for (const auto& line : builder::create_statement(*builder::find_table(name))) sql += line + "\r\n";
    db.ExecuteImmediate(sql);
  }
  db.Close();
}

Result ConverterTest::query(const std::string& sql) {
  auto& db = DataModule2->IBDatabase2;
  db.Close();
  db.Open();
  return db.Query(sql);
}

std::vector<std::string> ConverterTest::column(const std::string& sql) {
  std::vector<std::string> out;
  for (const auto& row : query(sql)) {
    std::string v = row.at(0).value_or("<null>");
    v.erase(v.find_last_not_of(' ') + 1);
    out.push_back(v);
  }
  return out;
}

std::vector<std::string> ConverterTest::log_from(const std::string& first) const {
  const auto& lines = form_.Memo1.Lines;
  auto it = std::find(lines.begin(), lines.end(), first);
  return {it, lines.end()};
}

}  // namespace qv::test
