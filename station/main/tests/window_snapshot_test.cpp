// The window's snapshot files ("lumivar.png", "lumivar.txt"): the folder
// made when missing, and one line on standard error when it cannot be.
#include "main/window_snapshot.hpp"

#include <QDir>
#include <QFile>
#include <QImage>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <vector>

#include "main/tests/form1_test_support.hpp"

namespace station::test {

namespace {

// The lines that `run` writes to standard error from the station (held in
// the file at `path` meanwhile).
QStringList StationLinesOnStderr(const QString& path, const std::function<void()>& run) {
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int file = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, STDERR_FILENO);
  close(file);
  run();
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  QFile written(path);
  QStringList lines;
  if (written.open(QIODevice::ReadOnly)) {
    for (const QByteArray& line : written.readAll().split('\n')) {
      if (line.startsWith("lumivar:")) lines << QString::fromLocal8Bit(line);
    }
  }
  return lines;
}

}  // namespace

class WindowSnapshotTest : public WindowTest {
  Q_OBJECT

 private slots:
  void init() { Begin(); }
  void cleanup() { End(); }

  void snapshotsMakeTheirFolderOrSayOnceWhyNot();
};

void WindowSnapshotTest::snapshotsMakeTheirFolderOrSayOnceWhyNot() {
  auto form = ShowForm();
  QVERIFY(form);
  // A folder that is not there, nor its parent: made, and the files written.
  const QString folder = dir_->filePath(QStringLiteral("snap/a"));
  qputenv(station::kSnapshotDirVar, QFile::encodeName(folder));
  station::StartWindowSnapshotsFromEnvironment(*form);
  qunsetenv(station::kSnapshotDirVar);
  QTRY_VERIFY(QFile::exists(folder + QStringLiteral("/lumivar.txt")));
  QVERIFY(!QImage(folder + QStringLiteral("/lumivar.png")).isNull());
  QFile state(folder + QStringLiteral("/lumivar.txt"));
  QVERIFY(state.open(QIODevice::ReadOnly));
  QVERIFY(state.readAll().startsWith("Total 0\nSuccess 0\nFail 0\nRow 1: Waiting device...\n"));

  // A folder that cannot be made (a file stands in its way): nothing is
  // written, and standard error is told why once, not at every try; again
  // only when it fails after it has worked.
  WriteFile("plain", "x");
  const QString blockedFolder = dir_->filePath(QStringLiteral("plain/snap"));
  station::WindowSnapshots snapshots(*form, blockedFolder);
  std::vector<bool> saved;
  const QStringList told = StationLinesOnStderr(dir_->filePath(QStringLiteral("stderr.txt")), [&] {
    saved.push_back(snapshots.Save());
    saved.push_back(snapshots.Save());
    QFile::remove(dir_->filePath(QStringLiteral("plain")));
    saved.push_back(snapshots.Save());  // now it can be made
    QDir(blockedFolder).removeRecursively();
    WriteFile("plain/snap", "x");
    saved.push_back(snapshots.Save());
    saved.push_back(snapshots.Save());
  });
  QCOMPARE(saved, (std::vector<bool>{false, false, true, false, false}));
  QCOMPARE(told.size(), 2);
  for (const QString& line : told) {
    QVERIFY2(line.startsWith(QStringLiteral("lumivar: LUMIVAR_SNAPSHOT_DIR: no window snapshots are written: "
                                            "cannot make the folder \"%1\": ")
                                 .arg(blockedFolder)),
             qPrintable(line));
  }
}

}  // namespace station::test

int main(int argc, char* argv[]) { return station::test::Run<station::test::WindowSnapshotTest>(argc, argv); }

#include "window_snapshot_test.moc"
