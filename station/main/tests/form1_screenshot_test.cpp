// Renders the window as it stands at start, with the worked-example
// "ACTiming.ini", into a PNG kept with the build (SCREENSHOT_PATH), and
// beside it the window with three rows at work; and looks at the pictures
// as written: their size, and which texts show in blue and which in red.
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
#include <cstdlib>
#include <fstream>
#include <memory>

#include "config/tests/worked_example_ini.hpp"
#include "config/ui_text_table.hpp"
#include "main/form1.hpp"

namespace station::test {

namespace {

// Pixels of `image` inside `widget` (a control of `form`) whose colour is
// close to `colour`. Bold 16-pixel text covers whole pixels in its colour
// whatever the font; only its edges are blended with the background.
int PixelsNear(const QImage& image, const TForm1& form, const QWidget* widget, const QColor& colour) {
  const QRect area = QRect(widget->mapTo(&form, QPoint(0, 0)), widget->size()).intersected(image.rect());
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (std::abs(c.red() - colour.red()) <= 60 && std::abs(c.green() - colour.green()) <= 60 &&
          std::abs(c.blue() - colour.blue()) <= 60) {
        ++count;
      }
    }
  }
  return count;
}

constexpr int kSomeText = 20;  // pixels: a word in bold 16-pixel characters has many more

}  // namespace

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
    std::ofstream(QDir(dir_->path()).filePath("ACTiming.ini").toStdString()) << station::test::kWorkedExampleIni;

    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QPixmap shot = form.grab();

    QCOMPARE(shot.size(), QSize(772, 528));
    const QString path = QString::fromUtf8(SCREENSHOT_PATH);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QVERIFY(shot.save(path, "PNG"));
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(772, 528));
    // The Success label and its count in blue, the Fail label and its count
    // in red, the Total label and the free rows in neither.
    for (const QWidget* blue : {form.StaticText11, form.SuccessStr}) {
      QVERIFY2(PixelsNear(image, form, blue, kBlue) > kSomeText, qPrintable(blue->objectName()));
      QCOMPARE(PixelsNear(image, form, blue, kRed), 0);
    }
    for (const QWidget* red : {form.StaticText13, form.FailStr}) {
      QVERIFY2(PixelsNear(image, form, red, kRed) > kSomeText, qPrintable(red->objectName()));
      QCOMPARE(PixelsNear(image, form, red, kBlue), 0);
    }
    for (const QWidget* neutral : std::initializer_list<const QWidget*>{form.StaticText10, form.DinfoStr[0]}) {
      QCOMPARE(PixelsNear(image, form, neutral, kBlue), 0);
      QCOMPARE(PixelsNear(image, form, neutral, kRed), 0);
    }
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
    // The running job's text in neither colour, the pass in blue, the failure in red.
    const QImage image(path);
    QCOMPARE(image.size(), QSize(772, 528));
    QCOMPARE(PixelsNear(image, form, form.DinfoStr[0], kBlue), 0);
    QCOMPARE(PixelsNear(image, form, form.DinfoStr[0], kRed), 0);
    QVERIFY(PixelsNear(image, form, form.DinfoStr[1], kBlue) > kSomeText);
    QCOMPARE(PixelsNear(image, form, form.DinfoStr[1], kRed), 0);
    QVERIFY(PixelsNear(image, form, form.DinfoStr[2], kRed) > kSomeText);
    QCOMPARE(PixelsNear(image, form, form.DinfoStr[2], kBlue), 0);
  }

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString previous_;
};

}  // namespace station::test

QTEST_MAIN(station::test::Form1Screenshot)
#include "form1_screenshot_test.moc"
