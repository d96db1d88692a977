// What the window's Qt tests share: each test function in a temporary
// working directory of its own, where it writes the INI files it needs; a
// window shown with the services of the test (its report kept, the system
// language the test sets); and the way to reach a few controls as the
// operator does.
#pragma once

#include <QComboBox>
#include <QRadioButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <cstdint>
#include <memory>

#include "config/timing_set.hpp"
#include "main/exception_report.hpp"
#include "main/form1.hpp"

namespace station {
// How QCOMPARE shows a timing set.
inline char* toString(const TimingSet& t) {
  return QTest::toString(
      QStringLiteral("{%1, %2, %3, %4}").arg(t.Timing1).arg(t.Timing2).arg(t.Timing3).arg(t.Timing4));
}
}  // namespace station

namespace station::test {

using Timing = station::TimingSet;

class WindowTest : public QObject {
 public:
  // What the station reported (the application's and the windows' report).
  void Report(const QString& message) { reported_ << message; }

 protected:
  void Begin();  // from the test's init()
  void End();    // from the test's cleanup()
  void WriteFile(const char* name, const QByteArray& text);
  // A window, shown, started from the INI files written so far.
  std::unique_ptr<TForm1> ShowForm();

  std::unique_ptr<QTemporaryDir> dir_;
  QStringList reported_;
  std::uint16_t systemLanguage_ = 0x0409;  // the windows' system language

 private:
  QString previousDir_;
};

// Runs the test functions of `Test` (a WindowTest) under the station's
// application, whose exception report goes to the test.
template <class Test>
int Run(int argc, char* argv[]) {
  Test test;
  station::StationApplication application(argc, argv, [&test](const QString& message) { test.Report(message); });
  return QTest::qExec(&test, argc, argv);
}

QStringList Items(const QComboBox* box);
// A click where a radio button without caption reacts: its indicator.
void ClickRadio(QRadioButton* button);

}  // namespace station::test
