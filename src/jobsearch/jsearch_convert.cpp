// The job-search converter. "JSEARCH2.db" can be large, so it is not copied
// straight into "JSEARCH_4": its records are first spread over temporary
// files of at most the run's records_per_temp_file() records each (5000),
// which are then loaded one after the other, with fresh keys.
//
// The one place where a run uses a second thread: while step 2 writes the
// files, a loader thread inserts the records already written, handed over
// in batches, so that our own work (reading the old table, writing the
// files) and the engine's (inserting) take a core each. Each record is
// loaded from its values as the file stores them (read from the record just
// posted: the temporary fields' widths and forms have applied), not read
// back from the file afterwards. Nobody sees the difference: the loader
// writes no log line and touches neither the run's context nor the progress; step 3
// comes after every step 2 line as before and reports the loaded records,
// file by file, and a load failure at its file and row. A failure or a stop
// in step 2 takes the loaded rows back, so the table is as empty as before
// step 3. Memory stays bounded: a few batches are in flight at a time.
//
// A run that leaves refused records out (RowErrors) goes on past a record
// that the temporary file or the table refuses. One refused in step 2 never
// reaches a file, so the keys of step 3, which count the files' records,
// close up behind it; one refused in step 3 keeps its key, unused, as the
// count moves on to the file's next record.
#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "converters/frame.h"
#include "converters/handover.h"
#include "firebird/ib.h"
#include "jobsearch/jobsearch.h"
#include "platform/signals.h"
#include "platform/text.h"
#include "registry/values.h"
#include "run/log_lines.h"
#include "datamodule/datamodule.h"

namespace qv {

namespace {

using conv::in_context;
using jobsearch::kCarried;
using jobsearch::kLayout;

// One record on its way into the destination: its texts as loaded (fresh
// key first) and where the run writes it.
struct LoadRecord {
  std::array<std::string, kCarried> texts;
  int file = 0;            // temporary file number
  std::int64_t row = 0;    // record number inside that file
  std::int64_t count = 0;  // record number of the run (its key)
  std::int64_t old_row = 0;  // its record in the old table
};

// The loader thread. It owns the destination table from its start until it
// is joined; the run's thread fills batches of records and hands them over.
class Loader {
 public:
  static constexpr std::size_t kBatch = 512;
  static constexpr std::size_t kBatches = 4;  // in flight at most

