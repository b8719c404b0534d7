// The stop signals' handler: SIGHUP stays ignored when the program was
// started with it ignored (nohup); every earlier action comes back.
#include <gtest/gtest.h>

#include <signal.h>

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

}  // namespace
