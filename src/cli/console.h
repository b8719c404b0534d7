// Where the headless command's status log and progress go: the log to
// stdout (or a file, or nowhere), progress to stderr. On a terminal the
// progress is one line that the log's lines are written over and that is
// drawn again below each of them; elsewhere it is a plain line now and then.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "form/conversion_form.h"

namespace qv::cli {

// "table 11 of 18: JSEARCH_4, step 2 of 3: writing temporary files, 41200 of
// 100000 records, 41%, about 1 min 20 s left"
std::string progress_line(const TableStats& t, std::size_t table_number, std::size_t tables);

class Console {
 public:
  enum class Progress { Auto, Off };
  struct Setup {
    std::FILE* log = stdout;  // null: no status log (--quiet)
    Progress progress = Progress::Auto;
    std::size_t tables = 0;   // ticked tables of the run
    bool log_closed = false;  // the log's stream was closed before the run
  };
  explicit Console(const Setup& setup);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  void log(const std::string& line);
  // 0, or why a line of the status log could not be written.
  int log_error() const { return error_; }

  // A table's figures; `table_number` counts the run's tables from 1. On a
  // terminal `t` is read again when a log line is written, so it must live
  // until the next call or end_progress().
  void progress(const TableStats& t, std::size_t table_number);
  // Takes the progress line off the terminal (before the summary).
  void end_progress();

 private:
  enum class Mode { Off, Plain, Dumb, Ansi };
  void draw();
  std::string fitted(const std::string& text) const;

  Setup setup_;
  Mode mode_ = Mode::Off;
  bool log_on_terminal_ = false;  // the log shares the progress's terminal
  const TableStats* shown_ = nullptr;  // the table on the terminal's progress line
  std::size_t table_number_ = 0;
  std::size_t drawn_ = 0;         // columns of the row the progress took
  std::chrono::steady_clock::time_point last_plain_;
  std::chrono::duration<double> plain_interval_{10.0};
  int error_ = 0;
};

}  // namespace qv::cli
