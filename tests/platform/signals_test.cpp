// The stop signals' handler: SIGHUP stays ignored when the program was
// started with it ignored (nohup); every earlier action comes back. A stop
// signal delivered twice at once is one request.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <utility>
#include <vector>

#include "platform/signals.h"

namespace {

void on_stop(int) {}

sighandler_t action_of(int sig) {
  struct sigaction sa {};
  ::sigaction(sig, nullptr, &sa);
  return sa.sa_handler;
}

TEST(StopSignals, HangUpStaysIgnoredUnderNohup) {
  for (const bool ignored : {true, false}) {
    SCOPED_TRACE(ignored ? "SIGHUP ignored" : "SIGHUP as it comes");
    ::signal(SIGHUP, ignored ? SIG_IGN : SIG_DFL);
    {
      const qv::platform::StopSignalHandler handler(on_stop);
      EXPECT_EQ(action_of(SIGHUP), ignored ? SIG_IGN : &on_stop);
      EXPECT_EQ(action_of(SIGTERM), &on_stop);
      EXPECT_EQ(action_of(SIGINT), &on_stop);
    }
    EXPECT_EQ(action_of(SIGHUP), ignored ? SIG_IGN : SIG_DFL);
    EXPECT_EQ(action_of(SIGTERM), SIG_DFL);
  }
  ::signal(SIGHUP, SIG_DFL);
}

TEST(StopSignals, TheFirstDeliveredTwiceIsNoSecondRequest) {
  using qv::platform::StopKind;
  using namespace std::chrono_literals;
  struct Arrival {
    int sig;
    std::chrono::nanoseconds window;
    StopKind kind;
  };
  const std::vector<std::pair<const char*, std::vector<Arrival>>> cases = {
      {"timeout's signal, to the program and its group",
       {{SIGTERM, 1s, StopKind::first}, {SIGTERM, 1s, StopKind::echo}, {SIGTERM, 1s, StopKind::echo}}},
      {"the same signal, later", {{SIGINT, 1s, StopKind::first}, {SIGINT, 0s, StopKind::second}}},
      {"another signal at once", {{SIGHUP, 1s, StopKind::first}, {SIGTERM, 1s, StopKind::second}}},
  };
  for (const auto& [what, arrivals] : cases) {
    SCOPED_TRACE(what);
    qv::platform::StopRequests stops;
    EXPECT_EQ(stops.first(), 0);
    for (const Arrival& a : arrivals) EXPECT_EQ(stops.arrived(a.sig, a.window), a.kind);
    EXPECT_EQ(stops.first(), arrivals.front().sig);
  }
}

}  // namespace
