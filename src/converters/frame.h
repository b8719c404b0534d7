// The converter frame shared by every table converter: reconnect to the
// destination, log the heading, open both tables, log the old row count, copy
// row by row, log the closing counts, close the old table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "firebird/ib.h"
#include "registry/registry.h"
#include "run/context.h"
#include "run/row_errors.h"
#include "run/run_error.h"

namespace qv::conv {

// Connects DataModule2->IBDatabase2 to the destination database of `dbname`:
// a connection open on it already stays, with what was open committed
// (IBDatabase::FinishWork); one open elsewhere is closed first. True when
// connected.
bool connect_destination(const std::string& dbname);

// Runs the whole frame for one item with a rule. With the run's RowErrors
// (RunContext::row_errors), a refused row is left out instead of stopping
// the run.
void convert_table(RunContext& run, const std::string& dbname, const registry::Item& item);

// Rethrows the exception in flight as a RunError whose message is
// "<file>, row <n>, <field>: <cause>" (a part that is empty / 0 is left
// out); a RunError already in flight passes unchanged. Call from a catch
// block.
[[noreturn]] void rethrow_in_context(std::string_view file, std::int64_t row, std::string_view field);

// Runs `f`; an error it raises is passed on naming file, row and field.
template <class F>
decltype(auto) in_context(std::string_view file, std::int64_t row, std::string_view field, F&& f) {
  try {
    return f();
  } catch (...) {
    rethrow_in_context(file, row, field);
  }
}

// The rows a converter posts into a table that may take several in one call
// (IBDatabase::rows_per_call): each row's place (what names it in an error:
// its old file and row, and whatever else the caller keeps) is kept until
// the engine has the row, so that a failure found on a later call is
// reported at the row it belongs to, as a run of one row per call reports it.
template <class Place>
class RowsInFlight {
 public:
  // `report(place)` is called from a catch block, with the failure of the
  // row at `place` in flight, and throws it as that row's error, or returns
  // to leave the row out (the rows after it go on).
  RowsInFlight(fb::IBTable& table, std::function<void(const Place&)> report)
      : table_(table), report_(std::move(report)) {
    table_.OnRefused = [this](const fb::Error& e) { return refused(e); };
  }
  ~RowsInFlight() { table_.OnRefused = nullptr; }
  RowsInFlight(const RowsInFlight&) = delete;
  RowsInFlight& operator=(const RowsInFlight&) = delete;

  // Post()s the appended row, which `place` names.
  void post(Place place) {
    places_.push_back(std::move(place));
    send([&] { table_.Post(first_tag_ + static_cast<std::int64_t>(places_.size()) - 1); });
  }
  // Sends the rows that wait.
  void flush() {
    send([&] { table_.Flush(); });
  }
  // Runs `steps`; whatever ends them early (an error, a stop), the rows
  // posted until then are sent first, and a failure among them is what is
  // raised, as a run of one row per call would have met it first.
  template <class F>
  void guard(F&& steps) {
    try {
      steps();
    } catch (...) {
      flush();
      throw;
    }
  }

 private:
  template <class F>
  void send(F&& call) {
    try {
      call();
    } catch (const fb::Error& e) {
      const std::optional<std::int64_t> tag = e.row_tag();
      std::deque<Place> places = std::exchange(places_, {});
      const std::int64_t first = std::exchange(first_tag_, first_tag_ + static_cast<std::int64_t>(places.size()));
      if (tag && *tag >= first && *tag - first < static_cast<std::int64_t>(places.size()))
        report_(places[static_cast<std::size_t>(*tag - first)]);
      throw;
    }
    while (places_.size() > table_.Waiting()) {
      places_.pop_front();
      ++first_tag_;
    }
  }

  // A row the engine refused: true when report_ leaves it out.
  bool refused(const fb::Error& e) {
    const std::optional<std::int64_t> tag = e.row_tag();
    if (!tag || *tag < first_tag_ || *tag - first_tag_ >= static_cast<std::int64_t>(places_.size())) return false;
    try {
      throw e;
    } catch (const fb::Error&) {
      report_(places_[static_cast<std::size_t>(*tag - first_tag_)]);
    }
    return true;
  }

  fb::IBTable& table_;
  std::function<void(const Place&)> report_;
  std::deque<Place> places_;  // of the rows not yet stored, oldest first
  std::int64_t first_tag_ = 1;  // the tag of places_.front()
};

}  // namespace qv::conv
