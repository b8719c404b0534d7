#include "batch/batch.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "run/context.h"
#include "platform/paths.h"
#include "platform/signals.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace qv::batch {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kRefused = 2;
constexpr std::size_t kMaxJobs = 64;

using Clock = std::chrono::steady_clock;

// ---- Signals ---------------------------------------------------------------

// Children at work, for the handler to pass a stop signal on to. A slot is
// written only while the stop signals are blocked.
std::array<std::atomic<pid_t>, kMaxJobs> g_children{};
volatile std::sig_atomic_t g_signal = 0;
static_assert(std::atomic<pid_t>::is_always_lock_free);

// Each signal goes on to every running child: the first stops it at its
// next row, a second ends it at once. Nothing new starts after the first.
extern "C" void on_batch_signal(int sig) {
  if (g_signal == 0) g_signal = sig;
  for (auto& slot : g_children)
    if (const pid_t pid = slot.load(); pid > 0) ::kill(pid, sig);
}

// Our handler for the stop signals, blocked except while waiting for a
// child; the earlier handlers and mask come back at the end.
class SignalScope {
 public:
  SignalScope() {
    g_signal = 0;
    const sigset_t set = platform::stop_signals();
    ::sigprocmask(SIG_BLOCK, &set, &old_mask_);
    handler_.emplace(on_batch_signal);
  }
  ~SignalScope() {
    handler_.reset();  // a signal still pending then meets the earlier handler
    ::sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;
  const sigset_t& old_mask() const { return old_mask_; }

 private:
  sigset_t old_mask_{};
  std::optional<platform::StopSignalHandler> handler_;
};

// ---- One data set's run ----------------------------------------------------

enum class State { NotStarted, Succeeded, Failed, Stopped };

struct Outcome {
  State state = State::NotStarted;
  std::string result = "not started";
  int exit_code = -1;  // -1: none (not started, or ended by a signal)
  std::int64_t tables = 0, rows = 0;
  double seconds = 0;
  nlohmann::json report, verify;  // what the child wrote, when it did
};

std::optional<nlohmann::json> read_json(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  try {
    return nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // cut short by a crash
  }
}

// Tables and rows of a run's or a verify's JSON report.
void count_rows(const nlohmann::json& report, const char* rows_key, Outcome& o) {
  if (!report.is_object() || !report.contains("tables") || !report["tables"].is_array()) return;
  o.tables = static_cast<std::int64_t>(report["tables"].size());
  o.rows = 0;
  for (const auto& t : report["tables"])
    if (t.is_object() && t.contains(rows_key) && t[rows_key].is_number_integer()) o.rows += t[rows_key].get<std::int64_t>();
}

// What a child's wait status and reports say.
void judge(Action action, int status, const fs::path& report_file, Outcome& o) {
  if (auto r = read_json(report_file)) o.report = std::move(*r);
  // Migrated and verified: the verify's report is inside the run's.
  if (o.report.is_object() && o.report.contains("verify")) o.verify = o.report["verify"];
  if (action == Action::Verify) count_rows(o.report, "found", o);
  else count_rows(o.report, "new_rows", o);

  if (WIFSIGNALED(status)) {
    o.state = State::Failed;
    o.result = "crashed (" + platform::signal_name(WTERMSIG(status)) + ")";
    return;
  }
  o.exit_code = WEXITSTATUS(status);
  const bool run_completed = o.report.is_object() && o.report.value("outcome", "") == "completed";
  switch (o.exit_code) {
    case kOk:
      o.state = State::Succeeded;
      o.result = action == Action::Check                ? "nothing would stop"
                 : action == Action::Verify             ? "no differences"
                 : action == Action::ConvertThenVerify ? "completed, verified"
                                                        : "completed";
      return;
    case kFailed:
      o.state = State::Failed;
      o.result = action == Action::Check    ? "would stop"
                 : action == Action::Verify ? "differences found"
                 : action == Action::ConvertThenVerify && run_completed ? "completed, verify found differences"
                                                                        : "failed";
      return;
    case kRefused: o.state = State::Failed; o.result = "refused"; return;
    case 128 + SIGINT:
    case 128 + SIGTERM:
    case 128 + SIGHUP:
      o.state = State::Stopped;
      o.result = "stopped (" + platform::signal_name(o.exit_code - 128) + ")";
      return;
    default: o.state = State::Failed; o.result = fmt::format("failed (exit {})", o.exit_code);
  }
}

// ---- Child processes -------------------------------------------------------

struct Child {
  pid_t pid = -1;
  std::size_t set = 0;
  Clock::time_point start;
};

// Starts `argv` with stdout and stderr on `log_fd`, stdin on /dev/null, in a
// process group of its own (a terminal's Ctrl-C reaches the batch only, which
// passes it on once) and ended by SIGTERM should the batch die first. Only
// the three standard descriptors reach the program. Returns the pid, or
// throws naming why exec failed.
pid_t spawn(const std::vector<std::string>& args, int log_fd, const sigset_t& child_mask) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int report[2];  // exec's errno, when it fails
  if (null_fd < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    const int e = errno;
    if (null_fd >= 0) ::close(null_fd);
    throw std::runtime_error(std::string("cannot prepare a child process: ") + std::strerror(e));
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(128 + SIGTERM);
    int err = 0;
    if (::dup2(null_fd, 0) < 0 || ::dup2(log_fd, 1) < 0 || ::dup2(log_fd, 2) < 0) err = errno;
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    if (err == 0) {
      ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // the report pipe closes at exec
      ::sigprocmask(SIG_SETMASK, &child_mask, nullptr);
      ::execv(argv[0], argv.data());
      err = errno;
    }
    (void)!::write(report[1], &err, sizeof err);
    ::_exit(127);
  }
  const int fork_errno = errno;
  ::close(null_fd);
  ::close(report[1]);
  if (pid < 0) {
    ::close(report[0]);
    throw std::runtime_error(std::string("cannot start a child process: ") + std::strerror(fork_errno));
  }
  int exec_errno = 0;
  ssize_t got;
  do got = ::read(report[0], &exec_errno, sizeof exec_errno);
  while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == sizeof exec_errno) {
    ::waitpid(pid, nullptr, 0);
    throw std::runtime_error(fmt::format("cannot run {}: {}", args[0], std::strerror(exec_errno)));
  }
  return pid;
}

