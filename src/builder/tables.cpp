// The table creators and the indexes of the destination database.
#include "builder/executor.h"
#include "builder/schema.h"
#include "form/conversion_form.h"
#include "registry/registry.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace builder {

void execute_statement(Memo& log, const std::string& log_line, const std::vector<std::string>& lines) {
  log.Add(log_line);
  fb::IBSQL& sql = DataModule2->IBSQL1;
  sql.Close();
  sql.SQL.clear();
  sql.Transaction = &DataModule2->IBTransaction1;
  sql.Database = &DataModule2->IBDatabase2;
  for (const std::string& line : lines) sql.SQL.push_back(line);
  sql.Transaction->StartTransaction();
  sql.Prepare();
  if (sql.Prepared()) sql.ExecQuery();
  sql.Transaction->Commit();
}

}  // namespace builder

namespace {

// Creates the destination table of the item `entry` belongs to.
void create_table(Memo& log, registry::Entry entry) {
  const builder::TableDef& def = *registry::item_of(entry).definition;
  builder::execute_statement(log, builder::create_log_line(def), builder::create_statement(def));
}

}  // namespace

using F = Tconversion_form;

void F::create_carrier_4(Sender, std::string) { create_table(Memo1, &F::create_carrier_4); }
void F::create_category_4(Sender, std::string) { create_table(Memo1, &F::create_category_4); }
void F::create_city_4(Sender, std::string) { create_table(Memo1, &F::create_city_4); }
void F::create_comment_4(Sender, std::string) { create_table(Memo1, &F::create_comment_4); }
void F::create_comment_js_4(Sender, std::string) { create_table(Memo1, &F::create_comment_js_4); }
void F::create_config_4(Sender, std::string) { create_table(Memo1, &F::create_config_4); }
void F::create_contact_name_4(Sender, std::string) { create_table(Memo1, &F::create_contact_name_4); }
void F::create_quorvel_4(Sender, std::string) { create_table(Memo1, &F::create_quorvel_4); }
void F::create_item_4(Sender, std::string) { create_table(Memo1, &F::create_item_4); }
void F::create_js_edit_4(Sender, std::string) { create_table(Memo1, &F::create_js_edit_4); }
void F::create_jsearch_4(Sender, std::string) { create_table(Memo1, &F::create_jsearch_4); }
void F::create_poscode_4(Sender, std::string) { create_table(Memo1, &F::create_poscode_4); }
void F::create_posqual_4(Sender, std::string) { create_table(Memo1, &F::create_posqual_4); }
void F::create_postitle_4(Sender, std::string) { create_table(Memo1, &F::create_postitle_4); }
void F::create_reason_4(Sender, std::string) { create_table(Memo1, &F::create_reason_4); }
void F::create_stats_jt_4(Sender, std::string) { create_table(Memo1, &F::create_stats_jt_4); }
void F::create_stats_st_4(Sender, std::string) { create_table(Memo1, &F::create_stats_st_4); }
void F::create_time10_4(Sender, std::string) { create_table(Memo1, &F::create_time10_4); }

void Tconversion_form::create_indexes_4(Sender, std::string) {
  for (const builder::IndexDef& index : builder::indexes())
    builder::execute_statement(Memo1, std::string(index.log_line), {index.statement()});
}

}  // namespace qv
