#include "cli/login.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <string>

#include <fmt/format.h>

namespace qv::cli {

namespace {

// The terminal while a prompt has its echo off (for restore_terminal).
volatile std::sig_atomic_t g_tty = -1;
termios g_saved{};

// Writes `prompt` to the terminal and reads a line from it; nullopt when
// there is no terminal or it ends.
std::optional<std::string> ask(const std::string& prompt, bool echo) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  if (::write(fd, prompt.data(), prompt.size()) < 0) {
    ::close(fd);
    return std::nullopt;
  }
  if (!echo && ::tcgetattr(fd, &g_saved) == 0) {
    termios quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    g_tty = fd;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::string line;
  char c = 0;
  bool ended = false;
  while (true) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
      break;
    }
    if (c == '\n') break;
    line += c;
  }
  if (!echo) {
    restore_terminal();
    if (::write(fd, "\n", 1) < 0) ended = true;
  }
  ::close(fd);
  if (ended && line.empty()) return std::nullopt;
  return line;
}

}  // namespace

void restore_terminal() {
  const int fd = g_tty;
  if (fd < 0) return;
  ::tcsetattr(fd, TCSAFLUSH, &g_saved);
  g_tty = -1;
}

std::optional<ServerDestination> server_destination(const std::string& host, const std::string& directory,
                                                    const std::string& wire_crypt) {
  if (const std::string problem = ServerDestination::host_problem(host); !problem.empty()) {
    fmt::print(stderr, "--server {}: {}\n", host, problem);
    return std::nullopt;
  }
  if (directory.empty()) {
    fmt::print(stderr, "--server-dir: the folder on the server's machine is required with --server\n");
    return std::nullopt;
  }
  ServerDestination d;
  d.server.host = host;
  d.directory = directory;
  d.server.wire_crypt = wire_crypt;
  for (char& c : d.server.wire_crypt) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!d.server.wire_crypt.empty()) d.server.wire_crypt[0] = static_cast<char>(std::toupper(d.server.wire_crypt[0]));
  if (d.login_from_environment()) return d;
  if (!std::getenv("ISC_USER")) {
    const auto user = ask(fmt::format("User name on {} [{}]: ", host, d.server.user), true);
    if (user && !user->empty()) d.server.user = *user;
  }
  const auto password = ask(fmt::format("Password of {} on {}: ", d.server.user, host), false);
  if (!password) {
    fmt::print(stderr, "No password for the server {}: set ISC_USER and ISC_PASSWORD, or run on a terminal\n", host);
    return std::nullopt;
  }
  d.server.password = *password;
  return d;
}

}  // namespace qv::cli
