// The whole station from end to end: the real window, the device-change
// source on the emulator's socket directory, the real command tool and the
// emulator. Devices are plugged and unplugged through flashsim (so the
// watcher sees them come and go) or, where one message must carry several
// letters, announced by dispatching the message directly. lumivar itself is
// run as a program as well: closed by a signal, and on a private X server to
// see its captions.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QComboBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "main/device_arrival.hpp"
#include "main/exception_report.hpp"
#include "main/form1.hpp"
#include "main/window_snapshot.hpp"
#include "ppthread/product_thread.hpp"
#include "process_fixture.hpp"
#include "x_display.hpp"

namespace {

using testfixture::Flashsim;

std::uint32_t Bit(char letter) { return 1U << (letter - 'A'); }

// Closes every message box the station opens, keeping what it showed.
class MessageBoxCloser : public QObject {
 public:
  struct Seen {
    QString text, title;
    QMessageBox::Icon icon;
    int buttons;
    bool modal;
  };
  MessageBoxCloser() {
    timer_.setInterval(50);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      seen.push_back({box->text(), box->windowTitle(), box->icon(), static_cast<int>(box->buttons().size()),
                      box->isModal()});
      box->button(QMessageBox::Ok) != nullptr ? box->button(QMessageBox::Ok)->click() : box->reject();
    });
    timer_.start();
  }
  std::vector<Seen> seen;

 private:
  QTimer timer_;
};

}  // namespace

