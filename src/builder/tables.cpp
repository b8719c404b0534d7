// The table creators and the indexes of the destination database.
#include <stdexcept>

#include "builder/executor.h"
#include "builder/schema.h"
#include "form/conversion_form.h"
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

void create_table(Memo& log, std::string_view table) {
  const TableDef* def = find_table(table);
  if (!def) throw std::logic_error("no definition for table " + std::string(table));
  execute_statement(log, create_log_line(*def), create_statement(*def));
}

}  // namespace builder

void Tconversion_form::create_carrier_4(Sender, std::string) { builder::create_table(Memo1, "CARRIER_4"); }
void Tconversion_form::create_category_4(Sender, std::string) { builder::create_table(Memo1, "CATEGORY_4"); }
void Tconversion_form::create_city_4(Sender, std::string) { builder::create_table(Memo1, "CITY_4"); }
void Tconversion_form::create_comment_4(Sender, std::string) { builder::create_table(Memo1, "COMMENT_4"); }
void Tconversion_form::create_comment_js_4(Sender, std::string) { builder::create_table(Memo1, "COMMENT_JS_4"); }
void Tconversion_form::create_config_4(Sender, std::string) { builder::create_table(Memo1, "CONFIG_4"); }
void Tconversion_form::create_contact_name_4(Sender, std::string) { builder::create_table(Memo1, "CONTACT_NAME_4"); }
void Tconversion_form::create_quorvel_4(Sender, std::string) { builder::create_table(Memo1, "QUORVEL_4"); }
void Tconversion_form::create_item_4(Sender, std::string) { builder::create_table(Memo1, "ITEM_4"); }
void Tconversion_form::create_js_edit_4(Sender, std::string) { builder::create_table(Memo1, "JS_EDIT_4"); }
void Tconversion_form::create_jsearch_4(Sender, std::string) { builder::create_table(Memo1, "JSEARCH_4"); }
void Tconversion_form::create_poscode_4(Sender, std::string) { builder::create_table(Memo1, "POSCODE_4"); }
void Tconversion_form::create_posqual_4(Sender, std::string) { builder::create_table(Memo1, "POSQUAL_4"); }
void Tconversion_form::create_postitle_4(Sender, std::string) { builder::create_table(Memo1, "POSTITLE_4"); }
void Tconversion_form::create_reason_4(Sender, std::string) { builder::create_table(Memo1, "REASON_4"); }
void Tconversion_form::create_stats_jt_4(Sender, std::string) { builder::create_table(Memo1, "STATS_JT_4"); }
void Tconversion_form::create_stats_st_4(Sender, std::string) { builder::create_table(Memo1, "STATS_ST_4"); }
void Tconversion_form::create_time10_4(Sender, std::string) { builder::create_table(Memo1, "TIME10_4"); }

void Tconversion_form::create_indexes_4(Sender, std::string) {
  for (const builder::IndexDef& index : builder::indexes())
    builder::execute_statement(Memo1, std::string(index.log_line), {std::string(index.statement)});
}

}  // namespace qv
