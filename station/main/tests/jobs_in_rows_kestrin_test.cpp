// Jobs on the real window against the real command tool and the emulator:
// eight devices at once, each with its own tool runs, with the real pauses.
#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "flashsim/testing/flashsim_daemon_linux.hpp"
#include "main/form1.hpp"
#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/product_thread.hpp"

namespace station::test {

class ProductThreadKestrinTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<flashsim::test::FlashsimDaemon> sim;
  // The tool as built, from its own folder.
  const station::JobServices jobs = [] {
    station::JobServices services;
    services.tools.search = station::ToolSearch{std::filesystem::path(KESTRIN_PATH).parent_path().string(), ""};
    return services;
  }();

 private slots:
  void initTestCase() {
    // A..D pass after a short check, E refuses to start one, F is not there,
    // G is cancelled by the operator, H is not a supported device.
    sim = std::make_unique<flashsim::test::FlashsimDaemon>(std::vector<std::string>{
        "A:blankcheck_ms=1200", "B:blankcheck_ms=1500", "C:blankcheck_ms=800", "D:blankcheck_ms=1200",
        "E:accepts_blankcheck=0", "G:blankcheck_ms=60000", "H:supported=0"});
    QVERIFY(sim->running());
    setenv("KESTRIN_DEVICE_DIR", sim->dir().c_str(), 1);
  }

  void cleanupTestCase() {
    QCOMPARE(sim->control("stop").exitCode, 0);
    sim.reset();
  }

  void probes() {
    QVERIFY(station::ProbeDrive("A", jobs.tools));
    QVERIFY(!station::ProbeDrive("F", jobs.tools));  // no such drive
    QVERIFY(!station::ProbeDrive("H", jobs.tools));  // not a supported device
  }

  void eightJobsAtOnce() {
    TForm1 form;
    form.show();
    for (int row = 0; row < 8; ++row) {
      const auto r = static_cast<std::size_t>(row);
      new ProductThread(static_cast<char>('A' + row), form.JobRowFor(r), &form.CancelRequest[r], 247, -1, 255,
                        256 + row, jobs);
    }
    QTRY_VERIFY_WITH_TIMEOUT(form.ProgressBar[6]->value() >= 4, 20000);
    form.CancelBtnClick(6);
    QVERIFY(station::WaitForJobsToEnd(60000));

    for (int row : {0, 1, 2, 3}) {
      const auto r = static_cast<std::size_t>(row);
      QCOMPARE(form.DinfoStr[r]->text(), QStringLiteral("successful"));
      QCOMPARE(form.DinfoStr[r]->palette().color(QPalette::WindowText), QColor(0, 0, 255));
      QCOMPARE(form.ProgressBar[r]->value(), 100);
    }
    for (int row : {4, 5, 7}) {
      QCOMPARE(form.DinfoStr[static_cast<std::size_t>(row)]->text(), QStringLiteral("Checking...fail"));
      QCOMPARE(form.ProgressBar[static_cast<std::size_t>(row)]->value(), 0);
    }
    QCOMPARE(form.DinfoStr[6]->text(), QStringLiteral("Checking...Cancel"));
    QCOMPARE(form.DinfoStr[6]->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QVERIFY(form.ProgressBar[6]->value() >= 4);
    QCOMPARE(form.TotalCount, 8);
    QCOMPARE(form.SuccessCount, 4);
    QCOMPARE(form.FailCount, 4);

    // The device got the low eight bits of each timing value.
    const common::test::ProcessResult timings = sim->control("timings", {"C"});
    QCOMPARE(timings.exitCode, 0);
    QCOMPARE(QByteArray::fromStdString(timings.out).trimmed(), QByteArray("247 255 255 2"));
  }
};

}  // namespace station::test

QTEST_MAIN(station::test::ProductThreadKestrinTest)
#include "jobs_in_rows_kestrin_test.moc"
