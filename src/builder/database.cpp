// Creation of the destination database: an earlier file of the same name is
// removed (unless something else has it open), then the file, its tables
// and its indexes are created.
#include <sys/stat.h>

#include <fmt/format.h>

#include <filesystem>
#include <stdexcept>

#include "form/conversion_form.h"
#include "platform/paths.h"
#include "registry/registry.h"
#include "datamodule/datamodule.h"

namespace qv {

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

}  // namespace

std::string Tconversion_form::odd_file_kind(const std::string& file) {
  struct stat st {};
  if (::lstat(platform::map_path(file).c_str(), &st) != 0) return {};
  switch (st.st_mode & S_IFMT) {
    case S_IFREG: return {};
    case S_IFLNK: return "a symbolic link";
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return "a file of an unknown kind";
  }
}

void Tconversion_form::refuse_odd_file(const std::string& file, const std::string& kind) {
  Memo1.Add("Database already exists, not attempting to create");
  Memo1.Add("You must rename or delete this database before trying again");
  Memo1.Add(odd_file_line(file, kind));
}

std::string Tconversion_form::odd_file_line(const std::string& file, const std::string& kind) {
  return "In place of the database " + file + " is " + kind + ", not a database file";
}

bool Tconversion_form::remove_local_file(const std::string& dbname, std::string& odd) {
  platform::force_directories(kDestinationDirectory);
  const std::string file = destination_file(dbname);
  fb::IBDatabase& db = DataModule2->IBDatabase2;
  // A link in place of the database goes as a link: the file it points to
  // is never written. Anything else that is no regular file stays.
  if (const auto kind = odd_file_kind(file); kind == "a symbolic link") {
    std::error_code ec;
    std::filesystem::remove(platform::map_path(file), ec);
  } else if (!kind.empty()) {
    odd = odd_file_line(file, kind);
    return false;
  }
  if (!platform::file_exists(file)) return true;
  // The connection of an earlier run may still be open on this file.
  db.Close();
  // A file another program has open stays: deleting it here would let
  // that program go on writing to a file nobody can reach any more.
  return !(platform::file_locked(file) || (!platform::delete_file(file) && platform::file_exists(file)));
}

bool Tconversion_form::drop_on_server(fb::IBDatabase& db, const std::string& dbname, const ServerDestination& server) {
  // Through the server, which knows whether another attachment holds it.
  db.Close();
  aim_at_database(db, dbname, &server);
  try {
    db.DropDatabase();
    return true;
  } catch (const fb::Error& e) {
    if (!e.is_in_use()) throw;
    return false;
  }
}

bool Tconversion_form::check_and_create_database_4(Sender, std::string dbname) {
  check_database_name(dbname);
  Memo1.Clear();
  Memo1.Add(kRule);
  Memo1.Add("Checking for database, and creating if necessary");
  Memo1.Add("If destination database exits, I will delete it......");
  Memo1.Add(kRule);

  const ServerDestination* server = DataModule2->Server ? &*DataModule2->Server : nullptr;
  fb::IBDatabase& db = DataModule2->IBDatabase2;
  std::string odd;
  if (server ? !drop_on_server(db, dbname, *server) : !remove_local_file(dbname, odd)) {
    Memo1.Add("Database already exists, not attempting to create");
    Memo1.Add("You must rename or delete this database before trying again");
    if (!odd.empty()) Memo1.Add(odd);
    return false;
  }

  db.Close();
  db.Params.clear();
  db.Params.push_back("USER 'SYSDBA'");
  db.Params.push_back(fmt::format("PASSWORD '{}'", kAdminPassword));
  db.Params.push_back("PAGE_SIZE 4096");
  aim_at_database(db, dbname, server);
  db.LoginPrompt = false;
  // The new file is written without waiting on the disk for every statement;
  // closing it below makes it durable.
  BulkLoad bulk(db);
  // Once more just before the engine creates the file: nothing may have
  // appeared there meanwhile.
  std::error_code ec;
  const std::string file = destination_file(dbname);
  if (!server &&
      std::filesystem::symlink_status(platform::map_path(file), ec).type() != std::filesystem::file_type::not_found) {
    const std::string kind = odd_file_kind(file);
    refuse_odd_file(file, kind.empty() ? "a file that appeared during the run" : kind);
    return false;
  }
  db.CreateDatabase();
  run_created_database = true;

  Memo1.Add(kRule);
  Memo1.Add("Creating tables");
  Memo1.Add(kRule);
  for (const registry::Item& item : registry::items()) {
    stop_point(item.dest_table);
    (this->*item.create)(this, db.DatabaseName);
  }

  Memo1.Add(kRule);
  Memo1.Add("Creating indexes");
  Memo1.Add(kRule);
  create_indexes_4(this, db.DatabaseName);

  bulk.end();
  db.Close();
  return true;
}

}  // namespace qv
