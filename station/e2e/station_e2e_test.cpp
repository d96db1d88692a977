// The whole station from end to end, in this process: the real window, the
// device-change source on the emulator's socket directory, the real command
// tool and the emulator. Devices are plugged and unplugged through flashsim
// (so the watcher sees them come and go) or, where one message must carry
// several letters, announced by dispatching the message directly.
// (lumivar_program_test.cpp runs lumivar itself as a program.)
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "flashsim/testing/flashsim_daemon_linux.hpp"
#include "main/device_arrival.hpp"
#include "main/exception_report.hpp"
#include "main/form1.hpp"
#include "ppthread/product_thread.hpp"

namespace station::test {

namespace {

using flashsim::test::FlashsimDaemon;

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
      seen.push_back(
          {box->text(), box->windowTitle(), box->icon(), static_cast<int>(box->buttons().size()), box->isModal()});
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
  std::unique_ptr<FlashsimDaemon> sim;
  std::unique_ptr<TForm1> form;
  std::unique_ptr<station::DeviceChangeSource> source;
  QStringList reported;      // what the station reported in its exception box
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
    sim = std::make_unique<FlashsimDaemon>(devices);
    QVERIFY(sim->running());
    qputenv("KESTRIN_DEVICE_DIR", QByteArray::fromStdString(sim->dir()));
    form = std::make_unique<TForm1>(nullptr, Services());
    form->show();
    auto started = station::StartDeviceChangeMessages(*form, sim->dir());
    QVERIFY2(started.ok(), started.ok() ? "" : started.error().c_str());
    source = std::move(started).value();
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
    StartStation({"A:blankcheck_ms=30000", "B:blankcheck_ms=30000", "C:blankcheck_ms=30000", "D:blankcheck_ms=30000",
                  "E:blankcheck_ms=30000", "F:blankcheck_ms=30000", "G:supported=0"});
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
    ini.write(
        "[alpha/n1]\nTIMING1=17\nTIMING2=18\nTIMING3=19\nTIMING4=20\n"
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
};

}  // namespace station::test

QTEST_MAIN(station::test::StationE2eTest)
#include "station_e2e_test.moc"
