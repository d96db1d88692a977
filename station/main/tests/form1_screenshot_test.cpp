// Renders the window as it stands at start, with the worked-example
// "ACTiming.ini", into a PNG kept with the build (SCREENSHOT_PATH).
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "config/ui_text_table.hpp"
#include "main/form1.hpp"

class Form1Screenshot : public QObject {
  Q_OBJECT

 private slots:
  void windowAtStart() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    std::ofstream(QDir(dir.path()).filePath("ACTiming.ini").toStdString())
        << "; AC timing per NAND type\n[alpha/n1g08a]\nTIMING1 = 17\ntiming2=17\nTiming3 = 120 ; slow part\n"
           "[beta/q2]\nTIMING4 = 0x20\n[alpha/n4g08c]\nTIMING1 = 33\n[gamma]\nTIMING1 = 1\n";
    station::SetSystemDefaultLangIDForTesting(0x0409);

    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QPixmap shot = form.grab();
    QDir::setCurrent(previous);
    station::ClearSystemDefaultLangIDForTesting();

    QCOMPARE(shot.size(), QSize(772, 528));
    const QString path = QString::fromUtf8(SCREENSHOT_PATH);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QVERIFY(shot.save(path, "PNG"));
    QVERIFY(!QImage(path).isNull());
  }
};

QTEST_MAIN(Form1Screenshot)
#include "form1_screenshot_test.moc"
