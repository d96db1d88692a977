// lumivar itself as a program against the emulator and the real command
// tool: closed by a signal while jobs run or a message box is open, and on a
// private X server to see its captions as a window manager does.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "e2e/x_display.hpp"
#include "flashsim/testing/flashsim_daemon_linux.hpp"

namespace station::test {

class LumivarProgramTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> workDir;
  std::unique_ptr<flashsim::test::FlashsimDaemon> sim;
  pid_t lumivar = -1;
  std::string errPath;

  void Plug(const std::string& device) { QVERIFY(sim->plug(device)); }

  // lumivar itself as a child process, on the emulator's directory, writing
  // its snapshots into the work directory and its output to lumivar.err
  // there, headless unless `env` names a platform; `env` adds to (or
  // replaces entries of) the test's environment.
  void StartLumivar(common::test::Environment env) {
    const auto setIfMissing = [&env](const std::string& name, const std::string& value) {
      if (std::none_of(env.begin(), env.end(), [&name](const auto& entry) { return entry.first == name; })) {
        env.emplace_back(name, value);
      }
    };
    setIfMissing("KESTRIN_DEVICE_DIR", sim->dir());
    setIfMissing("LUMIVAR_SNAPSHOT_DIR", workDir->path().toStdString());
    setIfMissing("QT_QPA_PLATFORM", "offscreen");
    errPath = workDir->filePath(QStringLiteral("lumivar.err")).toStdString();
    lumivar = common::test::startProcess({LUMIVAR_PATH}, env, errPath);
    QVERIFY(lumivar > 0);
  }

