#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "devicewatch/device_change_source.hpp"

namespace station::test {

using station::kDeviceArrival;
using station::kDeviceRemoveComplete;

class DeviceDirWatcherTest : public QObject {
  Q_OBJECT

 private:
  static void touch(const QString& path) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_CREAT | O_WRONLY, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);
  }

 private slots:
  void reportsDriveEntriesOnly() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    touch(dir.filePath("sdc"));  // present before the start: never reported

    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    auto source = station::MakeDeviceChangeSource(dir.path().toStdString(),
                                                  [&](std::uint32_t e, std::uint32_t m) { seen.emplace_back(e, m); });
    QVERIFY(source->start().ok());

    touch(dir.filePath("sde"));
    touch(dir.filePath("sdb1"));  // a partition
    touch(dir.filePath("sdaa"));  // not one letter
    touch(dir.filePath("ttyS0"));
    QVERIFY(::mkdir(dir.filePath("sdf").toLocal8Bit().constData(), 0700) == 0);
    QTRY_COMPARE(seen.size(), std::size_t{2});
    QCOMPARE(seen[0], std::make_pair(kDeviceArrival, 1U << 4));
    QCOMPARE(seen[1], std::make_pair(kDeviceArrival, 1U << 5));

    // A socket bound under a temporary name and renamed into place arrives too.
    touch(dir.filePath(".sdz.tmp"));
    QVERIFY(::rename(dir.filePath(".sdz.tmp").toLocal8Bit().constData(),
                     dir.filePath("sdz").toLocal8Bit().constData()) == 0);
    QTRY_COMPARE(seen.size(), std::size_t{3});
    QCOMPARE(seen[2], std::make_pair(kDeviceArrival, 1U << 25));

    QVERIFY(std::remove(dir.filePath("sde").toLocal8Bit().constData()) == 0);
    QVERIFY(std::remove(dir.filePath("sdb1").toLocal8Bit().constData()) == 0);
    QVERIFY(std::remove(dir.filePath("sdc").toLocal8Bit().constData()) == 0);
    QTRY_COMPARE(seen.size(), std::size_t{5});
    QCOMPARE(seen[3], std::make_pair(kDeviceRemoveComplete, 1U << 4));
    QCOMPARE(seen[4], std::make_pair(kDeviceRemoveComplete, 1U << 2));
  }

  void missingDirectoryIsReported() {
    auto source = station::MakeDeviceChangeSource("/nonexistent/devices", [](std::uint32_t, std::uint32_t) {});
    const common::Result<void> started = source->start();
    QVERIFY(!started.ok());
    QVERIFY(started.error().find("/nonexistent/devices") != std::string::npos);
  }

  void unknownWatcherChoiceIsReported() {
    qputenv("LUMIVAR_DEVICE_WATCH", "netlink");
    auto source = station::MakeDeviceChangeSource("/dev", [](std::uint32_t, std::uint32_t) {});
    qunsetenv("LUMIVAR_DEVICE_WATCH");
    const common::Result<void> started = source->start();
    QVERIFY(!started.ok());
    QCOMPARE(QString::fromStdString(started.error()),
             QStringLiteral("LUMIVAR_DEVICE_WATCH=netlink names no watcher (inotify or udev)"));
  }
};

}  // namespace station::test

QTEST_GUILESS_MAIN(station::test::DeviceDirWatcherTest)
#include "device_dir_watcher_test.moc"
