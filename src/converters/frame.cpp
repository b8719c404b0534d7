#include "converters/frame.h"

#include <signal.h>

#include <fmt/format.h>

#include <mutex>
#include <thread>

#include "converters/handover.h"
#include "firebird/ib.h"
#include "paradox/table.h"
#include "platform/signals.h"
#include "platform/text.h"
#include "registry/values.h"
#include "run/log_lines.h"
#include "datamodule/datamodule.h"

namespace qv::conv {

namespace {

using registry::Column;
using registry::TableRule;
using registry::Write;

std::string with_context(std::string_view file, std::int64_t row, std::string_view field, std::string_view what) {
  std::string where(file);
  auto add = [&where](std::string_view part) {
    if (!where.empty()) where += ", ";
    where += part;
  };
  if (row > 0) add(fmt::format("row {}", row));
  if (!field.empty()) add(field);
  return where.empty() ? std::string(what) : fmt::format("{}: {}", where, what);
}

// "key CARRIER 'UPS'" or "key ORDER_ '3', CATEGORY 'MAIL'".
std::string key_text(const TableRule& rule, const std::vector<std::string>& written) {
  std::string out = "key ";
  for (std::size_t i = 0; i < rule.key_columns && i < written.size(); ++i) {
    if (i) out += ", ";
    out += fmt::format("{} '{}'", platform::ascii_upper(rule.columns[i].dest_column), written[i]);
  }
  return out;
}

// The fields of both tables, looked up once per conversion, and the
// destination columns as values meet them.
struct Binding {
  std::vector<pdx::PDField*> old_fields;
  std::vector<fb::IBField*> dest_fields;
  std::vector<registry::Target> targets;
};

Binding bind_fields(const registry::Item& item, std::int64_t row) {
  const TableRule& rule = *item.rule;
  auto& dm = *DataModule2;
  Binding b;
  b.targets = registry::targets(rule, *item.definition);
  for (const Column& c : rule.columns)
    b.old_fields.push_back(
        in_context(rule.old_file, row, c.old_field, [&] { return &dm.PDTable1.FieldByName(c.old_field); }));
  for (const Column& c : rule.columns)
    b.dest_fields.push_back(
        in_context(rule.old_file, row, c.dest_column, [&] { return &dm.IBTable1.FieldByName(c.dest_column); }));
  return b;
}

// The texts the run posts for one row's values; a value its column refuses
// stops the run.
void posted_texts(const TableRule& rule, const Binding& b, const std::vector<std::string>& values,
                  std::vector<std::string>& written, std::int64_t row) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    registry::Outcome out = registry::posted(b.targets[i], values[i]);
    if (out.fate == registry::Fate::fraction)
      throw RunError(with_context(rule.old_file, row, rule.columns[i].old_field,
                                  registry::fraction_refused(b.targets[i], out.text)),
                     false, std::string(rule.columns[i].old_field), true);
    written[i] = std::move(out.text);
  }
}

// A posted row on its way into the engine: its old row, its texts (for the
// key a clash names) and the rows skipped before it.
struct PostedRow {
  std::int64_t row;
  std::vector<std::string> written;
  std::int64_t skipped;
};
using Posting = RowsInFlight<PostedRow>;

// Rethrows the failure in flight of the row `row` whose texts were `written`.
[[noreturn]] void rethrow_row_failure(const TableRule& rule, const std::vector<std::string>& written,
                                      std::int64_t row) {
  try {
    throw;
  } catch (const fb::Error& e) {
    if (e.is_duplicate_key() && rule.key_columns > 0)
      throw RunError(with_context(rule.old_file, row, {},
                                  fmt::format("{} is already in {}: {}", key_text(rule, written),
                                              platform::ascii_upper(rule.dest_table), e.what())),
                     false, platform::ascii_upper(rule.columns[0].dest_column), true);
    rethrow_in_context(rule.old_file, row, {});
  } catch (...) {
    rethrow_in_context(rule.old_file, row, {});
  }
}

// Appends and posts one row; false when a lookup list already holds it.
bool post_row(const TableRule& rule, const Binding& b, const std::vector<std::string>& written, std::int64_t row,
              Posting& posting, std::int64_t skipped) {
  auto& table = DataModule2->IBTable1;
  table.Append();
  for (std::size_t i = 0; i < rule.columns.size(); ++i)
    in_context(rule.old_file, row, rule.columns[i].dest_column, [&] {
      if (rule.columns[i].write == Write::TrueFlag)
        b.dest_fields[i]->SetAsInteger(written[i] == "1" ? 1 : 0);
      else
        b.dest_fields[i]->SetAsString(written[i]);
    });
  try {
    // Lists that merge their duplicates post one row per call.
    if (rule.merge_duplicates) return table.PostUnlessDuplicate();
    posting.post({row, written, skipped});
    return true;
  } catch (...) {
    rethrow_row_failure(rule, written, row);
  }
}

