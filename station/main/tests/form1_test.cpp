// The station window against its form: layout, texts, fonts and colours,
// the start-up state, the AC Timing group driven through its widgets, the
// counters and the Cancel buttons, and its snapshot files. Each test runs in
// its own temporary working directory, where it writes the files it needs.
#include <fcntl.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "config/strict_integer.hpp"
#include "config/tests/worked_example_ini.hpp"
#include "config/ui_text_table.hpp"
#include "main/exception_report.hpp"
#include "main/form1.hpp"
#include "main/window_snapshot.hpp"

namespace station {
// How QCOMPARE shows a timing set.
char* toString(const TimingSet& t) {
  return QTest::toString(
      QStringLiteral("{%1, %2, %3, %4}").arg(t.Timing1).arg(t.Timing2).arg(t.Timing3).arg(t.Timing4));
}
}  // namespace station

namespace {

using station::testing::kWorkedExampleIni;

using Timing = station::TimingSet;

QStringList Items(const QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

// A click where a radio button without caption reacts: its indicator.
void ClickRadio(QRadioButton* button) {
  QStyleOptionButton option;
  option.initFrom(button);
  const QRect indicator = button->style()->subElementRect(QStyle::SE_RadioButtonIndicator, &option, button);
  QTest::mouseClick(button, Qt::LeftButton, {}, indicator.center());
}

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

class Form1Test : public QObject {
  Q_OBJECT

 public:
  // What the station reported (the application's and the windows' report).
  void Report(const QString& message) { reported_ << message; }

 private slots:
  void init();
  void cleanup();

  void layoutMatchesTheForm();
  void startUpShowsFreeRowsAndZeroCounters();
  void workedExampleThroughTheWidgets();
  void vendorListIsSortedAndUnique();
  void typedTimingValuesUseTheStrictConversion();
  void languageFileWithoutTheSystemLanguageEmptiesTheTexts();
  void recordJobResultCountsJobs();
  void cancelHidesTheButtonAndSetsTheFlag();
  void exceptionInAnEventHandlerIsReported();
  void snapshotsMakeTheirFolderOrSayOnceWhyNot();

 private:
  void WriteFile(const char* name, const QByteArray& text);
  // A window, shown, started from the INI files written so far.
  std::unique_ptr<TForm1> ShowForm();

  std::unique_ptr<QTemporaryDir> dir_;
  QString previousDir_;
  QStringList reported_;
  std::uint16_t systemLanguage_ = 0x0409;  // the windows' system language
};

void Form1Test::init() {
  dir_ = std::make_unique<QTemporaryDir>();
  QVERIFY(dir_->isValid());
  previousDir_ = QDir::currentPath();
  QVERIFY(QDir::setCurrent(dir_->path()));
  station::UiTexts() = station::UiTextTable{};
  systemLanguage_ = 0x0409;
  reported_.clear();
}

void Form1Test::cleanup() {
  station::UiTexts() = station::UiTextTable{};
  QDir::setCurrent(previousDir_);
  dir_.reset();
}

void Form1Test::WriteFile(const char* name, const QByteArray& text) {
  QFile file(QDir(dir_->path()).filePath(QString::fromLatin1(name)));
  QVERIFY(file.open(QIODevice::WriteOnly));
  QCOMPARE(file.write(text), text.size());
}

std::unique_ptr<TForm1> Form1Test::ShowForm() {
  station::WindowServices services;
  services.report = [this](const QString& message) { Report(message); };
  services.systemLanguage = [language = systemLanguage_] { return language; };
  auto form = std::make_unique<TForm1>(nullptr, std::move(services));
  form->show();
  if (!QTest::qWaitForWindowExposed(form.get())) return nullptr;
  return form;
}

void Form1Test::layoutMatchesTheForm() {
  auto form = ShowForm();
  QVERIFY(form);
  QCOMPARE(Form1, form.get());

  // The window.
  QCOMPARE(form->windowTitle(), QStringLiteral("Blank Checking Utility"));
  QCOMPARE(form->size(), QSize(772, 528));
  QCOMPARE(form->minimumSize(), QSize(772, 528));
  QCOMPARE(form->maximumSize(), QSize(772, 528));
  const Qt::WindowFlags flags = form->windowFlags();
  QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
  QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
  QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
  QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
  const QRect screen = form->screen()->availableGeometry();
  QVERIFY((form->frameGeometry().center() - screen.center()).manhattanLength() <= 2);
  QCOMPARE(form->font().pixelSize(), 11);
  const QStringList faces{"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial",
                          "Arimo",         "DejaVu Sans Condensed", "DejaVu Sans"};
  QVERIFY2(faces.contains(QFontInfo(form->font()).family()), qPrintable(QFontInfo(form->font()).family()));

  QCOMPARE(form->PageControl1->geometry(), QRect(0, 0, 772, 528));
  QCOMPARE(form->PageControl1->count(), 1);
  QCOMPARE(form->PageControl1->widget(0), form->TabSheet4);
  QCOMPARE(form->PageControl1->tabText(0), QStringLiteral("Blank Checking"));
  QCOMPARE(form->GroupBox2->title(), QStringLiteral("AC Timing"));

  // Every control: parent, position and size (a self-sizing text: its width
  // follows its text), font, colour, visibility.
  enum Font { kWindowFont, kBold16 };
  struct Control {
    QString name;
    QString parent;
    QRect geometry;
    bool sizesItself;
    Font font;
    QColor colour;  // invalid: the window-text colour
    bool visible;
  };
  const QColor text;  // window text
  std::vector<Control> controls{
      {"GroupBox2", "TabSheet4", {64, 8, 633, 97}, false, kWindowFont, text, true},
      {"SelectRBtn", "GroupBox2", {16, 32, 25, 17}, false, kWindowFont, text, true},
      {"VendorComBox", "GroupBox2", {48, 32, 105, 21}, false, kWindowFont, text, true},
      {"TypeComBox", "GroupBox2", {168, 32, 145, 21}, false, kWindowFont, text, true},
      {"CustomRBtn", "GroupBox2", {16, 72, 25, 17}, false, kWindowFont, text, true},
      {"TimingEdit1", "GroupBox2", {48, 68, 41, 21}, false, kWindowFont, text, true},
      {"TimingEdit2", "GroupBox2", {96, 68, 41, 21}, false, kWindowFont, text, true},
      {"TimingEdit3", "GroupBox2", {144, 68, 41, 21}, false, kWindowFont, text, true},
      {"TimingEdit4", "GroupBox2", {192, 68, 41, 21}, false, kWindowFont, text, true},
      {"GroupBox16", "TabSheet4", {40, 448, 673, 49}, false, kWindowFont, text, true},
      {"StaticText10", "GroupBox16", {32, 16, 49, 24}, false, kBold16, text, true},
      {"TotalStr", "GroupBox16", {88, 16, 14, 24}, true, kBold16, text, true},
      {"StaticText11", "GroupBox16", {256, 16, 77, 24}, false, kBold16, kBlue, true},
      {"SuccessStr", "GroupBox16", {336, 16, 14, 24}, true, kBold16, kBlue, true},
      {"StaticText13", "GroupBox16", {536, 16, 38, 24}, false, kBold16, kRed, true},
      {"FailStr", "GroupBox16", {584, 16, 14, 24}, true, kBold16, kRed, true},
  };
  for (int n = 1; n <= 8; ++n) {
    const int top = 128 + 40 * (n - 1);
    const QString label = QStringLiteral("StaticText%1").arg(n == 1 ? 1 : n + 1);
    controls.push_back({label, "TabSheet4", {64, top, 78, 24}, false, kBold16, text, true});
    controls.push_back({QStringLiteral("D%1infoStr").arg(n), "TabSheet4", {152, top, 55, 24}, true, kBold16, text, true});
    controls.push_back({QStringLiteral("ProgressBar%1").arg(n), "TabSheet4", {288, top, 329, 24}, false, kWindowFont, text, false});
    controls.push_back({QStringLiteral("CancelBtn%1").arg(n), "TabSheet4", {632, top, 65, 25}, false, kWindowFont, text, false});
  }
  for (const Control& c : controls) {
    const auto* widget = form->findChild<QWidget*>(c.name);
    QVERIFY2(widget != nullptr, qPrintable(c.name));
    QCOMPARE(widget->parentWidget()->objectName(), c.parent);
    if (c.sizesItself) {
      const auto* label = qobject_cast<const QLabel*>(widget);
      QVERIFY(label != nullptr);
      QCOMPARE(widget->pos(), c.geometry.topLeft());
      QCOMPARE(widget->height(), c.geometry.height());
      const int textWidth = label->fontMetrics().horizontalAdvance(label->text());
      QVERIFY2(widget->width() >= textWidth && widget->width() <= std::max(textWidth, c.geometry.width()) + 4,
               qPrintable(c.name));
    } else {
      QVERIFY2(widget->geometry() == c.geometry, qPrintable(c.name));
    }
    if (c.font == kBold16) {
      QVERIFY2(widget->font().bold() && widget->font().pixelSize() == 16, qPrintable(c.name));
    } else {
      QVERIFY2(!widget->font().bold() && widget->font().pixelSize() == 11, qPrintable(c.name));
    }
    if (qobject_cast<const QLabel*>(widget) != nullptr) {
      const QColor expected = c.colour.isValid() ? c.colour : form->palette().color(QPalette::WindowText);
      QVERIFY2(widget->palette().color(QPalette::WindowText) == expected, qPrintable(c.name));
    }
    QVERIFY2(widget->isVisibleTo(form.get()) == c.visible, qPrintable(c.name));
  }

  for (int n = 0; n < 8; ++n) {
    const QProgressBar* bar = form->ProgressBar[static_cast<std::size_t>(n)];
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
  }
  for (const QLineEdit* edit : form->TimingEdit) QCOMPARE(edit->maxLength(), 3);
  QCOMPARE((QStringList{form->TimingEdit[0]->text(), form->TimingEdit[1]->text(), form->TimingEdit[2]->text(),
                        form->TimingEdit[3]->text()}),
           (QStringList{"247", "247", "255", "255"}));
  QVERIFY(form->VendorComBox->isEditable());
  QVERIFY(form->TypeComBox->isEditable());

  // Tab order of the AC Timing group.
  const QList<QWidget*> order{form->SelectRBtn,    form->CustomRBtn,    form->TimingEdit[0], form->TimingEdit[1],
                              form->TimingEdit[2], form->TimingEdit[3], form->VendorComBox,  form->TypeComBox};
  QList<QWidget*> chain;
  QWidget* w = form->SelectRBtn;
  do {
    if (order.contains(w) && !chain.contains(w)) chain << w;
    w = w->nextInFocusChain();
  } while (w != form->SelectRBtn);
  QCOMPARE(chain, order);
}

void Form1Test::startUpShowsFreeRowsAndZeroCounters() {
  auto form = ShowForm();  // no ACTiming.ini, no lang.ini
  QVERIFY(form);

  QCOMPARE(form->GroupBox16->title(), QStringLiteral("Log"));
  for (int n = 0; n < 8; ++n) {
    const auto i = static_cast<std::size_t>(n);
    QCOMPARE(form->RowLabel[i]->text(), QStringLiteral("Device %1: ").arg(n + 1));
    QCOMPARE(form->DinfoStr[i]->text(), QStringLiteral("Waiting device..."));
    QCOMPARE(form->CancelBtn[i]->text(), QStringLiteral("Cancel"));
    QVERIFY(!form->ProgressBar[i]->isVisible());
    QVERIFY(!form->CancelBtn[i]->isVisible());
    QCOMPARE(form->SlotTable[i].Letter, '\0');
    QCOMPARE(form->SlotTable[i].InfoText, form->DinfoStr[i]);
    QCOMPARE(form->SlotTable[i].Bar, form->ProgressBar[i]);
    QCOMPARE(form->SlotTable[i].CancelButton, form->CancelBtn[i]);
    QCOMPARE(form->CancelRequest[i].load(), 0);
  }
  QCOMPARE(form->StaticText10->text(), QStringLiteral("Total:"));
  QCOMPARE(form->StaticText11->text(), QStringLiteral("successful:"));
  QCOMPARE(form->StaticText13->text(), QStringLiteral("fail:"));
  QCOMPARE(form->TotalStr->text(), QStringLiteral("0"));
  QCOMPARE(form->SuccessStr->text(), QStringLiteral("0"));
  QCOMPARE(form->FailStr->text(), QStringLiteral("0"));
  QCOMPARE(form->ActiveCount, 0);
  QCOMPARE(form->TotalCount, 0);
  QCOMPARE(form->SuccessCount, 0);
  QCOMPARE(form->FailCount, 0);
  // A label narrowed to its width still holds its whole text.
  for (const QLabel* label : {form->StaticText11, form->RowLabel[7]}) {
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text().trimmed()) <= label->width());
  }

