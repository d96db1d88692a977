// Placeholder until the real tool and emulator jobs are written.
#include <QtTest>
class ProductThreadKestrinTest : public QObject {
  Q_OBJECT
 private slots:
  void nothing() {}
};
QTEST_MAIN(ProductThreadKestrinTest)
#include "product_thread_kestrin_test.moc"