// Leaves out row `row` whose failure is in flight (RowErrors::leave_out),
// naming the field the error names and its text in `texts`; false when the
// run is to stop on it instead.
bool left_out(RowErrors* errors, const TableRule& rule, std::int64_t row, const std::vector<std::string>& texts) {
  if (!errors) return false;
  std::string field, value;
  try {
    throw;
  } catch (const RunError& e) {
    field = e.field();
  } catch (...) {
  }
  for (std::size_t i = 0; i < rule.columns.size() && i < texts.size(); ++i)
    if (!field.empty() && (platform::iequals(field, rule.columns[i].old_field) ||
                           platform::iequals(field, rule.columns[i].dest_column)))
      value = texts[i];
  try {
    errors->leave_out(rule.old_file, row, field, value);
  } catch (...) {
    return false;
  }
  return true;
}

// Posted row `p` failed on a later call (its failure in flight): it is left
// out and counted in `counts.refused`, or its failure is raised with the
// counts (TableStats or the like) as they were when it was posted.
template <class Counts>
void posted_row_failed(const TableRule& rule, RowErrors* errors, const PostedRow& p, Counts& counts,
                       std::int64_t shortened) {
  try {
    rethrow_row_failure(rule, p.written, p.row);
  } catch (...) {
    if (left_out(errors, rule, p.row, p.written)) {
      ++counts.refused;
      return;
    }
    counts.done = p.row - 1;
    counts.skipped = p.skipped;
    counts.shortened = shortened;
    throw;
  }
}

// A row read from the old table on the run's thread, on its way to the
// loader: posted, skipped, or refused before it reached the table.
struct ReadRow {
  enum class Kind : char { post, skip, failed } kind = Kind::post;
  std::int64_t row = 0;
  std::int64_t skipped = 0;          // rows skipped up to this one
  std::vector<std::string> values;   // as read
  std::vector<std::string> written;  // as posted
  std::exception_ptr failure;        // failed: why
};

// The loader thread of a table whose rows are not merged: the run's thread
// reads and converts the rows and hands them over in batches; the loader
// appends and posts them (the engine's work) in order, and keeps the counts
// a run of one thread keeps (done, skipped, refused, shortened), as they
// stand after its last row. A row that ends the run ends the loading there,
// with the counts as they were when that row failed; refused rows are left
// out (RowErrors) here, in order, whichever thread refused them.
class FrameLoader {
 public:
  static constexpr std::size_t kBatch = 256;

  // What the loader has done, as the run's thread sees it.
  struct Counts {
    std::int64_t done = 0, skipped = 0, refused = 0, shortened = 0;
    bool failed = false;  // the loading ended on an error
  };

  FrameLoader(const RunContext& run, const TableRule& rule, const Binding& fields, std::int64_t shortened_before)
      : run_(run),
        rule_(rule),
        fields_(fields),
        errors_(run.row_errors()),
        shortened_before_(shortened_before),
        handover_([n = rule.columns.size()](ReadRow& r) {
          r.values.resize(n);
          r.written.resize(n);
        }),
        thread_([this] { work(); }) {}
  ~FrameLoader() { finish(); }
  FrameLoader(const FrameLoader&) = delete;
  FrameLoader& operator=(const FrameLoader&) = delete;

  // The slot of the next row; push() hands it over.
  ReadRow& slot() { return handover_.slot(); }
  void push() { handover_.push(); }
  Counts counts() {
    const std::lock_guard lock(handover_.mu);
    return shared_;
  }
  // Loads what was handed over, sends the rows that wait, and ends the
  // thread; the counts then stand for every row handed over (rethrow()
  // raises the failure that ended the loading, if any).
  Counts finish() {
    if (thread_.joinable()) {
      handover_.close();
      thread_.join();
    }
    return shared_;
  }
  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void work() {
    // Stop signals stay with the run's thread, as in a run without a loader.
    const sigset_t stops = platform::stop_signals();
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    for (;;) {
      const auto [batch, n] = handover_.take([] { return false; });
      if (!batch) break;
      for (std::size_t i = 0; i < n && !error_ && !stopped_; ++i) {
        // A stop ends the loading at the next row, as it ends a run of one
        // thread after the row in hand.
        if (counts_.done > 0 && run_.stop_requested()) {
          stopped_ = true;
          break;
        }
        attempt([&] { load((*batch)[i]); });
      }
      const std::lock_guard lock(handover_.mu);
      handover_.recycle(batch);
      shared_ = counts_;
      handover_.cv.notify_all();
    }
    attempt([&] { posting_.flush(); });
    const std::lock_guard lock(handover_.mu);
    shared_ = counts_;
  }

