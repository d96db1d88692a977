#include "main/exception_report.hpp"

#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace station {
namespace {

std::function<void(const QString&)>& Sink() {
  static std::function<void(const QString&)> sink;
  return sink;
}

}  // namespace

void SetExceptionSinkForTesting(std::function<void(const QString&)> sink) { Sink() = std::move(sink); }

void ShowException(const QString& message) noexcept {
  try {
    if (Sink()) {
      Sink()(message);
      return;
    }
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

void ShowException(const std::exception& error) noexcept {
  try {
    ShowException(QString::fromLocal8Bit(error.what()));
  } catch (...) {
  }
}

StationApplication::StationApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool StationApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error);
  } catch (...) {
    ShowException(QStringLiteral("Unknown exception"));
  }
  return false;
}

}  // namespace station
