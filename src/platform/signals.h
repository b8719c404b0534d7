// The signals that ask a run to stop: SIGINT, SIGTERM and SIGHUP (a terminal
// or session that went away). SIGHUP is left alone when it is ignored, as
// under nohup.
#pragma once

#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace qv::platform {

// The stop signals, as a set (for blocking them).
sigset_t stop_signals();

// "SIGTERM" and the like; "signal N" for one without a name.
std::string signal_name(int sig);

// What a stop signal is to a program that may have had one already.
enum class StopKind {
  first,   // the run is to stop at its next row
  echo,    // the first one, delivered again at once: nothing more to do
  second,  // another request: the program ends at once
};

// Tells the stop signals of a program apart, inside a signal handler (lock
// free, async-signal-safe). The same signal again within `window` of the
// first is the first delivered twice, not a second request: `timeout` sends
// its signal to the program and again to the program's process group, and a
// terminal that closes hangs up the program while the shell passes its own
// hangup on.
class StopRequests {
 public:
  static constexpr std::chrono::milliseconds kEchoWindow{1000};

  StopKind arrived(int sig, std::chrono::nanoseconds window = kEchoWindow) noexcept;
  // The first stop signal, 0 before one arrived.
  int first() const noexcept { return first_.load(); }

 private:
  std::atomic<int> first_{0};
  std::atomic<std::int64_t> first_at_ns_{0};  // 0 until the first is recorded
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free);
};

// Installs `handler` for the stop signals (SIGHUP only when not ignored),
// without SA_RESTART, so that a blocking call returns and the stop is seen;
// the earlier actions come back when the object goes.
class StopSignalHandler {
 public:
  explicit StopSignalHandler(void (*handler)(int));
  ~StopSignalHandler();
  StopSignalHandler(const StopSignalHandler&) = delete;
  StopSignalHandler& operator=(const StopSignalHandler&) = delete;

 private:
  std::array<struct sigaction, 3> earlier_{};
  std::array<bool, 3> installed_{};
};

}  // namespace qv::platform