  // The window's last snapshot of its counters and rows.
  QString LumivarState() const {
    QFile f(workDir->filePath(QStringLiteral("lumivar.txt")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }

  // Sends SIGTERM and waits up to `limitMs` for lumivar to end with status 0
  // and nothing from a sanitizer; ends it by force otherwise.
  void TerminateLumivar(int limitMs) {
    QVERIFY(kill(lumivar, SIGTERM) == 0);
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(lumivar, &status, WNOHANG)) == 0 && clock.elapsed() < limitMs) QTest::qWait(20);
    if (ended == 0) {
      kill(lumivar, SIGKILL);
      waitpid(lumivar, &status, 0);
    }
    lumivar = -1;
    QVERIFY2(ended != 0, "lumivar did not end after its window was closed");
    qInfo("lumivar ended %lld ms after its window was closed", static_cast<long long>(clock.elapsed()));
    QFile err(QString::fromStdString(errPath));
    QVERIFY(err.open(QIODevice::ReadOnly));
    const QByteArray errText = err.readAll();
    QVERIFY2(!errText.contains("Sanitizer"), errText.constData());
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, errText.constData());
  }

  // The emulator without devices, and lumivar on it with its window up.
  void StartStationProgram(common::test::Environment env) {
    sim = std::make_unique<flashsim::test::FlashsimDaemon>();
    QVERIFY(sim->running());
    StartLumivar(std::move(env));
    if (QTest::currentTestFailed()) return;
    QTRY_VERIFY_WITH_TIMEOUT(LumivarState().contains(QStringLiteral("Row 1: ")), 30000);
  }

  // Eight devices at work in the eight rows, then a ninth: probed and refused
  // with the limit's message box, which stays open.
  void FillTheRowsAndPlugANinth() {
    for (char letter = 'A'; letter <= 'H'; ++letter) Plug(std::string(1, letter) + ":blankcheck_ms=60000");
    QTRY_VERIFY_WITH_TIMEOUT(LumivarState().contains(QStringLiteral("Row 8: Checking...")), 30000);
    Plug("I");
    QTRY_VERIFY_WITH_TIMEOUT(!sim->trace('I').empty(), 20000);  // probed: the box comes up
    QTRY_VERIFY_WITH_TIMEOUT(LumivarState().endsWith(QStringLiteral("\nBox Status: Exceed the device limit!\n")), 5000);
  }

 private slots:
  void init() {
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir::setCurrent(workDir->path()));  // lumivar's working directory: no INI files
  }

  void cleanup() {
    if (lumivar > 0) {  // a test that failed before lumivar ended
      kill(lumivar, SIGKILL);
      waitpid(lumivar, nullptr, 0);
      lumivar = -1;
    }
    sim.reset();
    QDir::setCurrent(QDir::tempPath());
    workDir.reset();
  }

  // lumivar itself: jobs at work, the window closed (by SIGTERM, which
  // closes it as the operator would): the program ends at once with status
  // 0, and no sanitizer has anything to say.
  void closingTheWindowWhileJobsRun() {
    StartStationProgram({});
    if (QTest::currentTestFailed()) return;
    for (const char* spec : {"A:blankcheck_ms=60000", "B:blankcheck_ms=60000", "C:blankcheck_ms=60000"}) Plug(spec);
    QTRY_VERIFY_WITH_TIMEOUT(LumivarState().contains(QStringLiteral("Row 3: Checking...")), 30000);
    QTest::qWait(1500);  // the jobs poll
    QElapsedTimer clock;
    clock.start();
    TerminateLumivar(20000);
    if (QTest::currentTestFailed()) return;
    QVERIFY2(clock.elapsed() < 10000, "the close waited too long for the jobs");
  }

  // Eight rows at work, a ninth device refused with the limit's message box,
  // a tenth plugged while the box is open (its arrival waits behind it):
  // SIGTERM ends the program all the same.
  void closingWhileTheLimitBoxIsOpenAndAnArrivalWaits() {
    StartStationProgram({});
    if (QTest::currentTestFailed()) return;
    FillTheRowsAndPlugANinth();
    if (QTest::currentTestFailed()) return;
    QTest::qWait(500);
    Plug("J");
    QTest::qWait(500);
    TerminateLumivar(20000);
    if (QTest::currentTestFailed()) return;
    QVERIFY(sim->trace('J').empty());  // no drive is taken after the close
  }

  // On an X display, as a window manager sees them: the window's caption and
  // the limit box's caption (StatusMsg) are theirs alone, with no application
  // name appended; the application title names the window's class, by which
  // task bars know the program, and captions the exception report.
  void captionsOnAnXDisplay() {
    station::test::XvfbDisplay x;
    if (!x.running()) QSKIP("Xvfb cannot be started");
    // On a real display the toolkit loads the system's D-Bus library, which
    // keeps an allocation to the end; leaks of lumivar's own are looked for in
    // the headless runs.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const common::test::Environment onX{
        {"QT_QPA_PLATFORM", "xcb"},
        {"DISPLAY", x.name()},
        {"ASAN_OPTIONS",
         (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string()) + "detect_leaks=0"}};
    StartStationProgram(onX);
    if (QTest::currentTestFailed()) return;
    const auto titles = [&x] {
      QStringList seen;
      for (const auto& window : x.windows()) seen << QString::fromStdString(window.title);
      return seen;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!titles().isEmpty(), 30000);
    QCOMPARE(titles(), QStringList{QStringLiteral("Blank Checking Utility")});
    QCOMPARE(x.windows()[0].wmClass, std::string("Blank Checking Tool v1.0"));

    FillTheRowsAndPlugANinth();
    if (QTest::currentTestFailed()) return;
    QTRY_COMPARE_WITH_TIMEOUT(titles().size(), 2, 20000);
    QCOMPARE(titles(), (QStringList{QStringLiteral("Blank Checking Utility"), QStringLiteral("Status")}));
    TerminateLumivar(20000);
    if (QTest::currentTestFailed()) return;

    // The exception report (here: no device directory to watch) carries the
    // application title.
    common::test::Environment noDeviceDir = onX;
    noDeviceDir.emplace_back("KESTRIN_DEVICE_DIR", sim->dir() + "/none");
    StartLumivar(noDeviceDir);
    if (QTest::currentTestFailed()) return;
    QTRY_COMPARE_WITH_TIMEOUT(titles().size(), 2, 30000);
    QCOMPARE(titles(),
             (QStringList{QStringLiteral("Blank Checking Utility"), QStringLiteral("Blank Checking Tool v1.0")}));
    TerminateLumivar(20000);
  }
};

}  // namespace station::test

QTEST_MAIN(station::test::LumivarProgramTest)
#include "lumivar_program_test.moc"