  Loader(fb::IBTable& dest, const RunContext& run)
      : dest_(dest), run_(run), errors_(run.row_errors()), thread_([this] { work(); }) {}
  ~Loader() { cancel(); }
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // The slot of the next record; push() hands it over.
  LoadRecord& slot() { return handover_.slot(); }
  void push() { handover_.push(); }
  // No more records: the loader ends once it has loaded those handed over.
  void finish() { handover_.close(); }
  // Ends the loader at its next record and waits for it.
  void cancel() noexcept {
    {
      const std::lock_guard lock(handover_.mu);
      cancelled_ = true;
      handover_.cv.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

  // What the loader has done, as the run's thread sees it.
  struct State {
    std::int64_t done = 0;       // records handled (stored or left out), in order
    std::int64_t loaded = 0;     // records the table holds
    std::int64_t refused = 0;    // records left out
    std::int64_t shortened = 0;  // values shortened to fit their columns
    bool ended = false;          // nothing more will be loaded
    std::exception_ptr error;    // why it ended early, if it failed
  };
  State state() {
    const std::lock_guard lock(handover_.mu);
    return state_;
  }
  // Waits until `count` records are handled or the loader has ended.
  State wait_for(std::int64_t count) {
    std::unique_lock lock(handover_.mu);
    handover_.cv.wait(lock, [&] { return state_.done >= count || state_.ended; });
    return state_;
  }

 private:
  void work() {
    // Stop signals stay with the run's thread, as in a run without a loader.
    const sigset_t stops = platform::stop_signals();
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    bool loading = true;
    for (;;) {
      const auto batch = handover_.take([&] { return cancelled_.load(); });
      if (!batch.first) break;
      for (std::size_t i = 0; loading && i < batch.second; ++i) {
        if (run_.stop_requested() || cancelled_.load(std::memory_order_relaxed)) {
          loading = false;
          break;
        }
        const LoadRecord& r = (*batch.first)[i];
        attempt(r.count, [&] { load(r); });
        loading = !error_;
        if (loading) last_count_ = r.count;
      }
      if (!loading) settle();
      publish([&] { handover_.recycle(batch.first); });
    }
    settle();
    publish([&] { state_.ended = true; });
  }

  // Runs `step` for record `count`; a failure, its own or that of a record
  // posted before and still waiting to be sent, ends the loading there.
  template <class F>
  void attempt(std::int64_t count, F&& step) {
    if (error_) return;
    try {
      step();
    } catch (...) {
      error_ = std::current_exception();
      if (failed_at_ == 0) failed_at_ = count;
      try {
        sending_.flush();  // the records before this one, sent first
      } catch (...) {
        error_ = std::current_exception();
      }
    }
  }

  // Sends the records that wait (once), so that the table holds every
  // record posted before a stop or the end.
  void settle() {
    if (!settled_) attempt(last_count_ + 1, [&] { sending_.flush(); });
    settled_ = true;
  }

  // Tells the run's thread what the table holds: the records posted and
  // sent, and how far in the records that is (before the one that failed).
  template <class F>
  void publish(F&& also) {
    const std::int64_t stored = dest_.Posted() - static_cast<std::int64_t>(dest_.Waiting());
    std::int64_t done = stored + refused_;
    if (error_) done = std::min(done, failed_at_ - 1);
    const std::int64_t shortened = dest_.Shortened();
    const std::lock_guard lock(handover_.mu);
    state_.done = done;
    state_.loaded = stored;
    state_.refused = refused_;
    state_.shortened = shortened;
    state_.error = error_;
    also();
    handover_.cv.notify_all();
  }

  // Appends and posts one record; an error names the temporary file, its
  // row and the column.
  void load(const LoadRecord& r) {
    if (r.file != named_file_) {
      named_file_ = r.file;
      file_name_ = jobsearch::temp_file_name(r.file);
    }
    dest_.Append();
    try {
      for (std::size_t i = 0; i < kCarried; ++i) {
        const auto& f = kLayout[i];
        in_context(file_name_, r.row, f.dest_column, [&] {
          if (!fields_[i]) fields_[i] = &dest_.FieldByName(f.dest_column);
          fields_[i]->SetAsString(r.texts[i]);
        });
      }
    } catch (...) {
      if (!left_out(r.old_row, &r)) throw;
      return;
    }
    current_ = &r;
    in_context(file_name_, r.row, "", [&] { sending_.post({r.file, r.row, r.count, r.old_row}); });
    current_ = nullptr;
  }

  // Leaves out the record of old row `old_row` whose failure is in flight,
  // naming the column the error names and, when `r` is that record, its
  // text; false when the run is to stop on it.
  bool left_out(std::int64_t old_row, const LoadRecord* r) {
    if (!errors_) return false;
    std::string column, value;
    try {
      throw;
    } catch (const conv::RunError& e) {
      column = e.field();
    } catch (...) {
    }
    for (std::size_t i = 0; r && i < kCarried; ++i)
      if (!column.empty() && platform::iequals(column, kLayout[i].dest_column)) value = r->texts[i];
    try {
      errors_->leave_out(registry::job_search().old_file, old_row, column, value);
    } catch (...) {
      return false;
    }
    ++refused_;
    return true;
  }

  fb::IBTable& dest_;
  const RunContext& run_;
  // A record that fails after later ones were posted (several records to a
  // call) is named by its own file and row.
  struct Place {
    int file;
    std::int64_t row, count, old_row;
  };
  conv::RowsInFlight<Place> sending_{dest_, [this](const Place& p) {
                                       try {
                                         conv::rethrow_in_context(jobsearch::temp_file_name(p.file), p.row, "");
                                       } catch (...) {
                                         if (left_out(p.old_row, current_ && current_->count == p.count ? current_ : nullptr))
                                           return;
                                         failed_at_ = p.count;
                                         throw;
                                       }
                                     }};
  conv::RowErrors* errors_;
  const LoadRecord* current_ = nullptr;  // the record being posted
  std::int64_t refused_ = 0;    // records left out
  std::int64_t last_count_ = 0;  // the key of the last record posted
  std::int64_t failed_at_ = 0;  // the record that failed
  std::exception_ptr error_;
  bool settled_ = false;
  std::array<fb::IBField*, kCarried> fields_{};
  int named_file_ = 0;
  std::string file_name_;

  conv::Handover<LoadRecord, kBatch, kBatches> handover_;
  std::atomic<bool> cancelled_{false};
  State state_;  // under handover_.mu
  std::thread thread_;
};

class JsearchRun {
 public:
  explicit JsearchRun(RunContext& run)
      : run_(run),
        dm_(*DataModule2),
        per_file_(run.records_per_temp_file()),
        old_file_(registry::job_search().old_file),
        dest_table_(registry::job_search().dest_table) {}

  void run(const std::string& dbname) {
    const bool connected = conv::connect_destination(dbname);
    show(1);
    if (connected) {
      run_.add_log_line("JSEARCH table...........");
      // The secondary indexes are built once, when the table ends.
      dm_.IBDatabase2.defer_indexes(dest_table_);
      dm_.IBTable1.TableName = dest_table_;
      dm_.IBTable1.Open();
      auto& old = dm_.PDTable1;
      old.Close();
      old.DatabaseName.clear();
      old.Directory = run_.old_table_directory;
      old.TableName = std::string(old_file_);
      old.Open();
      const std::int64_t n = old.RecordCount();
      run_.add_log_line(log_lines::old_record_count(n));
      stats_ = &run_.begin_table(dest_table_, n);
      for (auto line : jobsearch::kExplanation) run_.add_log_line(std::string(line));
      create_files(n);
      loader_.emplace(dm_.IBTable1, run_);
      try {
        fill_files();
      } catch (...) {
        discard_loaded();
        throw;
      }
      loader_->finish();
    }
    dm_.PDTable1.Close();
    try {
      load_files();
    } catch (...) {
      end_loader();
      throw;
    }
    end_loader();
    if (stats_) {
      const std::int64_t shortened = dm_.IBTable1.Shortened();
      if (shortened > 0) run_.add_log_line(log_lines::values_shortened(shortened));
      stats_->shortened = shortened;
      stats_->new_rows = loaded_;
      stats_->done = stats_->old_rows;  // records left out in step 2 are not walked again
    }
    dm_.IBTable1.Close();
    dm_.PDTable2.Close();
    if (stats_) run_.table_progress(true);
  }

 private:
  // Step 1: one walk over the old table decides how many files it needs.
  // The count starts at 2, so a new file begins at the 4998th record, the
  // 9998th, ... (with 5000 per file).
  void create_files(std::int64_t old_count) {
    run_.add_log_line(log_lines::step_1(run_.temp_directory()));
    step("step 1 of 3: counting records");
    jobsearch::create_temp_file(run_, 1);
    file_count_ = 1;
    show(old_count);
    auto& old = dm_.PDTable1;
    std::int64_t count = 2;
    while (!old.Eof()) {
      ++count;
      if (count % per_file_ == 0) jobsearch::create_temp_file(run_, ++file_count_);
      show(count);
      walked();
      in_context(old_file_, count - 2, "", [&] { old.Next(); });
    }
    old.First();
  }

  // Step 2: the old records go unchanged into the files, per_file_ to a
  // file; each record posted goes to the loader as the file stores it.
  void fill_files() {
    run_.add_log_line(std::string(log_lines::kStep2));
    step("step 2 of 3: writing temporary files");
    auto& old = dm_.PDTable1;
    int file = 1;
    take_file(file);
    std::int64_t count = 1;
    show(1);
    run_.add_log_line(log_lines::loading_temp_file(jobsearch::temp_file_name(file)));
    while (!old.Eof()) {
      if (count == 1) bind(old, old_file_, count, old_fields_);
      if (copy_record(count)) hand_to_loader(file, count);
      if (count % per_file_ == 0) {  // step 1 made a file for every record
        run_.add_log_line(log_lines::loading_temp_file(jobsearch::temp_file_name(++file)));
        take_file(file);
      }
      ++count;
      show(count);
      walked();
      in_context(old_file_, count - 1, "", [&] { old.Next(); });
    }
    dm_.PDTable2.Close();  // the last file is complete on disk
  }

  // Copies old record `count` into the temporary file in hand; false when
  // the record is refused and left out.
  bool copy_record(std::int64_t count) {
    auto& temp = dm_.PDTable2;
    // Every value is read before the first is written; the texts stay
    // valid until the old table moves. An old table that cannot be read
    // stops the run whatever it leaves out.
    for (std::size_t i = 0; i < kCarried; ++i)
      values_[i] = &in_context(old_file_, count, kLayout[i].name,
                               [&]() -> const std::string& { return old_fields_[i]->AsString(); });
    std::string_view field;
    try {
      temp.Append();
      for (std::size_t i = 1; i < kCarried; ++i) {
        field = kLayout[i].name;
        in_context(old_file_, count, field, [&] { temp_fields_[i]->SetAsString(*values_[i]); });
      }
      field = {};
      // A required field left empty: Post refuses the record before it
      // writes anything (what it writes can fail on its own).
      if (std::any_of(kLayout.begin() + 1, kLayout.begin() + kCarried, [&](const jobsearch::Field& f) {
            return f.required && temp_fields_[static_cast<std::size_t>(&f - kLayout.data())]->IsNull();
          }))
        in_context(old_file_, count, "", [&] { temp.Post(); });
    } catch (...) {
      conv::RowErrors* errors = run_.row_errors();
      if (!errors) throw;
      temp.Cancel();
      // A required field left empty: the file's message names it.
      std::string value;
      for (std::size_t i = 1; i < kCarried && !field.empty(); ++i)
        if (kLayout[i].name == field) value = *values_[i];
      errors->leave_out(old_file_, count, field, value);
      ++refused_in_step2_;
      if (stats_) stats_->refused = refused_in_step2_;
      return false;
    }
    in_context(old_file_, count, "", [&] { temp.Post(); });
    return true;
  }

  // Gives the loader record `count` of the run, just posted to `file`, as
  // loaded: the stored values with the fresh key `count`, flags without a
  // value spelled out, upper case.
  void hand_to_loader(int file, std::int64_t count) {
    LoadRecord& r = loader_->slot();
    if (file != filled_file_) {
      filled_file_ = file;
      in_file_ = 0;
    }
    r.file = file;
    r.row = ++in_file_;
    r.count = ++written_;
    r.old_row = count;
    file_ends_.resize(static_cast<std::size_t>(file), file_ends_.empty() ? 0 : file_ends_.back());
    file_ends_.back() = written_;
    char key[24];
    const auto end = std::to_chars(key, key + sizeof key, r.count).ptr;
    r.texts[0].assign(key, end);  // the file's own key is dropped
    const std::string& name = dm_.PDTable2.TableName;
    for (std::size_t i = 1; i < kCarried; ++i) {
      r.texts[i].clear();
      const std::string& stored = in_context(name, r.row, kLayout[i].name,
                                             [&]() -> const std::string& { return temp_fields_[i]->AsString(); });
      registry::append_loaded_text(kLayout[i], stored, r.texts[i]);
    }
    loader_->push();
  }

  // A failed or stopped step 2 leaves the destination table as it was
  // before: empty, whatever the loader had loaded.
  void discard_loaded() noexcept {
    loader_->cancel();
    try {
      fb::IBTransaction* t = dm_.IBTable1.Transaction ? dm_.IBTable1.Transaction : dm_.IBDatabase2.DefaultTransaction;
      if (t && t->InTransaction()) t->Rollback();
    } catch (...) {
      // The failure of step 2 is the one reported.
    }
    loader_.reset();
  }

  // Waits for the loader and takes its figures: the rows the table holds.
  void end_loader() noexcept {
    if (!loader_) return;
    loader_->cancel();
    const Loader::State end = loader_->state();
    loaded_ = end.loaded;
    if (stats_) {
      stats_->new_rows = loaded_;
      stats_->refused = refused_in_step2_ + end.refused;
    }
    loader_.reset();
  }

  // Step 3: the files in order, with fresh keys 1, 2, 3, ...; their records
  // are loaded by the loader, and each one counts here once it is.
  void load_files() {
    run_.add_log_line(std::string(log_lines::kStep3));
    step("step 3 of 3: loading records");
    std::int64_t count = 1;
    show(1);
    Loader::State seen;
    for (int file = 1; file <= file_count_; ++file) {
      run_.add_log_line(log_lines::loading_temp_file_into_table(jobsearch::temp_file_name(file)));
      const std::int64_t last =
          file_ends_.empty() ? 0 : file_ends_[std::min(static_cast<std::size_t>(file), file_ends_.size()) - 1];
      for (; count <= last; ++count) {
        if (count > seen.done) {
          seen = loader_->wait_for(count);
          shortened_ = seen.shortened;
          if (stats_) stats_->refused = refused_in_step2_ + seen.refused;
          if (count > seen.done) {
            if (seen.error) std::rethrow_exception(seen.error);
            run_.stop_point(dest_table_);  // the loader ended on a stop
            throw std::logic_error("the job-search loader ended early");
          }
        }
        loaded_ = std::min(seen.loaded, count);
        show(count + 1);
        walked();
      }
    }
  }

  using Fields = std::array<pdx::PDField*, kCarried>;

  // Looks PK to COMMENT up once per opened table; they stay valid while it is open.
  static void bind(pdx::PDTable& table, std::string_view file, std::int64_t row, Fields& fields) {
    for (std::size_t i = 0; i < kCarried; ++i)
      fields[i] = in_context(file, row, kLayout[i].name, [&] { return &table.FieldByName(kLayout[i].name); });
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
    run_.show_record_count(n);
  }

  void step(const char* what) {
    step_start_ = walked_;
    if (stats_) run_.table_step(what, 0);
  }

  // Progress for the summary: each of the three walks counts a third of a
  // record, so `done` reaches the old record count when the last is loaded.
  void walked() {
    if (!stats_) return;
    ++walked_;
    stats_->done = walked_ / 3;
    stats_->step_done = walked_ - step_start_;
    stats_->new_rows = loaded_;
    stats_->shortened = shortened_;
    run_.table_progress();
  }

  RunContext& run_;
  TDataModule2& dm_;
  const std::int64_t per_file_;
  const std::string_view old_file_;  // "JSEARCH2.db"
  const std::string& dest_table_;    // "JSEARCH_4"
  Fields old_fields_{};
  Fields temp_fields_{};
  std::array<const std::string*, kCarried> values_{};  // of the old record in hand
  std::optional<Loader> loader_;  // from step 2 until the records are loaded
  int file_count_ = 0;
  std::int64_t written_ = 0;  // records written to the files
  // Records written to the files up to the end of file 1, 2, ...
  std::vector<std::int64_t> file_ends_;
  int filled_file_ = 0;        // the file step 2 writes
  std::int64_t in_file_ = 0;   // records written to it
  std::int64_t refused_in_step2_ = 0;  // records the files refused, left out
  TableStats* stats_ = nullptr;  // set once the run is connected and counted
  std::int64_t step_start_ = 0;  // walked_ when the current step began
  std::int64_t walked_ = 0;
  std::int64_t loaded_ = 0;     // records step 3 has counted as loaded
  std::int64_t shortened_ = 0;  // values shortened, as the loader last told
};

}  // namespace

void jobsearch::convert_job_search(RunContext& run, const std::string& dbname) { JsearchRun(run).run(dbname); }

}  // namespace qv
