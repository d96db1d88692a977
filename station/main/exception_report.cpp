#include "main/exception_report.hpp"

#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace station {

void ShowException(const QString& message) noexcept {
  try {
    if (QApplication::instance() == nullptr) {  // no toolkit to show a box with
      std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
      return;
    }
    QString title = QApplication::applicationDisplayName();
    if (title.isEmpty()) title = QString::fromLatin1(kApplicationTitle);
    QMessageBox box(QMessageBox::Critical, title, message, QMessageBox::Ok);
    box.exec();
  } catch (...) {
    // Nothing is left to report with.
  }
}

void ShowException(const std::exception& error) noexcept { ReportException({}, error); }

void ReportException(const ExceptionReport& report, const QString& message) noexcept {
  if (!report) {
    ShowException(message);
    return;
  }
  try {
    report(message);
  } catch (...) {
  }
}

void ReportException(const ExceptionReport& report, const std::exception& error) noexcept {
  try {
    ReportException(report, QString::fromLocal8Bit(error.what()));
  } catch (...) {
  }
}

StationApplication::StationApplication(int& argc, char** argv, ExceptionReport report)
    : QApplication(argc, argv), report_(std::move(report)) {}

bool StationApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ReportException(report_, error);
  } catch (...) {
    ReportException(report_, QStringLiteral("Unknown exception"));
  }
  return false;
}

}  // namespace station
