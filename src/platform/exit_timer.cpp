#include "platform/exit_timer.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

namespace qv::platform {

namespace {

struct Timer {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  int code = 0;
  std::function<std::string()> line;
  bool started = false;
  unsigned arming = 0;
};

// Never destroyed: the timer's thread may still wait on it while the
// process's exit handlers run.
Timer& timer() {
  static Timer* const t = new Timer;
  return *t;
}

void write_all(const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void watch() {
  Timer& t = timer();
  std::unique_lock lock(t.mutex);
  for (;;) {
    if (!t.deadline) {
      t.changed.wait(lock);
      continue;
    }
    if (t.changed.wait_until(lock, *t.deadline) != std::cv_status::timeout) continue;
    if (!t.deadline || std::chrono::steady_clock::now() < *t.deadline) continue;
    write_all((t.line ? t.line() : std::string()) + "\n");
    ::_exit(t.code);
  }
}

}  // namespace

std::chrono::milliseconds timer_length(std::chrono::milliseconds normal) {
  const char* set = std::getenv("QUORVEL_TEST_TIMER_MS");
  if (!set || !*set) return normal;
  char* end = nullptr;
  const long ms = std::strtol(set, &end, 10);
  return (*end == '\0' && ms > 0) ? std::chrono::milliseconds(ms) : normal;
}

unsigned arm_exit_timer(std::chrono::milliseconds after, int code, std::function<std::string()> line) {
  Timer& t = timer();
  std::lock_guard lock(t.mutex);
  ++t.arming;
  t.deadline = std::chrono::steady_clock::now() + after;
  t.code = code;
  t.line = std::move(line);
  if (!t.started) {
    std::thread(watch).detach();
    t.started = true;
  }
  t.changed.notify_all();
  return t.arming;
}

void disarm_exit_timer(unsigned arming) {
  Timer& t = timer();
  std::lock_guard lock(t.mutex);
  if (arming != t.arming) return;
  t.deadline.reset();
  t.changed.notify_all();
}

}  // namespace qv::platform