  // Runs `step`; a failure ends the loading, once the rows posted before it
  // are sent (a failure among them is the one that counts).
  template <class F>
  void attempt(F&& step) {
    if (error_) return;
    try {
      step();
    } catch (...) {
      error_ = std::current_exception();
      counts_.failed = true;
      try {
        posting_.flush();
      } catch (...) {
        error_ = std::current_exception();
      }
    }
  }

  void load(ReadRow& r) {
    if (r.kind != ReadRow::Kind::skip) {
      try {
        if (r.kind == ReadRow::Kind::failed) std::rethrow_exception(std::exchange(r.failure, nullptr));
        post_row(rule_, fields_, r.written, r.row, posting_, r.skipped);
      } catch (...) {
        // The old values: the row was not posted.
        if (!left_out(errors_, rule_, r.row, r.values)) throw;
        ++counts_.refused;
      }
    }
    counts_.done = r.row;
    counts_.skipped = r.skipped;
    counts_.shortened = dest_.Shortened() - shortened_before_;
  }

  const RunContext& run_;
  const TableRule& rule_;
  const Binding& fields_;
  RowErrors* const errors_;
  const std::int64_t shortened_before_;
  fb::IBTable& dest_ = DataModule2->IBTable1;
  Counts counts_;  // the loader's own
  // A row that fails after later rows were posted leaves the counts as they
  // were when it was posted.
  Posting posting_{dest_, [this](const PostedRow& p) {
                     posted_row_failed(rule_, errors_, p, counts_, dest_.Shortened() - shortened_before_);
                   }};
  std::exception_ptr error_;
  bool stopped_ = false;  // by a stop, at the next row
  Handover<ReadRow, kBatch> handover_;
  Counts shared_;  // as last told, under handover_.mu
  std::thread thread_;
};

// Copies the loader's counts into the table's statistics.
void take_counts(TableStats& stats, const FrameLoader::Counts& c) {
  stats.done = c.done;
  stats.skipped = c.skipped;
  stats.refused = c.refused;
  stats.shortened = c.shortened;
}

}  // namespace

// Copies the rows of a table whose rows are not merged: this thread reads
// and converts them while a loader thread posts them. Whatever ends the
// reading early (a stop, a failure at row N), the rows handed over until then
// are loaded first and a failure among them is the one raised; the counts
// are those of a run of one thread at that point.
static void copy_through_loader(RunContext& run, const registry::Item& item, TableStats& stats, std::int64_t shortened_before) {
  const TableRule& rule = *item.rule;
  auto& old = DataModule2->PDTable1;
  Binding fields;
  std::optional<FrameLoader> loader;
  const auto end_loading = [&] {
    if (!loader) return;
    take_counts(stats, loader->finish());
    loader->rethrow();
  };
  try {
    std::int64_t skipped = 0;
    for (std::int64_t row = 1; !old.Eof(); ++row) {
      if (row == 1) {
        fields = bind_fields(item, row);
        loader.emplace(run, rule, fields, shortened_before);
      }
      ReadRow& r = loader->slot();
      r.row = row;
      for (std::size_t i = 0; i < r.values.size(); ++i)
        r.values[i] = in_context(rule.old_file, row, rule.columns[i].old_field,
                                 [&] { return fields.old_fields[i]->AsString(); });
      r.kind = ReadRow::Kind::post;
      if (registry::skipped(rule, r.values)) {
        r.kind = ReadRow::Kind::skip;
        ++skipped;
      } else {
        try {
          posted_texts(rule, fields, r.values, r.written, row);
        } catch (...) {
          r.kind = ReadRow::Kind::failed;
          r.failure = std::current_exception();
        }
      }
      r.skipped = skipped;
      loader->push();
      if (row % static_cast<std::int64_t>(FrameLoader::kBatch) == 0) {
        const FrameLoader::Counts c = loader->counts();
        take_counts(stats, c);
        if (c.failed) break;
      }
      run.table_progress();
      old.Next();
    }
  } catch (...) {
    end_loading();
    throw;
  }
  end_loading();
  // A stop that ended the loading, or came as it finished, ends the run.
  run.table_progress();
}

