// Runs the headless command as a child process: optionally as another user,
// under a file-size limit, or killed after some log lines or some time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qv::test {

struct Child {
  Child(std::vector<std::string> a) : args(std::move(a)) {}  // NOLINT: a child is its arguments
  std::vector<std::string> args;  // after the program's name
  std::optional<uid_t> uid;       // run as this user (and its group)
  std::optional<gid_t> gid;
  std::optional<long> file_size_limit;  // bytes (RLIMIT_FSIZE)
  std::optional<std::size_t> kill_after_lines;  // SIGKILL once stdout has this many lines
  std::optional<std::chrono::milliseconds> kill_after;
  // Sends `signals` once stdout has a line starting with `signal_at_line`,
  // each only after the one before has been taken by the program.
  std::string signal_at_line;
  std::vector<int> signals;
};

struct ChildResult {
  int code = -1;        // exit code; -1 when killed by a signal
  int signal = 0;
  std::vector<std::string> out;  // stdout lines
  std::string err;
  bool completed() const;  // exit 0 and the run's closing banner
  std::string all() const;  // stdout and stderr
};

ChildResult run_cli(const Child& child);

// A user the permission tests can run as: nobody, when this process is
// root (root passes every permission check); nullopt otherwise.
bool running_as_root();
struct User {
  uid_t uid;
  gid_t gid;
};
std::optional<User> unprivileged_user();
// Gives `user` the folder and everything in it, and lets it pass through
// the folders above up to /.
void hand_over(const std::filesystem::path& dir, const User& user);

// Every file of a folder tree with its bytes and modification time (and,
// `with_folders`, every folder with its time).
struct FileState {
  std::string bytes;
  std::filesystem::file_time_type mtime;
  bool operator==(const FileState&) const = default;
};
std::map<std::string, FileState> snapshot(const std::filesystem::path& dir, bool with_folders = false);

// A small old data set in `dir` (created).
void write_sample(const std::filesystem::path& dir, int rows = 20, int jobs = 40);

// Every row of the eighteen tables of a database file, as text, each
// table's rows sorted; one entry per table.
std::map<std::string, std::vector<std::string>> dump_database(const std::filesystem::path& file);

// Runs the command with `args` once to the end, then kills it at each point
// (after that many stdout lines; negative: after that many milliseconds)
// and runs it again: the old tables in `data` stay as they were and the
// database `db` equals the one of the uninterrupted run.
void kill_and_rerun(const std::vector<std::string>& args, const std::filesystem::path& data,
                    const std::filesystem::path& db, const std::vector<long>& points);

}  // namespace qv::test