  // Without the table: empty lists, custom mode with the edit fields' values;
  // select mode (by its radio button) gives the defaults.
  QVERIFY(form->NandTimingTable.empty());
  QCOMPARE(form->VendorComBox->count(), 0);
  QCOMPARE(form->TypeComBox->count(), 0);
  QVERIFY(form->CustomRBtn->isChecked());
  QVERIFY(!form->SelectRBtn->isChecked());
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 255}));
  form->TimingEdit[0]->setText(QStringLiteral("1"));
  ClickRadio(form->SelectRBtn);
  QVERIFY(form->SelectRBtn->isChecked());
  QVERIFY(!form->CustomRBtn->isChecked());
  QCOMPARE(form->CurrentTimingSet(), (Timing{247, 247, 255, 255}));
  QVERIFY(reported_.isEmpty());
}

void Form1Test::workedExampleThroughTheWidgets() {
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

void Form1Test::vendorListIsSortedAndUnique() {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  WriteFile("ACTiming.ini",
            "[gamma/x]\n[Alpha/y]\n[beta/z]\n[ALPHA/w]\n[\xC3\xA9" "a/1]\n[\xC3\x89" "a/2]\n[ a / b ]\n[delta]\n"
            "[alpha/kappa/b]\n");
  auto form = ShowForm();
  QVERIFY(form);
  // Alphabetical, letter case ignored; one item for two vendors that differ in case only.
  QCOMPARE(Items(form->VendorComBox),
           (QStringList{" A ", "ALPHA", "BETA", QString::fromUtf8("\xC3\xA9" "A"), "GAMMA"}));
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

void Form1Test::typedTimingValuesUseTheStrictConversion() {
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
  } cases[] = {{"$F7", 247}, {" 12", 12}, {"-5", -5}, {"300", 300}, {"0x1", 1}, {"X1F", 31},
               {"12 ", -1000}, {"1 2", -1000}, {"abc", -1000}, {"", -1000}, {"$", -1000}, {"+", -1000}};
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

void Form1Test::languageFileWithoutTheSystemLanguageEmptiesTheTexts() {
  WriteFile("lang.ini",
            "[English]\nDeviceStr = Slot\nLogStr = Journal\nSuccessMsg = ok\nFailMsg = bad\nTotalMsg = All\n"
            "WaitDeviceMsg = \"  <b>free</b>\"\nCancelStr = Stop ; comment\n");
  {  // The system's language is English: the file's texts.
    auto form = ShowForm();
    QVERIFY(form);
    QCOMPARE(form->RowLabel[0]->text(), QStringLiteral("Slot 1: "));
    QCOMPARE(form->GroupBox16->title(), QStringLiteral("Journal"));
    QCOMPARE(form->StaticText10->text(), QStringLiteral("All:"));
    QCOMPARE(form->StaticText11->text(), QStringLiteral("ok:"));
    QCOMPARE(form->StaticText13->text(), QStringLiteral("bad:"));
    QCOMPARE(form->CancelBtn[7]->text(), QStringLiteral("Stop"));
    QCOMPARE(form->DinfoStr[3]->text(), QStringLiteral("  <b>free</b>"));
    QCOMPARE(form->DinfoStr[3]->textFormat(), Qt::PlainText);  // shown as typed, never as markup
  }
  station::UiTexts() = station::UiTextTable{};
  systemLanguage_ = 0x0C04;  // Chinese (Hong Kong) reads the English section ...
  {
    auto form = ShowForm();
    QVERIFY(form);
    QCOMPARE(form->RowLabel[0]->text(), QStringLiteral("Slot 1: "));
  }
  station::UiTexts() = station::UiTextTable{};
  systemLanguage_ = 0x0804;  // ... Chinese (PRC) its own, and the file has no such section
  auto form = ShowForm();
  QVERIFY(form);
  for (int n = 0; n < 8; ++n) {
    const auto i = static_cast<std::size_t>(n);
    QCOMPARE(form->RowLabel[i]->text(), QStringLiteral(" %1: ").arg(n + 1));
    QCOMPARE(form->DinfoStr[i]->text(), QString());
    QCOMPARE(form->CancelBtn[i]->text(), QString());
  }
  QCOMPARE(form->GroupBox16->title(), QString());
  QCOMPARE(form->StaticText10->text(), QStringLiteral(":"));
  QCOMPARE(form->StaticText11->text(), QStringLiteral(":"));
  QCOMPARE(form->StaticText13->text(), QStringLiteral(":"));
  QCOMPARE(form->TotalStr->text(), QStringLiteral("0"));
}

void Form1Test::recordJobResultCountsJobs() {
  auto form = ShowForm();
  QVERIFY(form);
  const int verdicts[10] = {0, 1, 0, 0, 1, 0, 0, 0, 1, 0};
  for (int success : verdicts) form->RecordJobResult(success);
  QCOMPARE(form->TotalCount, 10);
  QCOMPARE(form->SuccessCount, 3);
  QCOMPARE(form->FailCount, 7);
  QCOMPARE(form->TotalStr->text(), QStringLiteral("10"));
  QCOMPARE(form->SuccessStr->text(), QStringLiteral("3"));
  QCOMPARE(form->FailStr->text(), QStringLiteral("7"));
  // Two digits are shown whole.
  QVERIFY(form->TotalStr->width() >= form->TotalStr->fontMetrics().horizontalAdvance(QStringLiteral("10")));

  // From a job thread: handed to the window thread, the caller waits.
  std::thread job([&form] {
    QMetaObject::invokeMethod(form.get(), "RecordJobResult", Qt::BlockingQueuedConnection, Q_ARG(int, 1));
  });
  QTRY_COMPARE(form->TotalCount, 11);
  job.join();
  QCOMPARE(form->SuccessCount, 4);
  QCOMPARE(form->FailStr->text(), QStringLiteral("7"));
  QCOMPARE(form->TotalStr->text(), QStringLiteral("11"));
}

void Form1Test::cancelHidesTheButtonAndSetsTheFlag() {
  auto form = ShowForm();
  QVERIFY(form);
  // Row 3 holds a drive: its button is shown, its flag clear.
  form->CancelBtn[2]->show();
  QTest::mouseClick(form->CancelBtn[2], Qt::LeftButton);
  QCOMPARE(form->CancelRequest[2].load(), 1);
  QVERIFY(!form->CancelBtn[2]->isVisible());
  for (std::size_t i : {0, 1, 3, 4, 5, 6, 7}) QCOMPARE(form->CancelRequest[i].load(), 0);
  QCOMPARE(form->TotalCount, 0);
  QCOMPARE(form->TotalStr->text(), QStringLiteral("0"));
  // The flags stay where they are for the window's life.
  const std::atomic<std::int32_t>* flag = &form->CancelRequest[2];
  form->RecordJobResult(0);
  QCOMPARE(&form->CancelRequest[2], flag);
}

void Form1Test::exceptionInAnEventHandlerIsReported() {
  class Throwing : public QObject {
   public:
    bool event(QEvent* event) override {
      if (event->type() == QEvent::User) throw std::runtime_error("handler failed");
      return QObject::event(event);
    }
  } object;
  QEvent event(QEvent::User);
  QCoreApplication::sendEvent(&object, &event);
  QCOMPARE(reported_, QStringList{"handler failed"});

  // A handler of the window: reported, and the window goes on.
  auto form = ShowForm();
  QVERIFY(form);
  form->HandleEvent([] { throw station::EConvertError("x"); });
  QCOMPARE(reported_.size(), 2);
  QCOMPARE(reported_.back(), QStringLiteral("'x' is not a valid integer value"));
  form->RecordJobResult(1);
  QCOMPARE(form->SuccessStr->text(), QStringLiteral("1"));

  // The station's own report: a modal message box titled with the application's title.
  QApplication::setApplicationDisplayName(QString::fromLatin1(station::kApplicationTitle));
  QString title;
  QString text;
  QTimer closer;
  connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      title = box->windowTitle();
      text = box->text();
      box->accept();
    }
  });
  closer.start(10);
  station::ShowException(std::runtime_error("device table lost"));
  closer.stop();
  QCOMPARE(title, QStringLiteral("Blank Checking Tool v1.0"));
  QCOMPARE(text, QStringLiteral("device table lost"));
}

void Form1Test::snapshotsMakeTheirFolderOrSayOnceWhyNot() {
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

int main(int argc, char* argv[]) {
  Form1Test test;
  station::StationApplication application(argc, argv, [&test](const QString& message) { test.Report(message); });
  return QTest::qExec(&test, argc, argv);
}

#include "form1_test.moc"