[[noreturn]] void rethrow_in_context(std::string_view file, std::int64_t row, std::string_view field) {
  try {
    throw;
  } catch (const RunError&) {
    throw;  // already placed
  } catch (const fb::Error& e) {
    throw RunError(with_context(file, row, field, e.what()), e.is_connection_lost(),
                   field.empty() ? e.column() : std::string(field), e.is_refused_value());
  } catch (const std::exception& e) {
    // Our own layers refuse values (the temporary files' fields, say).
    throw RunError(with_context(file, row, field, e.what()), false, std::string(field), true);
  }
}

bool connect_destination(const std::string& dbname) {
  auto& db = DataModule2->IBDatabase2;
  RunContext::aim_at_database(db, dbname, DataModule2->Server ? &*DataModule2->Server : nullptr);
  // One connection serves every converter of a run: what the previous one
  // left open is committed and its indexes are built, as closing would.
  if (db.ConnectedToNamed()) {
    db.FinishWork();
  } else {
    db.Close();
    db.Params = admin_login();
    db.LoginPrompt = false;
  }
  // Rows are loaded without waiting on the disk for every page; closing the
  // connection at the end of the run makes the file durable again.
  db.set_bulk_load(true);
  db.Open();
  return db.Connected();
}

void convert_table(RunContext& run, const std::string& dbname, const registry::Item& item) {
  RowErrors* const errors = run.row_errors();
  const TableRule& rule = *item.rule;
  auto& dm = *DataModule2;
  auto& old = dm.PDTable1;
  auto& dest = dm.IBTable1;
  if (connect_destination(dbname)) {
    run.add_log_line(std::string(rule.heading));
    dest.TableName = rule.dest_table;
    // The table's own indexes are built once, when the table ends.
    dm.IBDatabase2.defer_indexes(rule.dest_table);
    dest.Open();
    // A run that ended on an error leaves the old table open; start afresh.
    if (old.Active()) old.Close();
    old.Directory = run.old_table_directory;
    old.TableName = rule.old_file;
    in_context(rule.old_file, 0, {}, [&] { old.Open(); });
    const std::int64_t old_rows = old.RecordCount();
    run.add_log_line(log_lines::old_record_count(old_rows));

    TableStats& stats = run.begin_table(platform::ascii_upper(rule.dest_table), old_rows);
    const std::int64_t shortened_before = dest.Shortened();
    Binding fields;
    std::vector<std::string> values(rule.columns.size());
    std::vector<std::string> written(rule.columns.size());
    if (!rule.merge_duplicates) {
      copy_through_loader(run, item, stats, shortened_before);
    } else {
      // A row that fails after later rows were read leaves the counts as they
      // were when it was posted, as a run of one row per call leaves them.
      Posting posting(dest, [&](const PostedRow& p) {
        posted_row_failed(rule, errors, p, stats, dest.Shortened() - shortened_before);
      });
      posting.guard([&] {
        for (std::int64_t row = 1; !old.Eof(); ++row) {
          if (row == 1) fields = bind_fields(item, row);
          for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = in_context(rule.old_file, row, rule.columns[i].old_field,
                                   [&] { return fields.old_fields[i]->AsString(); });
          if (registry::skipped(rule, values)) {
            ++stats.skipped;
          } else {
            try {
              posted_texts(rule, fields, values, written, row);
              if (!post_row(rule, fields, written, row, posting, stats.skipped)) ++stats.merged;
            } catch (...) {
              // The old values: the row was not posted.
              if (!left_out(errors, rule, row, values)) throw;
              ++stats.refused;
            }
          }
          stats.done = row;
          stats.shortened = dest.Shortened() - shortened_before;
          run.table_progress();
          old.Next();
        }
        posting.flush();
      });
    }

    const std::int64_t new_rows = dest.RecordCount();
    run.add_log_line(log_lines::new_record_count(new_rows));
    stats.shortened = dest.Shortened() - shortened_before;
    stats.new_rows = new_rows;
    if (stats.shortened > 0)
      run.add_log_line(log_lines::values_shortened(stats.shortened));
    if (rule.merge_duplicates && stats.merged > 0)
      run.add_log_line(log_lines::duplicates_merged(stats.merged));
    run.table_progress(true);
  }
  old.Close();
}

}  // namespace qv::conv
