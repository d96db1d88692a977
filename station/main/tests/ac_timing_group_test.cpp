// The window's AC Timing group driven through its widgets: the lists from
// "ACTiming.ini", select and custom mode, and the typed timing values.
#include <QAbstractItemView>
#include <QApplication>
#include <QLineEdit>
#include <QLocale>

#include "config/strict_integer.hpp"
#include "config/tests/worked_example_ini.hpp"
#include "main/tests/form1_test_support.hpp"

namespace station::test {

namespace {

// Picks an item from a combo box's list with the mouse.
void PickFromList(QComboBox* box, int index) {
  box->showPopup();
  QAbstractItemView* view = box->view();
  QTRY_VERIFY(view->isVisible());
  QTest::qWait(QApplication::doubleClickInterval() + 50);  // the list ignores a release right after opening
  const QPoint at = view->visualRect(view->model()->index(index, 0)).center();
  QTest::mouseMove(view->viewport(), at);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
  QTRY_VERIFY(!view->isVisible());
}

}  // namespace

class AcTimingGroupTest : public WindowTest {
  Q_OBJECT

 private slots:
  void init() { Begin(); }
  void cleanup() { End(); }

  void workedExampleThroughTheWidgets();
  void vendorListIsSortedAndUnique();
  void typedTimingValuesUseTheStrictConversion();
};

void AcTimingGroupTest::workedExampleThroughTheWidgets() {
  WriteFile("ACTiming.ini", kWorkedExampleIni);
  auto form = ShowForm();
  QVERIFY(form);

  QCOMPARE(form->NandTimingTable.size(), std::size_t{3});
  QCOMPARE(Items(form->VendorComBox), (QStringList{"ALPHA", "BETA"}));
  QCOMPARE(form->VendorComBox->currentText(), QStringLiteral("ALPHA"));
  QCOMPARE(Items(form->TypeComBox), (QStringList{"N1G08A", "N4G08C"}));
  QCOMPARE(form->TypeComBox->currentText(), QStringLiteral("N1G08A"));
  QVERIFY(form->CustomRBtn->isChecked());
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 255}));

  // The operator picks N4G08C from the type list: select mode.
  PickFromList(form->TypeComBox, 1);
  QCOMPARE(form->TypeComBox->currentText(), QStringLiteral("N4G08C"));
  QVERIFY(form->SelectRBtn->isChecked());
  QVERIFY(!form->CustomRBtn->isChecked());
  QCOMPARE(form->CurrentTimingSet(), (Timing{33, 247, 255, 255}));

  // BETA, picked with the arrow key: its one type, selected.
  form->VendorComBox->setFocus();
  QTest::keyClick(form->VendorComBox, Qt::Key_Down);
  QCOMPARE(form->VendorComBox->currentText(), QStringLiteral("BETA"));
  QCOMPARE(Items(form->TypeComBox), QStringList{"Q2"});
  QCOMPARE(form->TypeComBox->currentText(), QStringLiteral("Q2"));
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 0}));

  // Entering an edit field with the keyboard and typing keeps the mode.
  form->TimingEdit[1]->setFocus();
  QTest::keyClick(form->TimingEdit[1], Qt::Key_End);
  QVERIFY(form->SelectRBtn->isChecked());

  // A click into TimingEdit3: custom mode; the combo boxes keep their items.
  QTest::mouseClick(form->TimingEdit[2], Qt::LeftButton);
  QVERIFY(form->CustomRBtn->isChecked());
  QVERIFY(!form->SelectRBtn->isChecked());
  QCOMPARE(form->VendorComBox->currentText(), QStringLiteral("BETA"));
  QCOMPARE(form->TypeComBox->currentText(), QStringLiteral("Q2"));
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 255}));

  // The radio buttons switch the mode directly.
  ClickRadio(form->SelectRBtn);
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 0}));
  ClickRadio(form->CustomRBtn);
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 255}));

  // Typing into the vendor's text is a change too: the type list is rebuilt
  // from the selected item (the typed text is not read), select mode.
  form->VendorComBox->lineEdit()->setFocus();
  QTest::keyClicks(form->VendorComBox->lineEdit(), QStringLiteral("zz"));
  QVERIFY(form->SelectRBtn->isChecked());
  QCOMPARE(Items(form->TypeComBox), QStringList{"Q2"});
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 0}));
  // Typing into the type's text selects select mode and nothing else.
  QTest::mouseClick(form->TimingEdit[0], Qt::LeftButton);
  QTest::keyClicks(form->TypeComBox->lineEdit(), QStringLiteral("x"));
  QVERIFY(form->SelectRBtn->isChecked());
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 0}));
  QVERIFY(reported_.isEmpty());
}

