// Creation of the destination database: an earlier file of the same name is
// removed (unless something else has it open), then the file, its tables
// and its indexes are created.
#include <array>
#include <stdexcept>

#include "form/conversion_form.h"
#include "platform/paths.h"
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

using Creator = void (Tconversion_form::*)(Sender, std::string);

constexpr std::array<Creator, Tconversion_form::kTables> kTableCreators = {
    &Tconversion_form::create_carrier_4,     &Tconversion_form::create_category_4,
    &Tconversion_form::create_city_4,        &Tconversion_form::create_comment_4,
    &Tconversion_form::create_comment_js_4,  &Tconversion_form::create_config_4,
    &Tconversion_form::create_contact_name_4, &Tconversion_form::create_quorvel_4,
    &Tconversion_form::create_item_4,        &Tconversion_form::create_js_edit_4,
    &Tconversion_form::create_jsearch_4,     &Tconversion_form::create_poscode_4,
    &Tconversion_form::create_posqual_4,     &Tconversion_form::create_postitle_4,
    &Tconversion_form::create_reason_4,      &Tconversion_form::create_stats_jt_4,
    &Tconversion_form::create_stats_st_4,    &Tconversion_form::create_time10_4,
};

}  // namespace

bool Tconversion_form::check_and_create_database_4(Sender, std::string dbname) {
  check_database_name(dbname);
  Memo1.Clear();
  Memo1.Add(kRule);
  Memo1.Add("Checking for database, and creating if necessary");
  Memo1.Add("If destination database exits, I will delete it......");
  Memo1.Add(kRule);

  platform::force_directories(kDestinationDirectory);
  const std::string file = destination_file(dbname);
  fb::IBDatabase& db = DataModule2->IBDatabase2;
  bool present = platform::file_exists(file);
  if (present) {
    // The connection of an earlier run may still be open on this file.
    db.Close();
    // A file another program has open stays: deleting it here would let
    // that program go on writing to a file nobody can reach any more.
    present = platform::file_locked(file) || (!platform::delete_file(file) && platform::file_exists(file));
  }
  if (present) {
    Memo1.Add("Database already exists, not attempting to create");
    Memo1.Add("You must rename or delete this database before trying again");
    return false;
  }

  db.Close();
  db.Params.clear();
  db.Params.push_back("USER 'SYSDBA'");
  db.Params.push_back("PASSWORD 'tarnwheel'");
  db.Params.push_back("PAGE_SIZE 4096");
  db.DatabaseName = file;
  db.LoginPrompt = false;
  // The new file is written without waiting on the disk for every statement;
  // closing it below makes it durable.
  BulkLoad bulk(db);
  db.CreateDatabase();

  Memo1.Add(kRule);
  Memo1.Add("Creating tables");
  Memo1.Add(kRule);
  for (Creator create : kTableCreators) (this->*create)(this, db.DatabaseName);

  Memo1.Add(kRule);
  Memo1.Add("Creating indexes");
  Memo1.Add(kRule);
  create_indexes_4(this, db.DatabaseName);

  bulk.end();
  db.Close();
  return true;
}

}  // namespace qv
