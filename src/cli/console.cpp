#include "cli/console.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "platform/text.h"

namespace qv::cli {

namespace {

std::string time_left(double seconds) {
  const auto s = static_cast<long long>(std::lround(seconds));
  if (s < 60) return fmt::format("about {} s left", s);
  if (s < 3600) return fmt::format("about {} min {} s left", s / 60, s % 60);
  return fmt::format("about {} h {} min left", s / 3600, s % 3600 / 60);
}

// The same terminal as stderr.
bool on_stderr_terminal(std::FILE* f) {
  if (!f || isatty(fileno(f)) == 0 || isatty(STDERR_FILENO) == 0) return false;
  struct stat a {}, b {};
  return fstat(fileno(f), &a) == 0 && fstat(STDERR_FILENO, &b) == 0 && a.st_rdev == b.st_rdev;
}

// Seconds between two plain progress lines: 10, or a test's own.
double plain_interval() {
  if (const char* s = std::getenv("QUORVEL_TEST_PROGRESS_SECONDS")) {
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end != s && v >= 0) return v;
  }
  return 10.0;
}

std::size_t columns(std::string_view text) { return platform::utf8_length(text); }

}  // namespace

std::string progress_line(const TableStats& t, std::size_t table_number, std::size_t tables) {
  const double share =
      t.old_rows > 0 ? std::min(1.0, static_cast<double>(t.done) / static_cast<double>(t.old_rows)) : 1.0;
  std::string line = fmt::format("table {} of {}: {} {:.0f}%, {}, {} of {} records", table_number, tables, t.table,
                                 std::floor(share * 100), t.step, t.step_done >= 0 ? t.step_done : t.done,
                                 t.old_rows);
  // A guess only once the table has run a little.
  if (share > 0 && share < 1 && t.seconds >= 1) line += ", " + time_left(t.seconds * (1 - share) / share);
  return line;
}

Console::Console(const Setup& setup)
    : setup_(setup), last_plain_(std::chrono::steady_clock::now()), error_(setup.log_closed ? EBADF : 0) {
  if (setup_.progress == Progress::Off) {
    mode_ = Mode::Off;
  } else if (isatty(STDERR_FILENO) != 0) {
    const char* term = std::getenv("TERM");
    mode_ = !term || !*term || std::strcmp(term, "dumb") == 0 ? Mode::Dumb : Mode::Ansi;
  } else {
    mode_ = Mode::Plain;
    plain_interval_ = std::chrono::duration<double>(plain_interval());
  }
  log_on_terminal_ = mode_ != Mode::Off && on_stderr_terminal(setup_.log);
}

Console::~Console() { end_progress(); }

void Console::log(const std::string& line) {
  if (!setup_.log || error_ != 0) return;
  std::string text;
  if (log_on_terminal_ && shown_) {
    // Written over the progress line, which is drawn again below it: the
    // row never stands empty.
    text = '\r' + line;
    if (mode_ == Mode::Ansi)
      text += "\x1b[K";
    else if (columns(line) < drawn_)
      text.append(drawn_ - columns(line), ' ');
    drawn_ = 0;
  } else {
    text = line;
  }
  text += '\n';
  if (std::fwrite(text.data(), 1, text.size(), setup_.log) != text.size() || std::fflush(setup_.log) != 0) {
    error_ = errno ? errno : EIO;
    return;
  }
  if (log_on_terminal_ && shown_) draw();
}

void Console::progress(const TableStats& t, std::size_t table_number) {
  if (mode_ == Mode::Off) return;
  if (mode_ == Mode::Plain) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_plain_ < plain_interval_) return;
    last_plain_ = now;
    fmt::print(stderr, "{}\n", progress_line(t, table_number, setup_.tables));
    std::fflush(stderr);
    return;
  }
  shown_ = &t;
  table_number_ = table_number;
  draw();
}

void Console::draw() {
  // The figures as they are now: a log line may come between two reports.
  std::string text = '\r' + fitted(progress_line(*shown_, table_number_, setup_.tables));
  const std::size_t width = columns(text) - 1;
  if (mode_ == Mode::Ansi)
    text += "\x1b[K";
  else if (width < drawn_)
    text.append(drawn_ - width, ' ');
  drawn_ = std::max(drawn_, width);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void Console::end_progress() {
  if (!shown_) return;
  if (mode_ == Mode::Ansi)
    std::fputs("\r\x1b[K", stderr);
  else
    fmt::print(stderr, "\r{:{}}\r", "", drawn_);
  std::fflush(stderr);
  shown_ = nullptr;
  drawn_ = 0;
}

// Cut to the terminal's width, so that the line never wraps and the return
// to its start always reaches it.
std::string Console::fitted(const std::string& text) const {
  winsize w{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &w) != 0 || w.ws_col < 2) return text;
  return std::string(platform::utf8_prefix(text, w.ws_col - 1U));
}

}  // namespace qv::cli
