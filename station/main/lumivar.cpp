// lumivar, the station's operator window: the program entry.
#include <cstdio>
#include <exception>

#include "main/exception_report.hpp"
#include "main/form1.hpp"

int main(int argc, char* argv[]) {
  try {
    station::StationApplication application(argc, argv);
    try {
      QApplication::setApplicationName(QString::fromLatin1(station::kApplicationTitle));
      QApplication::setApplicationDisplayName(QString::fromLatin1(station::kApplicationTitle));
      TForm1 form;  // becomes Form1
      form.show();
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
