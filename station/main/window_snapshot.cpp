#include "main/window_snapshot.hpp"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QSaveFile>
#include <QTimer>

#include "main/form1.hpp"

namespace station {
namespace {

// Written aside and renamed over the old file in one step: a reader never
// finds it missing or half-written.
bool ReplaceFile(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

}  // namespace

QString WindowStateText(const TForm1& form) {
  QString text = QStringLiteral("Total %1\nSuccess %2\nFail %3\n")
                     .arg(form.TotalCount)
                     .arg(form.SuccessCount)
                     .arg(form.FailCount);
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

bool SaveWindowSnapshot(TForm1& form, const QString& directory) {
  QByteArray png;
  {
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!form.grab().save(&buffer, "PNG")) return false;
  }
  const QDir dir(directory);
  const bool picture = ReplaceFile(dir.filePath(QStringLiteral("lumivar.png")), png);
  const bool state = ReplaceFile(dir.filePath(QStringLiteral("lumivar.txt")), WindowStateText(form).toUtf8());
  return picture && state;
}

void StartWindowSnapshotsFromEnvironment(TForm1& form) {
  const QString directory = qEnvironmentVariable(kSnapshotDirVar);
  if (directory.isEmpty()) return;
  auto* timer = new QTimer(&form);
  timer->setInterval(1000);
  QObject::connect(timer, &QTimer::timeout, &form, [&form, directory] { SaveWindowSnapshot(form, directory); });
  timer->start();
  QTimer::singleShot(0, &form, [&form, directory] { SaveWindowSnapshot(form, directory); });
}

}  // namespace station
