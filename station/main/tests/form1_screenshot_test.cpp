// Renders the window as it stands at start, with the worked-example
// "ACTiming.ini", into a PNG kept with the build (SCREENSHOT_PATH), and
// beside it the window with three rows at work.
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstddef>
#include <fstream>
#include <memory>

#include "config/tests/worked_example_ini.hpp"
#include "config/ui_text_table.hpp"
#include "main/form1.hpp"

class Form1Screenshot : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    previous_ = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir_->path()));
  }

  void cleanup() {
    QDir::setCurrent(previous_);
    dir_.reset();
  }

  void windowAtStart() {
    std::ofstream(QDir(dir_->path()).filePath("ACTiming.ini").toStdString())
        << station::testing::kWorkedExampleIni;

    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QPixmap shot = form.grab();

    QCOMPARE(shot.size(), QSize(772, 528));
    const QString path = QString::fromUtf8(SCREENSHOT_PATH);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QVERIFY(shot.save(path, "PNG"));
    QVERIFY(!QImage(path).isNull());
  }

  // Three rows at work, beside the start image: a running job, a pass and a
  // failure, with their bars and Cancel buttons.
  void windowAtWork() {
    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const struct {
      const char* text;
      QColor colour;
      int bar;
    } rows[] = {{"Checking...", WindowTextColour(), 40}, {"successful", kBlue, 100}, {"Checking...fail", kRed, 12}};
    for (std::size_t i = 0; i < 3; ++i) {
      form.SlotTable[i].Letter = static_cast<char>('E' + i);
      form.DinfoStr[i]->setText(QString::fromLatin1(rows[i].text));
      SetTextColour(form.DinfoStr[i], rows[i].colour);
      form.ProgressBar[i]->setValue(rows[i].bar);
      form.ProgressBar[i]->show();
      form.CancelBtn[i]->show();
    }
    form.RecordJobResult(1);
    form.RecordJobResult(0);
    QTRY_VERIFY(form.DinfoStr[2]->width() >= form.DinfoStr[2]->fontMetrics().horizontalAdvance("Checking...fail"));
    // The longest verdict stays clear of the bar.
    QVERIFY(form.DinfoStr[2]->geometry().right() < form.ProgressBar[2]->x());
    const QString path = QString::fromUtf8(SCREENSHOT_PATH).replace("-start.png", "-work.png");
    QVERIFY(form.grab().save(path, "PNG"));
  }

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString previous_;
};

QTEST_MAIN(Form1Screenshot)
#include "form1_screenshot_test.moc"
