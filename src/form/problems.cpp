#include "form/problems.h"

#include <algorithm>
#include <array>
#include <regex>
#include <string_view>

#include "run/run_error.h"
#include "firebird/ib.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace qv {

namespace {

enum class Kind {
  disk_full,
  no_permission,
  connection_lost,
  server_unreachable,
  in_use,
  table_missing,
  table_damaged,
  field_missing,
  key_clash,
  value_refused,
  other,
};

bool has(std::string_view text, std::string_view part) {
  return platform::ascii_lower(text).find(part) != std::string::npos;
}

// The kind of an error: from the exception's type where it tells, else
// from the words of its message (a run's errors reach here as messages that
// name the old file, the row and the field).
Kind kind_of(std::exception_ptr error, std::string& message) {
  bool lost = false, in_use = false;
  try {
    std::rethrow_exception(error);
  } catch (const fb::Error& e) {
    message = e.what();
    lost = e.is_connection_lost();
    in_use = e.is_in_use();
  } catch (const conv::RunError& e) {
    message = e.what();
    lost = e.connection_lost();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "an error of an unknown kind";
  }
  const std::string_view m = message;
  if (lost) return Kind::connection_lost;
  if (has(m, "no space left") || has(m, "disk full") || has(m, "file too large") || has(m, "quota exceeded"))
    return Kind::disk_full;
  if (in_use || has(m, "in use by another program") || has(m, "object in use") || has(m, "lock time-out"))
    return Kind::in_use;
  if (has(m, "permission denied") || has(m, "read-only file system") || has(m, "operation not permitted"))
    return Kind::no_permission;
  if (has(m, "cannot reach database") || has(m, "database server ") || has(m, "unable to complete network request") ||
      has(m, "connection refused") || has(m, "your user name and password"))
    return Kind::server_unreachable;
  if (has(m, ".db: cannot open: no such file") || has(m, "table not found") || has(m, "no such table"))
    return Kind::table_missing;
  if (has(m, "not a readable paradox table") || has(m, "damaged data blocks") || has(m, "is cut short") ||
      has(m, ".db: cannot read") || has(m, "memo file"))
    return Kind::table_damaged;
  if (has(m, "' not found")) return Kind::field_missing;
  if (has(m, "violation of primary or unique key") || has(m, "key clash") || has(m, "duplicate"))
    return Kind::key_clash;
  if (has(m, "windows-1252 form") || has(m, "out of range") || has(m, "not a whole number") ||
      has(m, "is too long") || has(m, "must have a value") || has(m, "not a number") || has(m, "not a date") ||
      has(m, "arithmetic exception") || has(m, "conversion error") || has(m, "code page"))
    return Kind::value_refused;
  return Kind::other;
}

// The place a run's message names first: "CARRIER.db, row 3, CARRIER".
std::string place_of(const std::string& message) {
  static const std::regex place(R"(^([^\s,:]+\.db)(, row \d+)?(, [A-Za-z_0-9 ]+)?: )", std::regex::icase);
  std::smatch m;
  return std::regex_search(message, m, place) ? m[1].str() + m[2].str() + m[3].str() : std::string();
}

// The old file a message names, "CARRIER.db".
std::string file_of(const std::string& message) {
  static const std::regex file(R"(([^\s,:"'\\/]+\.db)\b)", std::regex::icase);
  std::smatch m;
  return std::regex_search(message, m, file) ? m[1].str() : std::string();
}

const std::string kWhereFiles = "C:\\MyData\\wk-db\\intrbase";

}  // namespace

Problem describe_error(std::exception_ptr error, const ProblemContext& c) {
  std::string message;
  const Kind kind = kind_of(std::move(error), message);
  message = platform::readable_message(message);
  const std::string at = c.table.empty() ? std::string() : " at " + c.table;
  const std::string again = "press " + c.action + " again";
  const std::string place = place_of(message);
  const std::string file = file_of(message);
  Problem p;
  switch (kind) {
    case Kind::disk_full:
      p = {"Disk full", "The disk ran out of room" + at + ".",
           "Free room on the disk that holds " + kWhereFiles +
               " (the database and the job-search temporary files; old temporary files may be deleted), then " +
               again + "."};
      break;
    case Kind::no_permission:
      p = {"No permission", "A file or folder the program needs may not be used" + at + ".",
           "Make sure your user may read the old tables and write to " + kWhereFiles +
               " (the details name the file), then " + again + "."};
      break;
    case Kind::connection_lost:
      p = {"Connection lost", "The connection to the database was lost" + at + ".",
           "Check the network and that the database server runs, then " + again + "."};
      break;
    case Kind::server_unreachable:
      p = {"Server not reached", "The database server could not be reached or refused the login.",
           "Check the server's name and port, that it runs, and the user name and password, then " + again + "."};
      break;
    case Kind::in_use:
      p = {"Database in use", "The database is open in another program.",
           "Close the other program (QUORVEL, a database tool, or this program open a second time), then " + again +
               "."};
      break;
    case Kind::table_missing:
      p = {"Old table missing",
           "The old table " + (file.empty() ? std::string("needed") : file) + " is not in the chosen folder.",
           "Choose the folder that holds every old table, or untick the missing one; Check lists what is missing. "
           "Then " + again + "."};
      break;
    case Kind::table_damaged:
      p = {"Old table damaged",
           "The old table " + (file.empty() ? std::string("being read") : file) + " is damaged and cannot be read.",
           "Restore the table from a backup, or untick it; Check lists every damaged table. Then " + again + "."};
      break;
    case Kind::field_missing:
      p = {"Old table not as expected",
           "The old table " + (file.empty() ? std::string("being read") : file) + " lacks a field the run needs.",
           "Make sure the folder holds the old program's own tables, or untick that one; Check lists every missing "
           "field. Then " + again + "."};
      break;
    case Kind::key_clash:
      p = {"Duplicate key", (place.empty() ? std::string("A row") : place) + " has the key of an earlier row.",
           "Press Check to list every clash; correct the rows in the old program, or untick the table. Then " +
               again + "."};
      break;
    case Kind::value_refused:
      p = {"Value not accepted",
           (place.empty() ? std::string("A value") : place) + " holds a value the new database cannot take.",
           "Press Check to list every such value; correct them in the old program, or untick the table. Then " +
               again + "."};
      break;
    case Kind::other:
      p = {c.action == "Convert" ? "Conversion stopped" : c.action + " failed",
           c.action == "Convert" ? "The run stopped on an error" + at + "." : c.action + " stopped on an error.",
           "Save the log (Save log...) and pass it on with the details below to whoever looks after this "
           "program; " + again + " once the cause is mended."};
      break;
  }
  if (!c.ending.empty()) p.details = c.ending + "\n\n";
  p.details += message;
  return p;
}

Problem refused_database(const std::string& file, const std::string& odd_kind, bool on_server) {
  Problem p;
  p.details = "Database already exists, not attempting to create: " + file;
  if (!odd_kind.empty()) {
    p.title = "Database blocked";
    p.what = "In place of the database " + file + " is " + odd_kind + ".";
    p.todo = "Move or rename " + odd_kind.substr(odd_kind.find(' ') + 1) +
             " (it was not made by this program), then press Convert again.";
  } else if (on_server || platform::file_locked(file)) {
    p.title = "Database in use";
    p.what = "The database " + file + " is open in another program, so it cannot be replaced.";
    p.todo = "Close the other program (QUORVEL, a database tool, or this program open a second time), then press "
             "Convert again.";
  } else {
    p.title = "Database not replaced";
    p.what = "The earlier database " + file + " could not be deleted.";
    p.todo = "Make sure your user may delete it, or rename or delete it yourself, then press Convert again.";
  }
  return p;
}

std::string what_to_do(const std::string& message) {
  static const std::array<std::pair<std::string_view, std::string_view>, 2> advice{{
      {"Doesn't appear to be a valid directory",
       "Choose the folder of one data set: the folder that holds quorvel2.db, inside "
       "C:\\MyData\\wk-db\\Quorvel2\\Db."},
      {"No tables selected", "Tick at least one table (Select all ticks them all), then press Convert or Check."},
  }};
  for (const auto& [text, todo] : advice)
    if (message == text) return std::string(todo);
  return {};
}

std::vector<std::string> problem_log_lines(const Problem& p) {
  std::vector<std::string> lines{p.title + ": " + p.what};
  if (!p.todo.empty()) lines.push_back("What to do: " + p.todo);
  return lines;
}

}  // namespace qv
