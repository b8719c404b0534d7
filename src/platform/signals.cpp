#include "platform/signals.h"

#include <time.h>

#include <cstring>

namespace qv::platform {

namespace {
constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};
}

std::string signal_name(int sig) {
  const char* abbrev = ::sigabbrev_np(sig);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

StopKind StopRequests::arrived(int sig, std::chrono::nanoseconds window) noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
  const std::int64_t now = std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec + 1;  // never 0
  int first = 0;
  if (first_.compare_exchange_strong(first, sig)) {
    first_at_ns_.store(now);
    return StopKind::first;
  }
  // A first whose time is not yet recorded is being handled on another
  // thread at this very moment.
  const std::int64_t at = first_at_ns_.load();
  if (first == sig && (at == 0 || now - at < window.count())) return StopKind::echo;
  return StopKind::second;
}

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kStopSignals) sigaddset(&set, s);
  return set;
}

StopSignalHandler::StopSignalHandler(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
    if (::sigaction(kStopSignals[i], nullptr, &earlier_[i]) != 0) continue;
    if (kStopSignals[i] == SIGHUP && earlier_[i].sa_handler == SIG_IGN) continue;
    installed_[i] = ::sigaction(kStopSignals[i], &sa, nullptr) == 0;
  }
}

StopSignalHandler::~StopSignalHandler() {
  for (std::size_t i = 0; i < kStopSignals.size(); ++i)
    if (installed_[i]) ::sigaction(kStopSignals[i], &earlier_[i], nullptr);
}

}  // namespace qv::platform
