// How the station reports an exception to the operator: a modal message box
// with the exception's message, titled with the application's title; the
// program then goes on (an event handler) or ends with status 0 (the entry).
#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

namespace station {

inline constexpr const char* kApplicationTitle = "Blank Checking Tool v1.0";

// Shows the message box. Never throws.
void ShowException(const QString& message) noexcept;
void ShowException(const std::exception& error) noexcept;

// Where a window or the application reports an exception's message; unset:
// the message box.
using ExceptionReport = std::function<void(const QString& message)>;

// Reports through `report`, or with the message box when it is unset. Never
// throws.
void ReportException(const ExceptionReport& report, const QString& message) noexcept;
void ReportException(const ExceptionReport& report, const std::exception& error) noexcept;

// Runs an event handler; an exception leaving it is reported and swallowed.
template <class Handler>
void RunHandler(Handler&& handler, const ExceptionReport& report = {}) noexcept {
  try {
    handler();
  } catch (const std::exception& error) {
    ReportException(report, error);
  } catch (...) {
    ReportException(report, QStringLiteral("Unknown exception"));
  }
}

// The application object: reports an exception that an event handler lets
// escape into the event loop, and the loop goes on.
class StationApplication : public QApplication {
 public:
  StationApplication(int& argc, char** argv, ExceptionReport report = {});
  bool notify(QObject* receiver, QEvent* event) override;

 private:
  const ExceptionReport report_;
};

}  // namespace station
