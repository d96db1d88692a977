#include "main/window_snapshot.hpp"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QSaveFile>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "common/result.hpp"
#include "main/form1.hpp"

namespace station {
namespace {

using Written = common::Result<void, QString>;

// Replaces the file at `path` with `bytes` in one step.
Written ReplaceFile(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) return {};
  return common::Failure{QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString())};
}

// Makes `directory` with its parents where it is missing.
Written MakeDirectory(const QString& directory) {
  std::error_code error;
  const std::filesystem::path path(QFile::encodeName(directory).toStdString());
  if (std::filesystem::create_directories(path, error) || std::filesystem::is_directory(path)) return {};
  if (!error) error = std::make_error_code(std::errc::not_a_directory);
  return common::Failure{QStringLiteral("cannot make the folder \"%1\": %2")
                             .arg(directory, QString::fromLocal8Bit(error.message().c_str()))};
}

// The window's picture and state text, both written even when the first
// cannot be (then the later failure is the one told).
Written WriteSnapshot(TForm1& form, const QString& directory) {
  QByteArray png;
  {
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!form.grab().save(&buffer, "PNG"))
      return common::Failure{QStringLiteral("the window's picture cannot be made")};
  }
  if (Written made = MakeDirectory(directory); !made) return made;
  const QDir dir(directory);
  const Written picture = ReplaceFile(dir.filePath(QStringLiteral("lumivar.png")), png);
  const Written state = ReplaceFile(dir.filePath(QStringLiteral("lumivar.txt")), WindowStateText(form).toUtf8());
  return state ? picture : state;
}

}  // namespace

QString WindowStateText(const TForm1& form) {
  QString text =
      QStringLiteral("Total %1\nSuccess %2\nFail %3\n").arg(form.TotalCount).arg(form.SuccessCount).arg(form.FailCount);
  for (std::size_t n = 0; n < form.DinfoStr.size(); ++n) {
    text += QStringLiteral("Row %1: %2\n").arg(n + 1).arg(form.DinfoStr[n]->text());
  }
  for (QWidget* window : QApplication::topLevelWidgets()) {
    const auto* box = qobject_cast<const QMessageBox*>(window);
    if (box != nullptr && box->isVisible()) {
      text += QStringLiteral("Box %1: %2\n").arg(box->windowTitle(), box->text());
    }
  }
  return text;
}

WindowSnapshots::WindowSnapshots(TForm1& form, QString directory) : form_(form), directory_(std::move(directory)) {}

bool WindowSnapshots::Save() {
  const Written saved = WriteSnapshot(form_, directory_);
  if (saved) {
    failureTold_ = false;
  } else if (!failureTold_) {
    failureTold_ = true;
    std::fprintf(stderr, "lumivar: %s: no window snapshots are written: %s\n", kSnapshotDirVar,
                 saved.error().toLocal8Bit().constData());
    std::fflush(stderr);
  }
  return saved.ok();
}

void StartWindowSnapshotsFromEnvironment(TForm1& form) {
  const QString directory = qEnvironmentVariable(kSnapshotDirVar);
  if (directory.isEmpty()) return;
  auto snapshots = std::make_shared<WindowSnapshots>(form, directory);
  auto* timer = new QTimer(&form);
  timer->setInterval(1000);
  QObject::connect(timer, &QTimer::timeout, &form, [snapshots] { snapshots->Save(); });
  timer->start();
  QTimer::singleShot(0, &form, [snapshots] { snapshots->Save(); });
}

}  // namespace station
