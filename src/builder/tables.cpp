// The table creators and the indexes of the destination database.
#include <stdexcept>

#include "builder/database.h"
#include "builder/executor.h"
#include "builder/schema.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace builder {

void execute_statement(RunContext& run, const std::string& log_line, const std::vector<std::string>& lines) {
  run.add_log_line(log_line);
  TDataModule2& dm = run.components();
  fb::IBSQL& sql = dm.IBSQL1;
  sql.Close();
  sql.SQL.clear();
  sql.Transaction = &dm.IBTransaction1;
  sql.Database = &dm.IBDatabase2;
  for (const std::string& line : lines) sql.SQL.push_back(line);
  sql.Transaction->StartTransaction();
  sql.Prepare();
  if (sql.Prepared()) sql.ExecQuery();
  sql.Transaction->Commit();
}

void create_table(RunContext& run, std::string_view name) {
  const TableDef* def = find_table(name);
  if (!def) throw std::logic_error("no definition for table " + std::string(name));
  execute_statement(run, create_log_line(*def), create_statement(*def));
}

void create_indexes(RunContext& run) {
  for (const IndexDef& index : indexes()) execute_statement(run, std::string(index.log_line), {index.statement()});
}

}  // namespace builder

}  // namespace qv
