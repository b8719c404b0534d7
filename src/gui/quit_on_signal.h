// SIGINT, SIGTERM and SIGHUP (the session ends, the terminal went away) end
// the desktop program the way closing it would, without asking: a run at
// work stops at its next row, committing what it wrote, and the program
// quits when it has stopped. A second signal ends the program at once; so
// does the engine's watch of stop signals when a call does not return.
#pragma once

#include <QObject>

#include <memory>

#include "platform/signals.h"

class QSocketNotifier;

namespace qv::gui {

class QuitOnSignal : public QObject {
 public:
  // Installs the handlers; one object per program, made before the first
  // database connection (the engine then calls our handlers from its own).
  QuitOnSignal();
  ~QuitOnSignal() override;
  QuitOnSignal(const QuitOnSignal&) = delete;
  QuitOnSignal& operator=(const QuitOnSignal&) = delete;

  // The signal that asked the program to end; 0 when none did.
  int signal() const;

 private:
  void arrived();
  void quit_when_idle();
  QSocketNotifier* notifier_ = nullptr;
  std::unique_ptr<platform::StopSignalHandler> handler_;
};

}  // namespace qv::gui
