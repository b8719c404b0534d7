#include "platform/paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <stdexcept>
#include <system_error>

#include "platform/text.h"

namespace fs = std::filesystem;

namespace qv::platform {

namespace {
std::mutex g_mu;
fs::path g_root;

fs::path default_root() {
  if (const char* env = std::getenv("QUORVEL_DRIVE_C"); env && *env) return fs::path(env);
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home);
  return fs::current_path();
}
}  // namespace

void set_drive_root(const fs::path& root) {
  std::lock_guard lk(g_mu);
  g_root = root;
}

fs::path drive_root() {
  std::lock_guard lk(g_mu);
  if (g_root.empty()) g_root = default_root();
  return g_root;
}

bool is_windows_path(std::string_view p) {
  return p.size() >= 2 && p[1] == ':' &&
         ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
}

fs::path find_case_insensitive(const fs::path& dir, std::string_view name) {
  std::error_code ec;
  if (fs::path exact = dir / fs::path(std::string(name)); fs::exists(exact, ec)) return exact;
  const std::string wanted = fold_name(name);
  fs::path found;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (fold_name(it->path().filename().string()) == wanted) {
      // Several spellings may exist on a case-sensitive system: the first in
      // name order wins, so the choice does not depend on directory order.
      if (found.empty() || it->path() < found) found = it->path();
    }
  }
  return found;
}

fs::path map_path(std::string_view p) {
  if (!is_windows_path(p)) return fs::path(std::string(p));
  fs::path out = drive_root();
  std::string_view rest = p.substr(2);
  bool exists_so_far = true;
  while (!rest.empty()) {
    std::size_t cut = rest.find_first_of("\\/");
    std::string_view part = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      out = out.parent_path();
      continue;
    }
    if (exists_so_far) {
      fs::path hit = find_case_insensitive(out, part);
      if (!hit.empty()) {
        out = hit;
        continue;
      }
      exists_so_far = false;
    }
    out /= fs::path(std::string(part));
  }
  return out;
}

std::string readable_message(std::string_view text) {
  std::string root = drive_root().lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; !root.empty() && (at = text.find(root, from)) != std::string_view::npos;) {
    const std::size_t end = at + root.size();
    // The path runs to a quote, a colon, a comma, a semicolon or a blank.
    constexpr std::string_view kEnds = "\"':,; \t\n)";
    // Only the root itself or a path below it ("/home/ann" is not "/home/anne").
    if (end < text.size() && text[end] != '/' && kEnds.find(text[end]) == std::string_view::npos) {
      out += text.substr(from, end - from);
      from = end;
      continue;
    }
    out += text.substr(from, at - from);
    out += "C:";
    std::size_t stop = text.find_first_of(kEnds, end);
    if (stop == std::string_view::npos) stop = text.size();
    std::string rest(text.substr(end, stop - end));
    std::replace(rest.begin(), rest.end(), '/', '\\');
    out += rest.empty() ? "\\" : rest;
    from = stop;
  }
  out += text.substr(from);
  return printable(out);
}

void force_directories(std::string_view p) {
  const fs::path real = map_path(p);
  std::error_code ec;
  fs::create_directories(real, ec);
  if (!ec && !fs::is_directory(real, ec) && !ec) ec = std::make_error_code(std::errc::not_a_directory);
  if (ec) throw std::runtime_error("Cannot create folder " + real.string() + ": " + ec.message());
}

bool file_exists(std::string_view p) {
  std::error_code ec;
  return fs::is_regular_file(map_path(p), ec);
}

bool delete_file(std::string_view p) {
  std::error_code ec;
  return fs::remove(map_path(p), ec) && !ec;
}

bool file_locked(std::string_view p) {
  const int fd = ::open(map_path(p).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool locked = false;
  // A probe for an exclusive lock fails against any other holder's lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    ::flock(fd, LOCK_UN);
  else
    locked = errno == EWOULDBLOCK;
  if (!locked) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;  // from the start to the end of the file
    locked = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  }
  ::close(fd);
  return locked;
}

FolderLock::FolderLock(std::string_view path) {
  // O_DIRECTORY: anything else in the folder's place (a FIFO among them) is
  // refused at once instead of opened.
  const int fd = ::open(map_path(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    fd_ = fd;
    return;
  }
  busy_ = errno == EWOULDBLOCK;
  ::close(fd);
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), busy_(std::exchange(other.busy_, false)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    busy_ = std::exchange(other.busy_, false);
  }
  return *this;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

int open_output(const std::filesystem::path& file, int extra_flags, unsigned mode) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | extra_flags, mode);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

std::string write_stdout(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return std::strerror(errno);
  return "";
}

std::string write_output_or_stdout(const fs::path& file, std::string_view text) {
  return file == "-" ? write_stdout(text) : write_output(file, text);
}

std::string write_output(const std::filesystem::path& file, std::string_view text) {
  const int fd = open_output(file);
  if (fd < 0) return errno == ENXIO ? "no program reads from it" : std::strerror(errno);
  int error = 0;
  while (!text.empty() && error == 0) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n > 0)
      text.remove_prefix(static_cast<std::size_t>(n));
    else if (n < 0 && errno != EINTR)
      error = errno;
  }
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error ? std::strerror(error) : "";
}

}  // namespace qv::platform
