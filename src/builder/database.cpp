// Creation of the destination database: an earlier file of the same name is
// removed (unless something else has it open), then the file, its tables
// and its indexes are created.
#include <sys/stat.h>

#include <fmt/format.h>

#include <filesystem>
#include <stdexcept>

#include "builder/database.h"
#include "builder/schema.h"
#include "datamodule/datamodule.h"
#include "platform/paths.h"
#include "run/log_lines.h"

namespace qv::builder {

namespace {

// The name becomes part of a file path inside the destination folder; it
// must not lead anywhere else.
void check_database_name(const std::string& dbname) {
  if (dbname.empty() || dbname.find_first_of("\\/") != std::string::npos ||
      dbname.find("..") != std::string::npos)
    throw std::runtime_error("Database name \"" + dbname +
                             "\" is not a plain file name (empty, or holding \"\\\", \"/\" or \"..\"): "
                             "no database was created");
}

// Forced writes off for the life of the object, or until end().
class BulkLoad {
 public:
  explicit BulkLoad(fb::IBDatabase& db) : db_(db) { db_.set_bulk_load(true); }
  ~BulkLoad() {
    try {
      end();
    } catch (const std::exception&) {
      // An error is already on its way; closing the connection retries.
    }
  }
  BulkLoad(const BulkLoad&) = delete;
  BulkLoad& operator=(const BulkLoad&) = delete;
  void end() {
    if (on_) db_.set_bulk_load(false);
    on_ = false;
  }

 private:
  fb::IBDatabase& db_;
  bool on_ = true;
};

// Removes an earlier local database file of the run; false when it stays
// (`odd` then says what is there when it is no database file).
bool remove_local_file(fb::IBDatabase& db, const std::string& dbname, std::string& odd) {
  platform::force_directories(RunContext::kDestinationDirectory);
  const std::string file = RunContext::destination_file(dbname);
  // A link in place of the database goes as a link: the file it points to
  // is never written. Anything else that is no regular file stays.
  if (const auto kind = RunContext::odd_file_kind(file); kind == "a symbolic link") {
    std::error_code ec;
    std::filesystem::remove(platform::map_path(file), ec);
  } else if (!kind.empty()) {
    odd = log_lines::odd_file(file, kind);
    return false;
  }
  if (!platform::file_exists(file)) return true;
  // The connection of an earlier run may still be open on this file.
  db.Close();
  // A file another program has open stays: deleting it here would let
  // that program go on writing to a file nobody can reach any more.
  return !(platform::file_locked(file) || (!platform::delete_file(file) && platform::file_exists(file)));
}

// Drops an earlier database of the run through the server; false when
// another attachment holds it.
bool drop_on_server(fb::IBDatabase& db, const std::string& dbname, const ServerDestination& server) {
  // Through the server, which knows whether another attachment holds it.
  db.Close();
  RunContext::aim_at_database(db, dbname, &server);
  try {
    db.DropDatabase();
    return true;
  } catch (const fb::Error& e) {
    if (!e.is_in_use()) throw;
    return false;
  }
}

// What the log says when an earlier database stays; `odd` names what is in
// its place when that is no database file.
void refuse_earlier_database(RunContext& run, const std::string& odd) {
  run.add_log_line(std::string(log_lines::kAlreadyExists));
  run.add_log_line(std::string(log_lines::kRenameOrDelete));
  if (!odd.empty()) run.add_log_line(odd);
  run.refuse(odd.empty() ? std::string(log_lines::kAlreadyExists) : odd);
}

}  // namespace

bool create_database(RunContext& run, const std::string& dbname) {
  check_database_name(dbname);
  run.clear_log();
  log_lines::add_block(run, {log_lines::kCheckingDatabase, log_lines::kWillDelete});

  TDataModule2& dm = run.components();
  const ServerDestination* server = dm.Server ? &*dm.Server : nullptr;
  fb::IBDatabase& db = dm.IBDatabase2;
  std::string odd;
  if (server ? !drop_on_server(db, dbname, *server) : !remove_local_file(db, dbname, odd)) {
    refuse_earlier_database(run, odd);
    return false;
  }

  db.Close();
  db.Params.clear();
  db.Params.push_back("USER 'SYSDBA'");
  db.Params.push_back(fmt::format("PASSWORD '{}'", kAdminPassword));
  db.Params.push_back("PAGE_SIZE 4096");
  RunContext::aim_at_database(db, dbname, server);
  db.LoginPrompt = false;
  // The new file is written without waiting on the disk for every statement;
  // closing it below makes it durable.
  BulkLoad bulk(db);
  // Once more just before the engine creates the file: nothing may have
  // appeared there meanwhile.
  std::error_code ec;
  const std::string file = RunContext::destination_file(dbname);
  if (!server &&
      std::filesystem::symlink_status(platform::map_path(file), ec).type() != std::filesystem::file_type::not_found) {
    const std::string kind = RunContext::odd_file_kind(file);
    refuse_earlier_database(run, log_lines::odd_file(file, kind.empty() ? "a file that appeared during the run" : kind));
    return false;
  }
  db.CreateDatabase();
  run.run_created_database = true;

  log_lines::add_block(run, {log_lines::kCreatingTables});
  for (const TableDef& table : schema()) {
    run.stop_point(std::string(table.name));
    create_table(run, table.name);
  }

  log_lines::add_block(run, {log_lines::kCreatingIndexes});
  create_indexes(run);

  bulk.end();
  db.Close();
  return true;
}

}  // namespace qv::builder
