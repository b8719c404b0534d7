// What a person reads when an action fails: a plain title, what happened in
// one line, what to do about it, and the error's own text for whoever needs
// the particulars. The one place that sorts errors into kinds; the desktop
// program shows the result in its message boxes and its log.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace qv {

struct Problem {
  std::string title = {};    // "Database in use"
  std::string what = {};     // what happened, one line
  std::string todo = {};     // what to do about it
  std::string details = {};  // the error's own text, paths in their C:\ form; may be empty
  bool operator==(const Problem&) const = default;
};

// Where an error met the person.
struct ProblemContext {
  std::string action = "Convert";  // the button that starts the action again
  std::string table = {};               // the destination table at work, "" outside a run
  std::string ending = {};              // the log's line on where the run ended and what the database holds
};

// An error raised by an action (a run, a check, a verify).
Problem describe_error(std::exception_ptr error, const ProblemContext& context = {});

// A run refused before anything was written because the earlier database
// `file` (a program path) stays: another program holds it, something other
// than a database file is in its place (`odd_kind`, e.g. "a folder"), or it
// could not be deleted. `on_server`: the server refused to drop it.
Problem refused_database(const std::string& file, const std::string& odd_kind, bool on_server);

// What to do after one of the form's own refusals ("No tables selected",
// ...); empty when there is no advice for the text.
std::string what_to_do(const std::string& message);

// The problem as lines of the desktop view's log.
std::vector<std::string> problem_log_lines(const Problem& p);

}  // namespace qv
