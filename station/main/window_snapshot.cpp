#include "main/window_snapshot.hpp"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

#include "main/form1.hpp"

namespace station {
namespace {

bool ReplaceFile(const QString& path, const QByteArray& bytes) {
  const QString aside = path + QStringLiteral(".part");
  QFile file(aside);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  if (file.write(bytes) != bytes.size()) return false;
  file.close();
  // rename() replaces the old file in one step: a reader never finds none.
  return std::rename(QFile::encodeName(aside).constData(), QFile::encodeName(path).constData()) == 0;
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