// ---- The batch -------------------------------------------------------------

const char* action_name(Action a) {
  switch (a) {
    case Action::Convert: return "run";
    case Action::ConvertThenVerify: return "run and verify";
    case Action::Check: return "check";
    case Action::Verify: return "verify";
  }
  return "run";
}

unsigned processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  return 1;
}

// A new folder in the current one, named after the run's start.
fs::path new_log_dir() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  for (int n = 1; n <= 100; ++n) {
    const fs::path dir =
        fs::absolute(n == 1 ? fmt::format("quorvel-batch-{}", stamp) : fmt::format("quorvel-batch-{}-{}", stamp, n));
    if (::mkdir(dir.c_str(), 0700) == 0) return dir;
    if (errno != EEXIST) throw std::runtime_error(fmt::format("Cannot create the log folder {}: {}", dir.string(), std::strerror(errno)));
  }
  throw std::runtime_error("Cannot find a new name for the log folder in " + fs::current_path().string());
}

fs::path prepare_log_dir(const fs::path& wanted) {
  if (wanted.empty()) return new_log_dir();
  const fs::path dir = fs::absolute(wanted);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) throw std::runtime_error("The log folder " + dir.string() + " cannot be created");
  return dir;
}

// Holds the log folder for this batch: a lock on a file in it, which the
// system lets go when the batch ends however it ends. Another batch that
// holds it, or an earlier batch's log or report of one of these data sets,
// refuses the batch: nothing there is written over.
class LogFolderLock {
 public:
  LogFolderLock(const fs::path& dir, const std::vector<DataSet>& sets) {
    const fs::path file = dir / kLockFile;
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw std::runtime_error(fmt::format("Cannot lock the log folder {}: {}", dir.string(), std::strerror(errno)));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd_);
      throw std::runtime_error(error == EWOULDBLOCK
                                   ? fmt::format("The log folder {} is in use by another batch", dir.string())
                                   : fmt::format("Cannot lock the log folder {}: {}", dir.string(), std::strerror(error)));
    }
    std::vector<std::string> earlier;
    for (const DataSet& set : sets)
      for (const char* ext : {".log", ".json"}) {
        std::error_code ec;
        if (fs::exists(fs::symlink_status(dir / (set.database + ext), ec))) earlier.push_back(set.database + ext);
      }
    if (!earlier.empty()) {
      ::close(fd_);
      throw std::runtime_error(fmt::format(
          "The log folder {} already holds {} of an earlier batch: give another --log-dir, or move them away",
          dir.string(), platform::readable_message(fmt::format("{}", fmt::join(earlier, ", ")))));
    }
  }
  ~LogFolderLock() { ::close(fd_); }
  LogFolderLock(const LogFolderLock&) = delete;
  LogFolderLock& operator=(const LogFolderLock&) = delete;

  static constexpr const char* kLockFile = ".quorvel-batch.lock";

 private:
  int fd_ = -1;
};

