// The job-search converter. "JSEARCH2.db" can be large, so it is not copied
// straight into "JSEARCH_4": its records are first spread over temporary
// files of at most the form's records_per_temp_file() records each (5000),
// which are then loaded one after the other. No step holds more than the
// one record in hand.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "converters/frame.h"
#include "form/conversion_form.h"
#include "jobsearch/jobsearch.h"
#include "registry/values.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace {

using conv::in_context;
using jobsearch::kCarried;
using jobsearch::kLayout;

class JsearchRun {
 public:
  explicit JsearchRun(Tconversion_form& form)
      : form_(form),
        dm_(*DataModule2),
        per_file_(form.records_per_temp_file()),
        old_file_(registry::job_search().old_file),
        dest_table_(registry::job_search().dest_table) {}

  void run(const std::string& dbname) {
    const bool connected = conv::connect_destination(dbname);
    show(1);
    if (connected) {
      form_.Memo1.Add("JSEARCH table...........");
      // The secondary indexes are built once, when the connection closes.
      dm_.IBDatabase2.defer_indexes(dest_table_);
      dm_.IBTable1.TableName = dest_table_;
      dm_.IBTable1.Open();
      auto& old = dm_.PDTable1;
      old.Close();
      old.DatabaseName.clear();
      old.Directory = form_.old_table_directory;
      old.TableName = std::string(old_file_);
      old.Open();
      const std::int64_t n = old.RecordCount();
      form_.Memo1.Add("---->Record Count in old table: " + std::to_string(n));
      stats_ = &form_.begin_table(dest_table_, n);
      for (auto line : jobsearch::kExplanation) form_.Memo1.Add(std::string(line));
      create_files(n);
      fill_files();
    }
    dm_.PDTable1.Close();
    loading_.guard([&] { load_files(); });
    if (stats_) {
      const std::int64_t shortened = dm_.IBTable1.Shortened();
      if (shortened > 0) form_.Memo1.Add("---->Values shortened to fit their columns: " + std::to_string(shortened));
      stats_->shortened = shortened;
      stats_->new_rows = loaded_;
    }
    dm_.IBTable1.Close();
    dm_.PDTable2.Close();
    if (stats_) form_.table_progress(true);
  }

 private:
  // Step 1: one walk over the old table decides how many files it needs.
  // The count starts at 2, so a new file begins at the 4998th record, the
  // 9998th, ... (with 5000 per file).
  void create_files(std::int64_t old_count) {
    form_.Memo1.Add("Step 1 create empty temporary files in " + form_.temp_directory());
    step("step 1 of 3: counting records");
    form_.create_jsearch2_table(&form_, 1);
    file_count_ = 1;
    show(old_count);
    auto& old = dm_.PDTable1;
    std::int64_t count = 2;
    while (!old.Eof()) {
      ++count;
      if (count % per_file_ == 0) form_.create_jsearch2_table(&form_, ++file_count_);
      show(count);
      walked();
      in_context(old_file_, count - 2, "", [&] { old.Next(); });
    }
    old.First();
  }

  // Step 2: the old records go unchanged into the files, per_file_ to a file.
  void fill_files() {
    form_.Memo1.Add("Step 2 - copying records into temporary files, original file isn't changed");
    step("step 2 of 3: writing temporary files");
    auto& old = dm_.PDTable1;
    auto& temp = dm_.PDTable2;
    int file = 1;
    take_file(file);
    std::int64_t count = 1;
    show(1);
    form_.Memo1.Add("----->Loading Temp file " + jobsearch::temp_file_name(file));
    while (!old.Eof()) {
      if (count == 1) bind(old, old_file_, count, old_fields_);
      read_record(old_fields_, old_file_, count);
      temp.Append();
      for (std::size_t i = 1; i < kCarried; ++i)
        in_context(old_file_, count, kLayout[i].name, [&] { temp_fields_[i]->SetAsString(record_[i]); });
      in_context(old_file_, count, "", [&] { temp.Post(); });
      if (count % per_file_ == 0) {  // step 1 made a file for every record
        form_.Memo1.Add("----->Loading Temp file " + jobsearch::temp_file_name(++file));
        take_file(file);
      }
      ++count;
      show(count);
      walked();
      in_context(old_file_, count - 1, "", [&] { old.Next(); });
    }
  }

