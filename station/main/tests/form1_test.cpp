// The station window against its form: layout, texts, fonts and colours,
// the start-up state, the texts from "lang.ini", the counters, the Cancel
// buttons and the report of exceptions in its handlers.
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "config/strict_integer.hpp"
#include "config/ui_text_table.hpp"
#include "main/tests/form1_test_support.hpp"

namespace station::test {

class Form1Test : public WindowTest {
  Q_OBJECT

 private slots:
  void init() { Begin(); }
  void cleanup() { End(); }

  void layoutMatchesTheForm();
  void startUpShowsFreeRowsAndZeroCounters();
  void languageFileWithoutTheSystemLanguageEmptiesTheTexts();
  void recordJobResultCountsJobs();
  void cancelHidesTheButtonAndSetsTheFlag();
  void exceptionInAnEventHandlerIsReported();
};

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
  const QStringList faces{"MS Sans Serif", "Microsoft Sans Serif",  "Liberation Sans", "Arial",
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
    controls.push_back(
        {QStringLiteral("D%1infoStr").arg(n), "TabSheet4", {152, top, 55, 24}, true, kBold16, text, true});
    controls.push_back(
        {QStringLiteral("ProgressBar%1").arg(n), "TabSheet4", {288, top, 329, 24}, false, kWindowFont, text, false});
    controls.push_back(
        {QStringLiteral("CancelBtn%1").arg(n), "TabSheet4", {632, top, 65, 25}, false, kWindowFont, text, false});
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

}  // namespace station::test

int main(int argc, char* argv[]) { return station::test::Run<station::test::Form1Test>(argc, argv); }

#include "form1_test.moc"
