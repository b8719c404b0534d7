// The engine in this process as a whole: its root folder, the signals it
// would act on, and its end.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qv::fb {

// Lays out an engine root folder at `root` (an existing folder): links to the
// installed engine's plugins, character sets and messages, and its settings
// with ours and then `extra_settings` lines appended. Pointing the FIREBIRD
// variable at it before the engine starts makes the engine use it. False when
// the installed engine is laid out otherwise or the folder cannot be used.
bool lay_out_engine_root(const std::filesystem::path& root, std::string_view extra_settings);

// The engine shuts itself down on SIGINT and SIGTERM, under the feet of a
// running load. After this call it declines to: the program's own handlers
// (installed before the first connection; the engine calls them too) decide
// what a signal does.
// It also starts the watch of stop signals: stop_signal_arrived(), called
// from a stop signal's handler, makes sure the program ends even when its
// run sits in an engine call that does not return. A few seconds after the
// signal, if no engine call was made meanwhile, the calls of every
// attachment are cancelled (the run then ends as a stop does:
// cancelled_on_stop() tells it so); if the process has still not ended a
// few seconds later, it ends with 128 + the signal and a line saying where
// it stopped (note_activity()) and that the database may be incomplete.
void keep_engine_running_on_signals();
void stop_signal_arrived(int sig) noexcept;  // async-signal-safe
bool cancelled_on_stop() noexcept;
void note_activity(const std::string& where);

// Ends the engine once the program's work is done: every connection and
// object of it must be gone. Shuts it down (once), removes this process's
// engine folders and returns `code`. Should the shutdown not end within
// 10 seconds, the process ends with `code` and a line on standard error.
int end_engine(int code);

}  // namespace qv::fb
