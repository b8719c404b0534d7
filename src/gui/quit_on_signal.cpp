#include "gui/quit_on_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>

#include "firebird/ib.h"
#include "gui/conversion_dialog.h"
#include "platform/signals.h"

namespace qv::gui {

namespace {

int g_pipe[2] = {-1, -1};  // the handler writes the signal; the event loop reads it
platform::StopRequests g_stops;

extern "C" void on_signal(int sig) {
  const platform::StopKind kind = g_stops.arrived(sig);
  if (kind == platform::StopKind::echo) return;
  if (kind == platform::StopKind::second) ::_exit(128 + sig);
  fb::stop_signal_arrived(sig);  // should the program sit in an engine call
  const unsigned char byte = static_cast<unsigned char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
}

std::vector<ConversionDialog*> conversion_forms() {
  std::vector<ConversionDialog*> forms;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* form = dynamic_cast<ConversionDialog*>(w)) forms.push_back(form);
  return forms;
}

}  // namespace

QuitOnSignal::QuitOnSignal() {
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;  // signals then keep their defaults
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QuitOnSignal::arrived);
  handler_ = std::make_unique<platform::StopSignalHandler>(on_signal);
  // Else the engine would shut itself down under a running load.
  fb::keep_engine_running_on_signals();
}

QuitOnSignal::~QuitOnSignal() {
  handler_.reset();
  delete notifier_;
  for (int& fd : g_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

int QuitOnSignal::signal() const { return g_stops.first(); }

void QuitOnSignal::arrived() {
  unsigned char byte = 0;
  while (::read(g_pipe[0], &byte, 1) == 1) {
  }
  notifier_->setEnabled(false);
  for (ConversionDialog* form : conversion_forms()) form->stop_and_close();
  quit_when_idle();
}

void QuitOnSignal::quit_when_idle() {
  for (ConversionDialog* form : conversion_forms())
    if (form->busy()) {
      QTimer::singleShot(50, this, &QuitOnSignal::quit_when_idle);
      return;
    }
  QApplication::exit(128 + g_stops.first());
}

}  // namespace qv::gui