std::string shown_path(const fs::path& dir, const fs::path& root) {
  const fs::path rel = dir.lexically_relative(root);
  return platform::readable_message(rel.empty() ? dir.string() : rel.string());
}

class Batch {
 public:
  Batch(const Options& o, std::vector<DataSet> sets, fs::path log_dir)
      : o_(o), sets_(std::move(sets)), outcomes_(sets_.size()), log_dir_(std::move(log_dir)) {}

  // Runs every data set; the exit code.
  int run() {
    const unsigned jobs = std::min<unsigned>(o_.jobs ? o_.jobs : processors(), kMaxJobs);
    fmt::print(stderr, "{} data sets under {}, {} at a time; logs in {}\n", sets_.size(), o_.root.string(), jobs,
               log_dir_.string());
    SignalScope signals;
    std::vector<Child> running;
    std::size_t next = 0;
    try {
      for (;;) {
        while (running.size() < jobs && next < sets_.size() && g_signal == 0) start(next++, running, signals);
        if (running.empty()) break;
        wait_for_one(running, signals);
      }
    } catch (...) {
      stop_all(running);
      throw;
    }
    const int sig = g_signal;
    print_summary(sig);
    int code = sig ? 128 + sig : kOk;
    if (code == kOk && std::any_of(outcomes_.begin(), outcomes_.end(),
                                   [](const Outcome& x) { return x.state != State::Succeeded; }))
      code = kFailed;
    if (!o_.report.empty() && !write_report(sig, code) && code == kOk) code = kFailed;
    return code;
  }

 private:
  fs::path log_file(std::size_t i) const { return log_dir_ / (sets_[i].database + ".log"); }
  fs::path report_file(std::size_t i) const { return log_dir_ / (sets_[i].database + ".json"); }

  std::vector<std::string> child_args(std::size_t i) const {
    std::vector<std::string> args{o_.executable};
    args.insert(args.end(), o_.child_options.begin(), o_.child_options.end());
    for (const std::string& a : {std::string(kChildOption), sets_[i].database, std::string("--report"),
                                 report_file(i).string(), sets_[i].directory.string()})
      args.push_back(a);
    return args;
  }

  void start(std::size_t i, std::vector<Child>& running, const SignalScope& signals) {
    std::error_code ec;  // a report that stays unread is ignored
    fs::remove(report_file(i), ec);
    const int log_fd = platform::open_output(log_file(i), O_NOFOLLOW, 0600);
    if (log_fd < 0) {
      finish(i, State::Failed, fmt::format("no log file: {}", std::strerror(errno)));
      return;
    }
    try {
      const pid_t pid = spawn(child_args(i), log_fd, signals.old_mask());
      ::close(log_fd);
      const std::size_t slot = free_slot();
      g_children[slot].store(pid);
      running.push_back({pid, i, Clock::now()});
      slots_[pid] = slot;
    } catch (const std::exception& e) {
      ::close(log_fd);
      finish(i, State::Failed, e.what());
    }
  }

  std::size_t free_slot() const {
    for (std::size_t s = 0; s < g_children.size(); ++s)
      if (g_children[s].load() <= 0) return s;
    throw std::logic_error("more children than slots");
  }

