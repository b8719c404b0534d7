// The headless command's progress as a person sees it: run on a
// pseudo-terminal, its output read back as the terminal received it.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sample_data.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct TermRun {
  int code = -1;
  std::string terminal;  // all the pseudo-terminal received
  std::string out, err;  // the files, for streams sent to one
};

enum Stream { kTerminal, kFile };

// Runs the command with stderr, and stdout too unless `out` is kFile, on a
// pseudo-terminal `columns` wide; TERM and the plain lines' interval as given.
TermRun run_on_terminal(const std::vector<std::string>& args, Stream out, Stream err, const char* term,
                    unsigned short columns, const fs::path& io) {
  winsize size{};
  size.ws_row = 40;
  size.ws_col = columns;
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    if (out == kFile) ::dup2(::open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    if (err == kFile) ::dup2(::open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    ::setenv("TERM", term, 1);
    ::setenv("QUORVEL_TEST_PROGRESS_SECONDS", "0", 1);
    std::vector<char*> argv;
    const std::string program = std::string(QV_BIN_DIR) + "/quorvel-migrate-cli";
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  TermRun r;
  if (pid < 0) return r;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) r.terminal.append(buf, static_cast<std::size_t>(n));
    else if (n < 0 && errno == EINTR) continue;
    else break;  // EIO: the program and its descriptors are gone
  }
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = qv::test::slurp(io / "out");
  r.err = qv::test::slurp(io / "err");
  return r;
}

// The rows of the terminal's output from the first progress line to the
// last, each with the bytes written to it (the terminal's \r\n ends a row).
std::vector<std::string> rows_under_progress(const std::string& terminal) {
  std::vector<std::string> rows;
  const std::size_t first = terminal.find("table 1 of");
  if (first == std::string::npos) return rows;
  std::size_t from = terminal.rfind('\n', first) + 1;
  for (std::size_t nl; (nl = terminal.find('\n', from)) != std::string::npos; from = nl + 1)
    rows.push_back(terminal.substr(from, nl - from));
  return rows;
}

// What a row shows first: its text up to the first return to its start.
std::string first_drawn(const std::string& row) {
  std::size_t from = row.find_first_not_of('\r');
  if (from == std::string::npos) return {};
  return row.substr(from, row.find('\r', from) - from);
}

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qv::sample::Options o;
    o.jobs = 12000;  // three temporary files: log lines within the job-search table
    qv::sample::write_data_set(data_set, o);
  }
  std::vector<std::string> args() const { return {"--replace", "--drive-c", drive.path().string(), data_set.string()}; }

  qv::test::TempDir drive, io;
  fs::path data_set = drive.path() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "prog0001";
};

// Status log and progress on one terminal: each log line is written over the
// progress line, which is drawn again on the next row before anything else,
// so no row under way ever stands without it; on a dumb terminal the same
// without escape sequences.
TEST_F(ProgressTest, LogLinesPassAboveASteadyProgressLine) {
  for (const char* term : {"xterm", "dumb"}) {
    SCOPED_TRACE(term);
    const TermRun r = run_on_terminal(args(), kTerminal, kTerminal, term, 200, io.path());
    ASSERT_EQ(r.code, 0) << r.terminal;
    const std::vector<std::string> rows = rows_under_progress(r.terminal);
    // Every row until the run's closing banner began with the progress line.
    std::size_t checked = 0;
    for (const std::string& row : rows) {
      if (row.find("Conversion run complete") != std::string::npos) break;
      EXPECT_THAT(first_drawn(row), ::testing::StartsWith("table ")) << row;
      ++checked;
    }
    EXPECT_GT(checked, 60U);  // every table's log lines
    EXPECT_THAT(r.terminal, HasSubstr("table 11 of 18: JSEARCH_4 "));
    EXPECT_THAT(r.terminal, HasSubstr(", step 2 of 3: writing temporary files, "));
    EXPECT_THAT(r.terminal, HasSubstr("----->Loading Temp file 2-js.db"));
    if (std::string(term) == "dumb") EXPECT_EQ(r.terminal.find('\x1b'), std::string::npos);
    else EXPECT_THAT(r.terminal, HasSubstr("\x1b[K"));
  }
}

// Where the log does not reach the progress's terminal, the progress line is
// never taken down until the run ends; elsewhere it comes as plain lines.
TEST_F(ProgressTest, OtherStreamsLeaveTheProgressAlone) {
  // Stdout to a file: the terminal gets progress redrawn in place, and the
  // summary after it.
  TermRun r = run_on_terminal(args(), kFile, kTerminal, "xterm", 40, io.path());
  ASSERT_EQ(r.code, 0) << r.terminal;
  const std::size_t summary = r.terminal.find("table  ");
  ASSERT_NE(summary, std::string::npos);
  const std::string progress = r.terminal.substr(0, summary);
  EXPECT_EQ(progress.find('\n'), std::string::npos) << progress;
  // Cut to the terminal's width: no draw longer than 39 columns.
  for (std::size_t at = 0; (at = progress.find("table ", at)) != std::string::npos; ++at)
    EXPECT_LE(progress.find('\x1b', at) - at, 39U) << progress.substr(at, 80);
  EXPECT_THAT(r.out, HasSubstr("Conversion run complete\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("\r")));

  // Stderr to a file: plain lines (every report, with the test's interval).
  r = run_on_terminal(args(), kTerminal, kFile, "xterm", 200, io.path());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("table 1 of 18: CARRIER_4 0%, copying rows, 0 of 18 records\n"));
  EXPECT_THAT(r.err, HasSubstr("table 11 of 18: JSEARCH_4 100%, building indexes, 12000 of 12000 records\n"));
  EXPECT_EQ(r.err.find_first_of("\r\x1b"), std::string::npos);
  EXPECT_THAT(r.terminal, Not(HasSubstr("table 1 of")));
}

}  // namespace
