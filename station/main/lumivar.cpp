// lumivar, the station's operator window: the program entry.
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "common/device_dir.hpp"
#include "main/close_request.hpp"
#include "main/device_arrival.hpp"
#include "main/exception_report.hpp"
#include "main/form1.hpp"
#include "main/window_snapshot.hpp"
#include "ppthread/product_thread.hpp"
#include "ppthread/window_handover.hpp"

namespace {

// How long the close waits for running jobs to let go of the window. A job
// stops at its next answer of the tool, so this is one tool run and one
// pause between polls; a tool run that hangs longer is left running and the
// program ends without waiting for it.
constexpr int kCloseWaitMs = 3000;

// Ends the station's work before the window goes: no more device changes, no
// job touches the window again, and the jobs are given a moment to end. If
// one is still busy with a tool run, the process ends here, the window intact.
class CloseWithJobs {
 public:
  explicit CloseWithJobs(std::unique_ptr<station::DeviceChangeSource>& source) : source_(source) {}
  ~CloseWithJobs() {
    source_.reset();
    station::WindowHandOver::Station().Close();
    if (!station::WaitForJobsToEnd(kCloseWaitMs)) {
      std::fflush(nullptr);
      std::_Exit(0);
    }
  }
  CloseWithJobs(const CloseWithJobs&) = delete;
  CloseWithJobs& operator=(const CloseWithJobs&) = delete;

 private:
  std::unique_ptr<station::DeviceChangeSource>& source_;
};

}  // namespace

int main(int argc, char* argv[]) {
  try {
    station::StationApplication application(argc, argv);
    try {
      // The application title names the program to task bars (the windows'
      // class) and captions the exception report. No display name is set:
      // the toolkit would append it to every window's caption.
      QApplication::setApplicationName(QString::fromLatin1(station::kApplicationTitle));
      QApplication::setWindowIcon(QIcon(QStringLiteral(":/lumivar/lumivar.png")));  // packaging/icons
      TForm1 form;                                                                  // becomes Form1
      std::unique_ptr<station::DeviceChangeSource> source;
      const CloseWithJobs closeWithJobs(source);  // runs before the form goes
      station::CloseWindowOnTerminateSignals(&form);
      form.show();
      // Device changes from now on; drives already present are not looked for.
      auto started = station::StartDeviceChangeMessages(form, common::device_dir::deviceDirectory());
      if (started) {
        source = std::move(started).value();
      } else {
        const QString message =
            QStringLiteral("Plugged-in drives cannot be seen: %1").arg(QString::fromLocal8Bit(started.error().c_str()));
        QTimer::singleShot(0, &form, [message] { station::ShowException(message); });
      }
      station::StartWindowSnapshotsFromEnvironment(form);
      application.exec();
    } catch (const std::exception& error) {
      station::ShowException(error);
    } catch (...) {
      station::ShowException(QStringLiteral("Unknown exception"));
    }
  } catch (...) {
    // No application object to show a message box with.
    std::fputs("lumivar: the application could not be started\n", stderr);
  }
  return 0;
}