  // Waits, with the stop signals let through, until a child ends; reaps it.
  void wait_for_one(std::vector<Child>& running, const SignalScope& signals) {
    siginfo_t info{};
    ::sigprocmask(SIG_SETMASK, &signals.old_mask(), nullptr);
    const sigset_t set = platform::stop_signals();
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    const int rc = ::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT);
    const int wait_errno = errno;
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
      if (wait_errno == EINTR) return;
      throw std::runtime_error(std::string("waiting for the data sets: ") + std::strerror(wait_errno));
    }
    const pid_t pid = info.si_pid;
    // The slot is cleared before the pid is freed, so the handler never
    // signals a pid that may belong to someone else.
    if (auto s = slots_.find(pid); s != slots_.end()) {
      g_children[s->second].store(0);
      slots_.erase(s);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const auto it = std::find_if(running.begin(), running.end(), [&](const Child& c) { return c.pid == pid; });
    if (it == running.end()) return;  // not one of ours
    Outcome& out = outcomes_[it->set];
    out.seconds = std::chrono::duration<double>(Clock::now() - it->start).count();
    judge(o_.action, status, report_file(it->set), out);
    const std::size_t i = it->set;
    running.erase(it);
    progress_line(i);
  }

  // On an error of the batch itself: the children still at work end now.
  void stop_all(std::vector<Child>& running) {
    for (const Child& c : running) ::kill(c.pid, SIGTERM);
    for (const Child& c : running) ::waitpid(c.pid, nullptr, 0);
    for (auto& slot : g_children) slot.store(0);
    slots_.clear();
  }

  void finish(std::size_t i, State state, std::string result) {
    outcomes_[i].state = state;
    outcomes_[i].result = std::move(result);
    progress_line(i);
  }

  void progress_line(std::size_t i) {
    const Outcome& x = outcomes_[i];
    const std::string error =
        x.report.is_object() && x.report.contains("error") && x.report["error"].is_string() ? x.report["error"].get<std::string>() : "";
    fmt::print(stderr, "[{}/{}] {} -> {}: {}, {} tables, {} rows, {:.2f} s{}\n", ++done_, sets_.size(),
               shown_path(sets_[i].directory, o_.root), platform::readable_message(sets_[i].database), x.result, x.tables,
               x.rows, x.seconds,
               error.empty() ? "" : " (" + error + ")");
    std::fflush(stderr);
  }

  void print_summary(int sig) const {
    std::size_t width = 8;
    for (const DataSet& s : sets_) width = std::max(width, shown_path(s.directory, o_.root).size());
    fmt::print(stderr, "\n{:<{}}  {:<8}  {:>6}  {:>9}  {:<20}  {:>8}\n", "data set", width, "database", "tables",
               "rows", "result", "seconds");
    std::map<std::string, int> counts;
    for (std::size_t i = 0; i < sets_.size(); ++i) {
      const Outcome& x = outcomes_[i];
      fmt::print(stderr, "{:<{}}  {:<8}  {:>6}  {:>9}  {:<20}  {:>8.2f}\n", shown_path(sets_[i].directory, o_.root),
                 width, platform::readable_message(sets_[i].database), x.tables, x.rows, x.result, x.seconds);
      ++counts[x.result];
    }
    std::string tally;
    for (const auto& [result, n] : counts) tally += fmt::format("{}{}: {}", tally.empty() ? "" : "; ", result, n);
    fmt::print(stderr, "{} data sets ({}): {}{}. Logs in {}\n", sets_.size(), action_name(o_.action), tally,
               sig ? fmt::format("; stopped by {}", platform::signal_name(sig)) : "", log_dir_.string());
    std::fflush(stderr);
  }

  bool write_report(int sig, int code) const {
    nlohmann::json sets = nlohmann::json::array();
    for (std::size_t i = 0; i < sets_.size(); ++i) {
      const Outcome& x = outcomes_[i];
      nlohmann::json j = {{"directory", sets_[i].directory.string()},
                          {"database", sets_[i].database},
                          {"log", log_file(i).string()},
                          {"result", x.result},
                          {"succeeded", x.state == State::Succeeded},
                          {"exit_code", x.exit_code < 0 ? nlohmann::json() : nlohmann::json(x.exit_code)},
                          {"tables", x.tables},
                          {"rows", x.rows},
                          {"seconds", x.seconds}};
      if (!x.report.is_null()) j["report"] = x.report;
      if (!x.verify.is_null()) j["verify"] = x.verify;
      sets.push_back(std::move(j));
    }
    nlohmann::json report = {{"root", o_.root.string()},
                                   {"action", action_name(o_.action)},
                                   {"log_dir", log_dir_.string()},
                                   {"stopped_by", sig ? nlohmann::json(platform::signal_name(sig)) : nlohmann::json()},
                                   {"exit_code", code},
                                   {"data_sets", sets}};
    if (o_.complete_report) o_.complete_report(report);
    const std::string error = platform::write_output_or_stdout(o_.report, report.dump(2) + '\n');
    if (!error.empty()) fmt::print(stderr, "Cannot write the report {}: {}\n", o_.report.string(), error);
    return error.empty();
  }

  const Options& o_;
  std::vector<DataSet> sets_;
  std::vector<Outcome> outcomes_;
  fs::path log_dir_;
  std::map<pid_t, std::size_t> slots_;
  std::size_t done_ = 0;
};

}  // namespace

