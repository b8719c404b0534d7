// The last resort of a process that must end: once armed, a timer ends the
// process with a given exit code and a line on standard error unless it is
// disarmed first. It runs on a thread of its own, so a call that never
// returns on any other thread (a futex of another process's making, a
// server that went silent) cannot hold it up.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace qv::platform {

// `normal`, or the length QUORVEL_TEST_TIMER_MS sets for every timer of the
// program (tests only: a hang is then met in a fraction of a second).
std::chrono::milliseconds timer_length(std::chrono::milliseconds normal);

// Arms the timer, replacing an earlier arming: after `after` the process
// writes `line()` (made then, on the timer's thread) and a newline on
// standard error and ends with `code`. Returns the arming's number.
unsigned arm_exit_timer(std::chrono::milliseconds after, int code, std::function<std::string()> line);
// Disarms the timer if `arming` is still the last one.
void disarm_exit_timer(unsigned arming);

}  // namespace qv::platform
