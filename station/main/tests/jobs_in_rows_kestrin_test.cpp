// Jobs on the real window against the real command tool and the emulator:
// eight devices at once, each with its own tool runs, with the real pauses.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "main/form1.hpp"
#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/product_thread.hpp"

class ProductThreadKestrinTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir;
  // The tool as built, from its own folder.
  const station::JobServices jobs = [] {
    station::JobServices services;
    services.tools.search = station::ToolSearch{std::filesystem::path(KESTRIN_PATH).parent_path().string(), ""};
    return services;
  }();

  // Runs the emulator's command line and returns its exit code and output.
  // (A plain fork and exec: the thread sanitizer follows it, unlike Qt's
  // own process start.)
  static int Flashsim(const QStringList& args, std::string* out = nullptr) {
    std::vector<std::string> words{FLASHSIM_PATH};
    for (const QString& a : args) words.push_back(a.toStdString());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(pipeFds[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(pipeFds[1]);
    char buf[256];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) {
      if (out != nullptr) out->append(buf, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    // A..D pass after a short check, E refuses to start one, F is not there,
    // G is cancelled by the operator, H is not a supported device.
    const QStringList devices{"A:blankcheck_ms=1200", "B:blankcheck_ms=1500", "C:blankcheck_ms=800",
                              "D:blankcheck_ms=1200", "E:accepts_blankcheck=0", "G:blankcheck_ms=60000",
                              "H:supported=0"};
    QStringList args{"serve", "--dir", dir.path()};
    for (const QString& d : devices) args << "--device" << d;
    QCOMPARE(Flashsim(args), 0);
    setenv("KESTRIN_DEVICE_DIR", dir.path().toLocal8Bit().constData(), 1);
  }

  void cleanupTestCase() {
    QCOMPARE(Flashsim({"stop", "--dir", dir.path()}), 0);
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
    std::string timings;
    QCOMPARE(Flashsim({"timings", "--dir", dir.path(), "C"}, &timings), 0);
    QCOMPARE(QByteArray::fromStdString(timings).trimmed(), QByteArray("247 255 255 2"));
  }
};

QTEST_MAIN(ProductThreadKestrinTest)
#include "jobs_in_rows_kestrin_test.moc"
