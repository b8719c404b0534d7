#include "reliability/child.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "builder/schema.h"
#include "datamodule/datamodule.h"
#include "firebird/ib.h"
#include "sample_data.h"

namespace fs = std::filesystem;

namespace qv::test {

bool ChildResult::completed() const {
  return code == 0 && std::find(out.begin(), out.end(), "Conversion run complete") != out.end();
}

std::string ChildResult::all() const {
  std::string s = signal ? "(killed by signal " + std::to_string(signal) + ")\n" : "";
  for (const auto& l : out) s += l + "\n";
  return s + err;
}

namespace {

[[noreturn]] void child_exec(const Child& c, int out_fd, int err_fd) {
  ::dup2(out_fd, 1);
  ::dup2(err_fd, 2);
  const int in = ::open("/dev/null", O_RDONLY);
  ::dup2(in, 0);
  if (c.file_size_limit) {
    rlimit lim{static_cast<rlim_t>(*c.file_size_limit), static_cast<rlim_t>(*c.file_size_limit)};
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  if (c.uid) {
    // The engine's lock and root folders are private to each user.
    ::unsetenv("FIREBIRD_LOCK");
    ::unsetenv("FIREBIRD");
    if (::setgroups(0, nullptr) != 0 || ::setgid(c.gid.value_or(*c.uid)) != 0 || ::setuid(*c.uid) != 0) {
      std::perror("dropping privileges");
      ::_exit(127);
    }
  }
  const std::string program = std::string(QV_BIN_DIR) + "/quorvel-migrate-cli";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  std::perror("execv");
  ::_exit(127);
}

}  // namespace

ChildResult run_cli(const Child& c) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) child_exec(c, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);

  ChildResult r;
  std::string partial;
  const auto start = std::chrono::steady_clock::now();
  bool killed = false;
  bool signalled = false;
  std::array<pollfd, 2> fds{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
  int open_fds = 2;
  while (open_fds > 0) {
    int timeout = -1;
    if (c.kill_after && !killed) {
      const auto left = *c.kill_after - std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start);
      timeout = static_cast<int>(std::max<long>(0, left.count()));
    }
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n == 0 && !killed) {
      ::kill(pid, SIGKILL);
      killed = true;
      continue;
    }
    for (auto& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t got = ::read(f.fd, buf, sizeof buf);
      if (got <= 0) {
        ::close(f.fd);
        f.fd = -1;
        --open_fds;
        continue;
      }
      if (f.fd == err[0]) {
        r.err.append(buf, static_cast<std::size_t>(got));
        continue;
      }
      partial.append(buf, static_cast<std::size_t>(got));
      for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
        r.out.push_back(partial.substr(0, nl));
        partial.erase(0, nl + 1);
        if (!c.signals.empty() && !signalled && r.out.back().rfind(c.signal_at_line, 0) == 0) {
          for (int sig : c.signals) ::kill(pid, sig);
          signalled = true;
        }
        if (c.kill_after_lines && !killed && r.out.size() >= *c.kill_after_lines) {
          ::kill(pid, SIGKILL);
          killed = true;
        }
      }
    }
  }
  if (!partial.empty()) r.out.push_back(partial);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

bool running_as_root() { return ::geteuid() == 0; }

std::optional<User> unprivileged_user() {
  if (!running_as_root()) return std::nullopt;
  const passwd* pw = ::getpwnam("nobody");
  if (!pw) return User{65534, 65534};
  return User{pw->pw_uid, pw->pw_gid};
}

void hand_over(const fs::path& dir, const User& user) {
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (::chown(e.path().c_str(), user.uid, user.gid) != 0) throw std::runtime_error("chown " + e.path().string());
  if (::chown(dir.c_str(), user.uid, user.gid) != 0) throw std::runtime_error("chown " + dir.string());
  for (fs::path p = dir.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path())
    fs::permissions(p, fs::perms::others_exec, fs::perm_options::add);
}

std::map<std::string, FileState> snapshot(const fs::path& dir) {
  std::map<std::string, FileState> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    files[fs::relative(e.path(), dir).string()] = {ss.str(), fs::last_write_time(e.path())};
  }
  return files;
}

void write_sample(const fs::path& dir, int rows, int jobs) {
  qv::sample::Options o;
  o.rows = static_cast<std::size_t>(rows);
  o.jobs = static_cast<std::size_t>(jobs);
  qv::sample::write_data_set(dir, o);
}

std::map<std::string, std::vector<std::string>> dump_database(const fs::path& file) {
  std::map<std::string, std::vector<std::string>> tables;
  fb::IBDatabase db;
  db.DatabaseName = file.string();
  db.Params = qv::admin_login();
  db.Open();
  for (const auto& t : builder::schema()) {
    auto& rows = tables[std::string(t.name)];
    for (const auto& row : db.Query("SELECT * FROM " + std::string(t.name))) {
      std::string line;
      for (const auto& v : row) line += (v ? "'" + *v + "'" : std::string("NULL")) + "|";
      rows.push_back(line);
    }
    std::sort(rows.begin(), rows.end());
  }
  db.Close();
  return tables;
}

void kill_and_rerun(const std::vector<std::string>& args, const fs::path& data, const fs::path& db,
                    const std::vector<long>& points) {
  const auto before = snapshot(data);
  const ChildResult first = run_cli(args);
  ASSERT_TRUE(first.completed()) << first.all();
  const auto reference = dump_database(db);
  ASSERT_EQ(reference.size(), 18u);
  for (long point : points) {
    SCOPED_TRACE("killed at " + (point >= 0 ? std::to_string(point) + " lines" : std::to_string(-point) + " ms"));
    Child c(args);
    if (point >= 0)
      c.kill_after_lines = static_cast<std::size_t>(point);
    else
      c.kill_after = std::chrono::milliseconds(-point);
    const ChildResult killed = run_cli(c);
    EXPECT_TRUE(killed.signal == SIGKILL || killed.completed()) << killed.all();
    EXPECT_EQ(snapshot(data), before);
    const ChildResult again = run_cli(args);
    ASSERT_TRUE(again.completed()) << again.all();
    EXPECT_EQ(dump_database(db), reference);
  }
}

}  // namespace qv::test
