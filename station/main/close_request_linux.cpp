#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <signal.h>

#include "common/signal_pipe.hpp"
#include "main/close_request.hpp"

namespace station {

bool CloseWindowOnTerminateSignals(QWidget* window) {
  const int fd = common::signal_pipe::readEnd();
  if (fd < 0) {
    return false;
  }
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [] {
    common::signal_pipe::drain();
    QApplication::closeAllWindows();  // a message box open as well
  });
  return common::signal_pipe::route({SIGTERM, SIGINT, SIGHUP}, true);
}

}  // namespace station