std::string database_name(const fs::path& directory) {
  const std::string single = RunContext::database_name(directory.string());
  if (!single.empty()) return single;
  const fs::path dir = directory.lexically_normal();
  const std::string name = (dir.has_filename() ? dir.filename() : dir.parent_path().filename()).string();
  return std::string(platform::utf8_prefix(platform::ascii_lower(name), RunContext::kNameLength));
}

std::string temp_directory(const std::string& database) {
  return std::string(RunContext::kTempDirectory) + "\\" + database;
}

std::vector<DataSet> find_data_sets(const fs::path& root, std::vector<std::string>& problems) {
  std::vector<DataSet> sets;
  std::error_code ec;
  const fs::path top = fs::absolute(root, ec).lexically_normal();
  if (!fs::is_directory(top, ec)) {
    problems.push_back("The folder " + top.string() + " is not there or is not a folder");
    return sets;
  }
  // Depth first without recursion: a hostile tree may be very deep.
  std::vector<fs::path> pending{top};
  while (!pending.empty()) {
    const fs::path dir = std::move(pending.back());
    pending.pop_back();
    const fs::path marker = platform::find_case_insensitive(dir, "quorvel2.db");
    if (!marker.empty() && fs::is_regular_file(marker, ec)) sets.push_back({dir, database_name(dir)});
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code kind_ec;
      // A link to a folder is neither followed nor a data set.
      if (!it->is_symlink(kind_ec) && it->is_directory(kind_ec)) pending.push_back(it->path());
    }
    if (ec) problems.push_back(fmt::format("Cannot read the folder {}: {}", dir.string(), ec.message()));
    ec.clear();
  }
  std::sort(sets.begin(), sets.end(), [](const DataSet& a, const DataSet& b) { return a.directory < b.directory; });
  return sets;
}

std::vector<std::string> clashes(const std::vector<DataSet>& sets) {
  std::vector<std::string> found;
  std::map<std::string, const DataSet*> first;
  for (const DataSet& s : sets) {
    // Names that the path mapping takes for one file clash, whatever their
    // letter case (Élan and élan alike).
    const auto [at, fresh] = first.emplace(platform::fold_name(s.database), &s);
    if (fresh) continue;
    found.push_back(fmt::format("The data sets {} and {} would both write the database {}",
                                platform::readable_message(at->second->directory.string()),
                                platform::readable_message(s.directory.string()),
                                RunContext::destination_file(s.database)));
  }
  return found;
}

namespace {

// The data sets whose database is already there, when the batch would
// write databases without replacing them.
std::vector<std::string> databases_present(const Options& options, const std::vector<DataSet>& sets) {
  std::vector<std::string> found;
  if (options.replace || options.action == Action::Check || options.action == Action::Verify) return found;
  for (const DataSet& s : sets) {
    const fs::path file = platform::map_path(RunContext::destination_file(s.database));
    std::error_code ec;
    if (fs::symlink_status(file, ec).type() != fs::file_type::not_found)
      found.push_back(fmt::format("The database {} of the data set {} is already there.", file.string(),
                                  platform::readable_message(s.directory.string())));
  }
  return found;
}

}  // namespace

int run(const Options& given) {
  Options options = given;
  options.root = fs::absolute(given.root).lexically_normal();
  std::vector<std::string> problems;
  const std::vector<DataSet> sets = find_data_sets(options.root, problems);
  for (const std::string& p : problems) fmt::print(stderr, "{}\n", platform::readable_message(p));
  if (sets.empty()) {
    fmt::print(stderr, "No data set (a folder holding quorvel2.db) under {}: nothing was done.\n",
               platform::readable_message(options.root.string()));
    return kRefused;
  }
  const std::vector<std::string> clashing = clashes(sets);
  if (!clashing.empty()) {
    for (const std::string& c : clashing) fmt::print(stderr, "{}.\n", c);
    fmt::print(stderr, "Nothing was written: give each data set a folder name of its own.\n");
    return kRefused;
  }
  const std::vector<std::string> present = databases_present(options, sets);
  if (!present.empty()) {
    for (const std::string& p : present) fmt::print(stderr, "{}\n", p);
    fmt::print(stderr, "Nothing was written: give --replace to replace them (each new database takes the place of the "
                       "earlier one only once its run completes).\n");
    return kRefused;
  }
  fs::path log_dir;
  std::optional<LogFolderLock> lock;
  try {
    log_dir = prepare_log_dir(options.log_dir);
    lock.emplace(log_dir, sets);
  } catch (const std::exception& e) {
    fmt::print(stderr, "{}\n", e.what());
    return kRefused;
  }
  return Batch(options, sets, log_dir).run();
}

}  // namespace qv::batch
