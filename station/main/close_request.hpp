// Closing the window from outside: SIGTERM, SIGINT and SIGHUP close the
// window as the operator's close would, so the program ends through its
// normal close (jobs released from the window, exit status 0).
#pragma once

class QWidget;

namespace station {

// Installs the handlers; the window is closed on the window thread. False
// when they could not be installed (the signals then keep their default).
bool CloseWindowOnTerminateSignals(QWidget* window);

}  // namespace station
