// The signals that ask a run to stop: SIGINT, SIGTERM and SIGHUP (a terminal
// or session that went away). SIGHUP is left alone when it is ignored, as
// under nohup.
#pragma once

#include <signal.h>

#include <array>
#include <string>

namespace qv::platform {

// The stop signals, as a set (for blocking them).
sigset_t stop_signals();

// "SIGTERM" and the like; "signal N" for one without a name.
std::string signal_name(int sig);

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