  // Step 3: the files are loaded in order with fresh keys 1, 2, 3, ...
  void load_files() {
    form_.Memo1.Add("Step 3 - Copying records into JSEARCH_4");
    step("step 3 of 3: loading records");
    auto& temp = dm_.PDTable2;
    auto& dest = dm_.IBTable1;
    std::int64_t count = 1;
    show(1);
    for (int file = 1; file <= file_count_; ++file) {
      const std::string name = jobsearch::temp_file_name(file);
      form_.Memo1.Add("----->Loading Temp file " + name + " into new table");
      take_file(file);
      temp.First();
      for (std::int64_t row = 1; !temp.Eof(); ++row) {
        read_record(temp_fields_, name, row);
        record_[0] = std::to_string(count);  // the file's own key is dropped
        dest.Append();
        for (std::size_t i = 0; i < kCarried; ++i) {
          const auto& f = kLayout[i];
          in_context(name, row, f.dest_column, [&] {
            if (!dest_fields_[i]) dest_fields_[i] = &dest.FieldByName(f.dest_column);
            dest_fields_[i]->SetAsString(registry::loaded_text(f, record_[i]));
          });
        }
        in_context(name, row, "", [&] { loading_.post({name, row, walked_, loaded_}); });
        ++loaded_;
        in_context(name, row, "", [&] { temp.Next(); });
        ++count;
        show(count);
        walked();
      }
    }
    loading_.flush();
  }

  using Fields = std::array<pdx::PDField*, kCarried>;

  // Looks PK to COMMENT up once per opened table; they stay valid while it is open.
  static void bind(pdx::PDTable& table, std::string_view file, std::int64_t row, Fields& fields) {
    for (std::size_t i = 0; i < kCarried; ++i)
      fields[i] = in_context(file, row, kLayout[i].name, [&] { return &table.FieldByName(kLayout[i].name); });
  }

  // Reads PK to COMMENT of the current record as text.
  void read_record(const Fields& fields, std::string_view file, std::int64_t row) {
    for (std::size_t i = 0; i < kCarried; ++i)
      record_[i] = in_context(file, row, kLayout[i].name, [&] { return fields[i]->AsString(); });
  }

  void take_file(int number) {
    auto& temp = dm_.PDTable2;
    temp.SetActive(false);
    temp.DatabaseName = jobsearch::kTempAlias;
    temp.TableName = jobsearch::temp_file_name(number);
    temp.SetActive(true);
    bind(temp, temp.TableName, 0, temp_fields_);
  }

  // The box is repainted at once: the run holds the user-interface thread.
  void show(std::int64_t n) {
    form_.Edit1.SetText(std::to_string(n));
    form_.Edit1.Refresh();
  }

  void step(const char* what) {
    if (stats_) form_.table_step(what);
  }

  // Progress for the summary: each of the three walks counts a third of a
  // record, so `done` reaches the old record count when the last is loaded.
  void walked() {
    if (!stats_) return;
    ++walked_;
    stats_->done = walked_ / 3;
    stats_->new_rows = loaded_;
    stats_->shortened = dm_.IBTable1.Shortened();
    form_.table_progress();
  }

  Tconversion_form& form_;
  TDataModule2& dm_;
  const std::int64_t per_file_;
  const std::string_view old_file_;  // "JSEARCH2.db"
  const std::string& dest_table_;    // "JSEARCH_4"
  std::array<std::string, kCarried> record_;
  Fields old_fields_{};
  Fields temp_fields_{};
  std::array<fb::IBField*, kCarried> dest_fields_{};
  int file_count_ = 0;
  TableStats* stats_ = nullptr;  // set once the run is connected and counted
  std::int64_t walked_ = 0;
  std::int64_t loaded_ = 0;

  // A record that fails after later ones were posted is named by its own
  // file and row, with the counts as they were when it was posted.
  struct Place {
    std::string file;
    std::int64_t row, walked, loaded;
  };
  conv::RowsInFlight<Place> loading_{dm_.IBTable1, [this](const Place& p) {
                                       walked_ = p.walked;
                                       loaded_ = p.loaded;
                                       if (stats_) {
                                         stats_->done = walked_ / 3;
                                         stats_->new_rows = loaded_;
                                         stats_->shortened = dm_.IBTable1.Shortened();
                                       }
                                       conv::rethrow_in_context(p.file, p.row, "");
                                     }};
};

}  // namespace

void Tconversion_form::convert_jsearch_4(Sender, std::string dbname) { JsearchRun(*this).run(dbname); }

}  // namespace qv