void AcTimingGroupTest::vendorListIsSortedAndUnique() {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  WriteFile("ACTiming.ini",
            "[gamma/x]\n[Alpha/y]\n[beta/z]\n[ALPHA/w]\n[\xC3\xA9"
            "a/1]\n[\xC3\x89"
            "a/2]\n[ a / b ]\n[delta]\n"
            "[alpha/kappa/b]\n");
  auto form = ShowForm();
  QVERIFY(form);
  // Alphabetical, letter case ignored; one item for two vendors that differ in case only.
  QCOMPARE(Items(form->VendorComBox), (QStringList{" A ", "ALPHA", "BETA",
                                                   QString::fromUtf8("\xC3\xA9"
                                                                     "A"),
                                                   "GAMMA"}));
  QCOMPARE(form->VendorComBox->currentIndex(), 0);
  QCOMPARE(Items(form->TypeComBox), QStringList{" B "});
  // Types in file order; a vendor's types are those of exactly its text.
  form->VendorComBox->setFocus();
  QTest::keyClick(form->VendorComBox, Qt::Key_Down);
  QCOMPARE(Items(form->TypeComBox), (QStringList{"Y", "W", "KAPPA/B"}));
  QTest::keyClick(form->VendorComBox, Qt::Key_Down);
  QTest::keyClick(form->VendorComBox, Qt::Key_Down);
  QCOMPARE(Items(form->TypeComBox), QStringList{"1"});
  QLocale::setDefault(QLocale::system());
}

void AcTimingGroupTest::typedTimingValuesUseTheStrictConversion() {
  auto form = ShowForm();
  QVERIFY(form);
  QVERIFY(form->CustomRBtn->isChecked());

  // Typing stops at three characters.
  form->TimingEdit[0]->clear();
  QTest::keyClicks(form->TimingEdit[0], QStringLiteral("1234"));
  QCOMPARE(form->TimingEdit[0]->text(), QStringLiteral("123"));

  const struct {
    const char* text;
    int value;  // -1000: a conversion error
  } cases[] = {{"$F7", 247},   {" 12", 12},    {"-5", -5},     {"300", 300}, {"0x1", 1},   {"X1F", 31},
               {"12 ", -1000}, {"1 2", -1000}, {"abc", -1000}, {"", -1000},  {"$", -1000}, {"+", -1000}};
  for (const auto& c : cases) {
    form->TimingEdit[3]->setText(QString::fromLatin1(c.text));
    if (c.value != -1000) {
      QCOMPARE(form->CurrentTimingSet(), (Timing{123, 247, 255, c.value}));
      continue;
    }
    try {
      form->CurrentTimingSet();
      QFAIL(c.text);
    } catch (const station::EConvertError& error) {
      QCOMPARE(QString::fromLatin1(error.what()), QStringLiteral("'%1' is not a valid integer value").arg(c.text));
    }
  }
  // The first field that fails is the one named.
  form->TimingEdit[1]->setText(QStringLiteral("a"));
  form->TimingEdit[3]->setText(QStringLiteral("b"));
  QVERIFY_THROWS_EXCEPTION(station::EConvertError, form->CurrentTimingSet());
  try {
    form->CurrentTimingSet();
  } catch (const station::EConvertError& error) {
    QCOMPARE(QString::fromLatin1(error.what()), QStringLiteral("'a' is not a valid integer value"));
  }
  // Select mode does not look at the fields.
  ClickRadio(form->SelectRBtn);
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 255}));
}

}  // namespace station::test

int main(int argc, char* argv[]) { return station::test::Run<station::test::AcTimingGroupTest>(argc, argv); }

#include "ac_timing_group_test.moc"
