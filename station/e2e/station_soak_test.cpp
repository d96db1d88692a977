// A bounded soak run of the whole station: hundreds of jobs on emulated
// devices that are plugged, unplugged and cancelled at random (a seeded
// generator; the seed is printed, and SOAK_SEED repeats the choices). Besides
// the emulator's plugs and unplugs, which the watcher passes on, arrival and
// removal messages are dispatched directly, so that rows are freed and taken
// again while former jobs still run. Nine letters take turns, so the limit's
// message box comes up now and then (closed at once). At the end every job
// has been counted exactly once.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "flashsim/testing/flashsim_daemon_linux.hpp"
#include "main/device_arrival.hpp"
#include "main/exception_report.hpp"
#include "main/form1.hpp"
#include "ppthread/product_thread.hpp"

namespace station::test {

namespace {

// The launchers' pauses, a tenth as long: more tool runs in the same time.
void ShortPause(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds / 10 + 1));
}

constexpr long long kJobsWanted = 300;
constexpr qint64 kRunLimitMs = 40000;

}  // namespace

class StationSoakTest : public QObject {
  Q_OBJECT

 private slots:
  void randomPlugsUnplugsAndCancels() {
    QTemporaryDir workDir;
    QVERIFY(QDir::setCurrent(workDir.path()));
    QStringList reported;
    station::WindowServices services;
    services.report = [&reported](const QString& message) { reported << message; };
    services.jobs.tools = {station::ToolSearch{std::filesystem::path(KESTRIN_PATH).parent_path().string(), ""},
                           &ShortPause};

    flashsim::test::FlashsimDaemon sim;
    QVERIFY(sim.running());
    qputenv("KESTRIN_DEVICE_DIR", QByteArray::fromStdString(sim.dir()));
    TForm1 form(nullptr, std::move(services));
    form.show();
    auto started = station::StartDeviceChangeMessages(form, sim.dir());
    QVERIFY2(started.ok(), started.ok() ? "" : started.error().c_str());
    auto source = std::move(started).value();

    unsigned seed = std::random_device{}();
    if (qEnvironmentVariableIsSet("SOAK_SEED")) seed = qEnvironmentVariable("SOAK_SEED").toUInt();
    qInfo("soak seed %u (SOAK_SEED=%u repeats this run)", seed, seed);
    std::mt19937 random(seed);
    const auto pick = [&random](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };

    int limitBoxes = 0;
    QTimer boxCloser;
    boxCloser.setInterval(30);
    connect(&boxCloser, &QTimer::timeout, &form, [&limitBoxes] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        ++limitBoxes;
        box->button(QMessageBox::Ok)->click();
      }
    });
    boxCloser.start();

    const long long jobsBefore = ProductThread::JobsStarted();
    bool plugged[9] = {};
    int plugs = 0, unplugs = 0, arrivals = 0, removals = 0, cancels = 0;
    QTimer actions;
    actions.setInterval(20);
    connect(&actions, &QTimer::timeout, &form, [&] {
      const int what = pick(100);
      // Mostly a letter that makes the action count: a plugged drive without
      // a row to arrive, a drive with a row to go.
      int k = pick(9);
      for (int tries = 0; tries < 9 && pick(5) != 0; ++tries) {
        const bool present = std::any_of(form.SlotTable.begin(), form.SlotTable.end(),
                                         [k](const DeviceSlot& slot) { return slot.Letter == 'A' + k; });
        if ((what >= 50 && what < 85) ? (plugged[k] && !present) : (what >= 12 && what < 50) ? present : true) break;
        k = pick(9);
      }
      const char letter = static_cast<char>('A' + k);
      if (what < 12) {
        // The emulator plugs or unplugs a device: the watcher passes it on.
        if (!plugged[k]) {
          std::string spec = std::string(1, letter) + ":blankcheck_ms=" + std::to_string(pick(1200));
          if (pick(10) == 0) spec += ",accepts_blankcheck=0";
          if (pick(15) == 0) spec += ",supported=0";
          if (sim.plug(spec)) {
            plugged[k] = true;
            ++plugs;
          }
        } else if (sim.unplug(letter)) {
          plugged[k] = false;
          ++unplugs;
        }
      } else if (what < 50) {
        // The drive goes away as far as the window knows (its device may
        // stay): the row is freed while its job may still run.
        TMessage message{WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME,
                         (1U << k) | (pick(3) == 0 ? 1U << pick(9) : 0U)};
        form.Dispatch(message);
        ++removals;
      } else if (what < 85) {
        // One or two drives arrive in one message.
        TMessage message{WM_DEVICECHANGE, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME,
                         (1U << k) | (pick(3) == 0 ? 1U << pick(9) : 0U)};
        form.Dispatch(message);
        ++arrivals;
      } else {
        const int row = pick(8);
        if (form.CancelBtn[static_cast<std::size_t>(row)]->isVisibleTo(&form)) {
          form.CancelBtnClick(row);
          ++cancels;
        }
      }
    });
    actions.start();

    QElapsedTimer clock;
    clock.start();
    while (ProductThread::JobsStarted() - jobsBefore < kJobsWanted && clock.elapsed() < kRunLimitMs) {
      QTest::qWait(100);
      QVERIFY(form.ActiveCount >= 0 && form.ActiveCount <= 8);
      QCOMPARE(form.GroupBox2->isEnabled(), form.ActiveCount == 0);
    }
    actions.stop();

    // Everything unplugged; every job ends and is counted once.
    for (int k = 0; k < 9; ++k) {
      if (plugged[k]) QVERIFY(sim.unplug(static_cast<char>('A' + k)));
    }
    TMessage allGone{WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME, 0x1FFU};
    form.Dispatch(allGone);
    QTRY_COMPARE_WITH_TIMEOUT(form.ActiveCount, 0, 30000);
    QVERIFY(station::WaitForJobsToEnd(30000));
    boxCloser.stop();
    const long long jobs = ProductThread::JobsStarted() - jobsBefore;
    qInfo(
        "%lld jobs in %lld ms: %d plugs, %d unplugs, %d arrival and %d removal messages, %d cancels, %d limit "
        "boxes; %d passed, %d failed",
        jobs, static_cast<long long>(clock.elapsed()), plugs, unplugs, arrivals, removals, cancels, limitBoxes,
        form.SuccessCount, form.FailCount);
    QCOMPARE(static_cast<long long>(form.TotalCount), jobs);
    QCOMPARE(form.SuccessCount + form.FailCount, form.TotalCount);
    QVERIFY2(jobs >= 100, "too few jobs for a soak run");
    QVERIFY(form.GroupBox2->isEnabled());
    for (const DeviceSlot& slot : form.SlotTable) QCOMPARE(slot.Letter, '\0');
    QVERIFY2(reported.isEmpty(), qPrintable(reported.join(QLatin1Char('\n'))));

    source.reset();
    QDir::setCurrent(QDir::tempPath());
  }
};

}  // namespace station::test

QTEST_MAIN(station::test::StationSoakTest)
#include "station_soak_test.moc"