class StationE2eTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> workDir;
  std::unique_ptr<Flashsim> sim;
  std::unique_ptr<TForm1> form;
  std::unique_ptr<station::DeviceChangeSource> source;
  QStringList reported;  // what the station reported in its exception box
  int failThreadStarts = 0;  // the next job threads the platform cannot create

  // The window's services: the tool as built, the reports kept, job threads
  // that fail to start while failThreadStarts says so.
  station::WindowServices Services() {
    station::WindowServices services;
    services.jobs.tools.search = station::ToolSearch{std::filesystem::path(KESTRIN_PATH).parent_path().string(), ""};
    services.jobs.startThread = [this](QThread& thread) {
      if (failThreadStarts > 0) {
        --failThreadStarts;
      } else {
        thread.start(QThread::NormalPriority);
      }
    };
    services.report = [this](const QString& message) { reported << message; };
    return services;
  }

  // The emulator with these devices already plugged (they get no row: the
  // station does not look for drives present at its start), the window shown
  // and watching the emulator's directory.
  void StartStation(const std::vector<std::string>& devices) {
    sim = std::make_unique<Flashsim>(FLASHSIM_PATH, devices);
    QVERIFY(sim->running());
    qputenv("KESTRIN_DEVICE_DIR", QByteArray::fromStdString(sim->dir()));
    form = std::make_unique<TForm1>(nullptr, Services());
    form->show();
    std::string why;
    source = station::StartDeviceChangeMessages(*form, sim->dir(), why);
    QVERIFY2(source != nullptr, why.c_str());
  }

  void Plug(const std::string& spec) { QVERIFY(sim->plug(spec)); }
  void Unplug(char letter) { QVERIFY(sim->unplug(letter)); }

  void Dispatch(std::uint32_t event, std::uint32_t mask, std::uint32_t type = DBT_DEVTYP_VOLUME) {
    TMessage message{WM_DEVICECHANGE, event, type, mask};
    form->Dispatch(message);
  }

  std::string Timings(char letter) {
    const auto result = sim->control("timings", {std::string(1, letter)});
    std::string text = result.out;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  QString RowText(int row) const { return form->DinfoStr[static_cast<std::size_t>(row)]->text(); }
  QColor RowColour(int row) const {
    return form->DinfoStr[static_cast<std::size_t>(row)]->palette().color(QPalette::WindowText);
  }
  char Letter(int row) const { return form->SlotTable[static_cast<std::size_t>(row)].Letter; }
  bool RowShown(int row) const {
    const auto r = static_cast<std::size_t>(row);
    return form->ProgressBar[r]->isVisibleTo(form.get()) && form->CancelBtn[r]->isVisibleTo(form.get());
  }
  bool RowHidden(int row) const {
    const auto r = static_cast<std::size_t>(row);
    return !form->ProgressBar[r]->isVisibleTo(form.get()) && !form->CancelBtn[r]->isVisibleTo(form.get());
  }

 private slots:
  void init() {
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir::setCurrent(workDir->path()));  // no INI files unless a test writes them
    reported.clear();
  }

  void cleanup() {
    if (lumivar > 0) {  // a test that failed before lumivar ended
      kill(lumivar, SIGKILL);
      waitpid(lumivar, nullptr, 0);
      lumivar = -1;
    }
    // Every job ends (the emulator's checks are short, the rest cancelled or
    // failing) before the window goes.
    if (form != nullptr) {
      for (int row = 0; row < 8; ++row) form->CancelRequest[static_cast<std::size_t>(row)].store(1);
    }
    QVERIFY(station::WaitForJobsToEnd(30000));
    source.reset();
    form.reset();
    sim.reset();
    failThreadStarts = 0;
    QDir::setCurrent(QDir::tempPath());
    workDir.reset();
  }

  // Eight devices checked at once with typed timing values; a ninth is
  // probed and refused with the message box, and nothing changes for it.
  void eightAtOnceAndANinthRefused() {
    StartStation({});
    form->TimingEdit[0]->setText(QStringLiteral("17"));
    form->TimingEdit[1]->setText(QStringLiteral("-1"));
    form->TimingEdit[2]->setText(QStringLiteral("300"));
    QVERIFY(form->GroupBox2->isEnabled());
    for (char letter = 'A'; letter <= 'H'; ++letter) {
      Plug(std::string(1, letter) + ":blankcheck_ms=" + std::to_string(letter == 'A' ? 20000 : 1500));
      if (letter == 'A') {
        QTRY_COMPARE_WITH_TIMEOUT(form->ActiveCount, 1, 20000);
        QVERIFY(!form->GroupBox2->isEnabled());  // from the first drive on
      }
    }
    QTRY_COMPARE_WITH_TIMEOUT(form->ActiveCount, 8, 30000);
    for (int row = 0; row < 8; ++row) {
      QCOMPARE(Letter(row), static_cast<char>('A' + row));
      QVERIFY(RowShown(row));
    }

    MessageBoxCloser closer;
    Plug("I:blankcheck_ms=1500");
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(closer.seen.size()), 1, 20000);
    QCOMPARE(closer.seen[0].text, QStringLiteral("Exceed the device limit!"));
    QCOMPARE(closer.seen[0].title, QStringLiteral("Status"));
    QCOMPARE(closer.seen[0].icon, QMessageBox::NoIcon);
    QCOMPARE(closer.seen[0].buttons, 1);
    QVERIFY(closer.seen[0].modal);
    QVERIFY(!sim->trace('I').empty());  // probed before it was refused
    QCOMPARE(form->ActiveCount, 8);
    for (int row = 0; row < 8; ++row) QCOMPARE(Letter(row), static_cast<char>('A' + row));

    // B..H pass while A still checks; each device got the typed values' low
    // eight bits.
    QTRY_COMPARE_WITH_TIMEOUT(form->SuccessCount, 7, 40000);
    QCOMPARE(form->TotalCount, 7);
    QCOMPARE(form->FailCount, 0);
    for (char letter = 'A'; letter <= 'H'; ++letter) QCOMPARE(Timings(letter), std::string("17 255 44 255"));
    for (int row = 1; row < 8; ++row) {
      QCOMPARE(RowText(row), QStringLiteral("successful"));
      QCOMPARE(RowColour(row), QColor(0, 0, 255));
      QCOMPARE(form->ProgressBar[static_cast<std::size_t>(row)]->value(), 100);
    }
    QVERIFY(!form->GroupBox2->isEnabled());  // finished rows still hold their drives

    // A is unplugged in the middle of its check: its row is free at once, and
    // the job's next tool run fails, shown in red and counted.
    QTRY_VERIFY_WITH_TIMEOUT(form->ProgressBar[0]->value() >= 4, 20000);
    Unplug('A');
    QTRY_COMPARE_WITH_TIMEOUT(form->ActiveCount, 7, 20000);
    QCOMPARE(Letter(0), '\0');
    QVERIFY(RowHidden(0));
    QCOMPARE(form->ProgressBar[0]->value(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(form->TotalCount, 8, 20000);
    QCOMPARE(form->FailCount, 1);
    QCOMPARE(RowText(0), QStringLiteral("Checking...fail"));
    QCOMPARE(RowColour(0), QColor(255, 0, 0));

    // The group stays disabled until the last drive is gone.
    for (char letter = 'B'; letter <= 'G'; ++letter) Unplug(letter);
    QTRY_COMPARE_WITH_TIMEOUT(form->ActiveCount, 1, 20000);
    QVERIFY(!form->GroupBox2->isEnabled());
    Unplug('H');
    QTRY_COMPARE_WITH_TIMEOUT(form->ActiveCount, 0, 20000);
    QVERIFY(form->GroupBox2->isEnabled());
    for (int row = 1; row < 8; ++row) {
      QCOMPARE(RowText(row), QStringLiteral("Waiting device..."));
      QCOMPARE(RowColour(row), WindowTextColour());
      QVERIFY(RowHidden(row));
    }
    QCOMPARE(form->TotalCount, 8);  // unplugging a finished drive counts nothing
  }

  // Rows are reused lowest first, letters of one message are placed in
  // order, and messages about present drives, unknown drives, other events
  // and other device types change nothing.
  void rowsAndLetters() {
    StartStation({"A:blankcheck_ms=30000", "B:blankcheck_ms=30000", "C:blankcheck_ms=30000",
                  "D:blankcheck_ms=30000", "E:blankcheck_ms=30000", "F:blankcheck_ms=30000", "G:supported=0"});
    QTest::qWait(300);
    QCOMPARE(form->ActiveCount, 0);  // present at the start: not looked for

    Dispatch(DBT_DEVICEARRIVAL, Bit('A'));
    Dispatch(DBT_DEVICEARRIVAL, Bit('B'));
    Dispatch(DBT_DEVICEARRIVAL, Bit('C'));
    QCOMPARE(form->ActiveCount, 3);
    Dispatch(DBT_DEVICEREMOVECOMPLETE, Bit('B'));
    QCOMPARE(Letter(1), '\0');
    QVERIFY(RowHidden(1));
    Dispatch(DBT_DEVICEARRIVAL, Bit('D'));
    QCOMPARE(Letter(1), 'D');  // row 2, not row 4
    QVERIFY(RowShown(1));

    // E and F in one message: E first, each in the lowest free row.
    Dispatch(DBT_DEVICEARRIVAL, Bit('F') | Bit('E'));
    QCOMPARE(Letter(3), 'E');
    QCOMPARE(Letter(4), 'F');
    QCOMPARE(form->ActiveCount, 5);

    // A second arrival of a present drive runs no probe, starts no job.
    QTRY_VERIFY_WITH_TIMEOUT(form->ProgressBar[0]->value() >= 4, 20000);
    const auto commandsBefore = sim->trace('A').size();
    const long long jobsBefore = ProductThread::JobsStarted();
    Dispatch(DBT_DEVICEARRIVAL, Bit('A'));
    QCOMPARE(ProductThread::JobsStarted(), jobsBefore);
    QCOMPARE(form->ActiveCount, 5);
    // (the running job's polls may add commands, but never an INQUIRY)
    const auto trace = sim->trace('A');
    for (std::size_t i = commandsBefore; i < trace.size(); ++i) {
      const std::string cdb = QString::fromStdString(trace[i]).section(QLatin1Char(' '), 1, 1).toStdString();
      QVERIFY2(cdb.rfind("12", 0) != 0, trace[i].c_str());
    }
    QVERIFY(commandsBefore > 0);

    // Unknown drive, an unsupported drive, other events, other device types,
    // bits above Z.
    Dispatch(DBT_DEVICEREMOVECOMPLETE, Bit('Z'));
    Dispatch(DBT_DEVICEARRIVAL, Bit('G'));
    Dispatch(0x8001 /* query remove */, Bit('A'));
    Dispatch(DBT_DEVICEREMOVECOMPLETE, Bit('A'), 5 /* a device interface */);
    Dispatch(DBT_DEVICEARRIVAL, 0xFC000000U);
    TMessage other{0x0010, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME, Bit('A')};
    form->Dispatch(other);
    QCOMPARE(form->ActiveCount, 5);
    QCOMPARE(Letter(0), 'A');
    QVERIFY(!form->GroupBox2->isEnabled());
    QVERIFY(reported.isEmpty());  // the unsupported drive was ignored silently
    for (int row = 5; row < 8; ++row) QCOMPARE(Letter(row), '\0');

    // Removal of everything; the group comes back with the last one.
    Dispatch(DBT_DEVICEREMOVECOMPLETE, Bit('A') | Bit('C') | Bit('D') | Bit('E'));
    QCOMPARE(form->ActiveCount, 1);
    QVERIFY(!form->GroupBox2->isEnabled());
    Dispatch(DBT_DEVICEREMOVECOMPLETE, Bit('F'));
    QCOMPARE(form->ActiveCount, 0);
    QVERIFY(form->GroupBox2->isEnabled());
  }

  // A job whose drive went away never writes into its former row once
  // another drive has it, and is still counted.
  void formerJobKeepsOutOfAReusedRow() {
    StartStation({"A:blankcheck_ms=2500", "B:blankcheck_ms=30000"});
    Dispatch(DBT_DEVICEARRIVAL, Bit('A'));
    QTRY_COMPARE_WITH_TIMEOUT(RowText(0), QStringLiteral("Checking..."), 20000);
    Dispatch(DBT_DEVICEREMOVECOMPLETE, Bit('A'));  // A's device stays: its job goes on and passes
    Dispatch(DBT_DEVICEARRIVAL, Bit('B'));
    QCOMPARE(Letter(0), 'B');
    QTRY_COMPARE_WITH_TIMEOUT(form->TotalCount, 1, 30000);
    QCOMPARE(form->SuccessCount, 1);  // A's verdict counted
    QTest::qWait(200);
    QCOMPARE(RowText(0), QStringLiteral("Checking..."));  // B's job, not A's verdict
    QCOMPARE(RowColour(0), WindowTextColour());
    QVERIFY(form->ProgressBar[0]->value() < 100);
  }

  // AC timing in select mode from ACTiming.ini in the working directory.
  void selectModeTiming() {
    QFile ini(QStringLiteral("ACTiming.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[alpha/n1]\nTIMING1=17\nTIMING2=18\nTIMING3=19\nTIMING4=20\n"
              "[beta/q2]\nTIMING1=1\nTIMING2=2\nTIMING3=3\nTIMING4=-3\n");
    ini.close();
    StartStation({});
    form->VendorComBox->setCurrentIndex(form->VendorComBox->findText(QStringLiteral("beta"), Qt::MatchFixedString));
    QVERIFY(form->VendorComBox->currentIndex() >= 0);
    form->VendorComBoxChange();
    QVERIFY(form->SelectRBtn->isChecked());
    form->TimingEdit[0]->setText(QStringLiteral("x"));  // not read in select mode
    Plug("C:blankcheck_ms=300");
    QTRY_COMPARE_WITH_TIMEOUT(form->TotalCount, 1, 30000);
    QCOMPARE(form->SuccessCount, 1);
    QCOMPARE(QString::fromStdString(Timings('C')), QStringLiteral("1 2 3 253"));
  }

  // A typed value that is not an integer: the row stays free, the group and
  // ActiveCount stay as they were, the conversion error is shown; with the
  // value mended the next arrival of the drive is taken.
  void typedTimingNotAnInteger() {
    StartStation({});
    form->TimingEdit[1]->setText(QStringLiteral("2x"));
    const long long jobsBefore = ProductThread::JobsStarted();
    Plug("D:blankcheck_ms=300");
    QTRY_COMPARE_WITH_TIMEOUT(reported.size(), 1, 20000);
    QCOMPARE(reported[0], QStringLiteral("'2x' is not a valid integer value"));
    QCOMPARE(form->ActiveCount, 0);
    QCOMPARE(Letter(0), '\0');
    QVERIFY(RowHidden(0));
    QCOMPARE(RowText(0), QStringLiteral("Waiting device..."));
    QVERIFY(form->GroupBox2->isEnabled());
    QCOMPARE(ProductThread::JobsStarted(), jobsBefore);

    // Two letters in one message: the error is shown once, neither is taken.
    Dispatch(DBT_DEVICEARRIVAL, Bit('D') | Bit('D' + 1));
    QCOMPARE(reported.size(), 2);
    QCOMPARE(form->ActiveCount, 0);

    form->TimingEdit[1]->setText(QStringLiteral("18"));
    Unplug('D');
    Plug("D");
    QTRY_COMPARE_WITH_TIMEOUT(form->TotalCount, 1, 30000);
    QCOMPARE(Letter(0), 'D');
    QCOMPARE(Timings('D'), std::string("247 18 255 255"));
  }

  // The platform cannot create the job's thread: the row is freed again and
  // the failure shown; nothing is counted.
  void jobThreadNotCreated() {
    StartStation({"E:blankcheck_ms=300"});
    failThreadStarts = 1;
    Dispatch(DBT_DEVICEARRIVAL, Bit('E'));
    QCOMPARE(reported.size(), 1);
    QVERIFY(reported[0].contains(QStringLiteral("E:")));
    QCOMPARE(form->ActiveCount, 0);
    QCOMPARE(Letter(0), '\0');
    QVERIFY(RowHidden(0));
    QVERIFY(form->GroupBox2->isEnabled());
    QVERIFY(station::WaitForJobsToEnd(5000));  // the job object that never ran is gone
    QCOMPARE(form->TotalCount, 0);
    // The next arrival works.
    Dispatch(DBT_DEVICEARRIVAL, Bit('E'));
    QCOMPARE(Letter(0), 'E');
    QTRY_COMPARE_WITH_TIMEOUT(form->SuccessCount, 1, 30000);
  }

 private:
  // lumivar itself as a child process, on the emulator's directory, writing
  // its snapshots into the work directory and its output to lumivar.err
  // there, headless unless `env` names a platform; `env` adds to (or
  // replaces entries of) the test's environment.
  void StartLumivar(std::vector<std::string> env) {
    errPath = workDir->path().toStdString() + "/lumivar.err";
    env.push_back("KESTRIN_DEVICE_DIR=" + sim->dir());
    env.push_back("LUMIVAR_SNAPSHOT_DIR=" + workDir->path().toStdString());
    if (std::none_of(env.begin(), env.end(), [](const std::string& e) { return e.rfind("QT_QPA_PLATFORM=", 0) == 0; })) {
      env.push_back("QT_QPA_PLATFORM=offscreen");
    }
    // Everything the child needs is made before the fork: after it, only
    // calls that are safe in the child of a threaded process.
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const std::string name = entry.substr(0, entry.find('=') + 1);
      if (std::none_of(env.begin(), env.end(), [&name](const std::string& set) { return set.rfind(name, 0) == 0; })) {
        env.push_back(entry);
      }
    }
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = LUMIVAR_PATH;
    char* argv[] = {program.data(), nullptr};
    const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    QVERIFY(errFd >= 0);
    lumivar = fork();
    if (lumivar == 0) {
      dup2(errFd, STDERR_FILENO);
      dup2(errFd, STDOUT_FILENO);
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    ::close(errFd);
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
  void StartStationProgram(std::vector<std::string> env) {
    sim = std::make_unique<Flashsim>(FLASHSIM_PATH, std::vector<std::string>{});
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

  pid_t lumivar = -1;
  std::string errPath;

 private slots:
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
    xtest::XvfbDisplay x;
    if (!x.running()) QSKIP("Xvfb cannot be started");
    // On a real display the toolkit loads the system's D-Bus library, which
    // keeps an allocation to the end; leaks of lumivar's own are looked for in
    // the headless runs.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> onX{
        "QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.name(),
        "ASAN_OPTIONS=" + (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string()) + "detect_leaks=0"};
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
    std::vector<std::string> noDeviceDir = onX;
    noDeviceDir.push_back("KESTRIN_DEVICE_DIR=" + sim->dir() + "/none");
    StartLumivar(noDeviceDir);
    if (QTest::currentTestFailed()) return;
    QTRY_COMPARE_WITH_TIMEOUT(titles().size(), 2, 30000);
    QCOMPARE(titles(),
             (QStringList{QStringLiteral("Blank Checking Utility"), QStringLiteral("Blank Checking Tool v1.0")}));
    TerminateLumivar(20000);
  }
};

QTEST_MAIN(StationE2eTest)
#include "station_e2e_test.moc"
