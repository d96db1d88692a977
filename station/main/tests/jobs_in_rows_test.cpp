// ProductThread jobs writing into the real window's rows, headless, against
// the scripted stand-in tool. The pauses between polls are replaced (1 ms each, counted).
#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include <memory>

#include "config/ui_text_table.hpp"
#include "main/form1.hpp"
#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/product_thread.hpp"
#include "ppthread/tests/test_support.hpp"

namespace station::test {

class ProductThreadTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TForm1> form;
  std::unique_ptr<station::test::StandinFolder> folder;
  std::unique_ptr<station::test::RecordedPauses> pauses;
  station::JobServices jobs;

  ProductThread* Job(int row, char drive, std::int32_t t1 = 1, std::int32_t t2 = 2, std::int32_t t3 = 3,
                     std::int32_t t4 = 4) {
    const auto r = static_cast<std::size_t>(row);
    return new ProductThread(drive, form->JobRowFor(r), &form->CancelRequest[r], t1, t2, t3, t4, jobs);
  }
  QString Text(int row) const { return form->DinfoStr[static_cast<std::size_t>(row)]->text(); }
  QColor Colour(int row) const {
    return form->DinfoStr[static_cast<std::size_t>(row)]->palette().color(QPalette::WindowText);
  }
  int BarAt(int row) const { return form->ProgressBar[static_cast<std::size_t>(row)]->value(); }
  void Counters(int total, int success, int fail) {
    QCOMPARE(form->TotalCount, total);
    QCOMPARE(form->SuccessCount, success);
    QCOMPARE(form->FailCount, fail);
    QCOMPARE(form->TotalStr->text(), QString::number(total));
    QCOMPARE(form->SuccessStr->text(), QString::number(success));
    QCOMPARE(form->FailStr->text(), QString::number(fail));
  }
  static std::vector<std::string> Lines(std::initializer_list<const char*> l) { return {l.begin(), l.end()}; }

 private slots:
  void init() {
    station::UiTexts() = station::UiTextTable{};
    folder = std::make_unique<station::test::StandinFolder>();
    pauses = std::make_unique<station::test::RecordedPauses>();
    jobs = station::test::StandinJobs(*pauses);
    form = std::make_unique<TForm1>();
    form->show();
  }

  void cleanup() {
    QVERIFY(station::WaitForJobsToEnd(30000));
    form.reset();
    pauses.reset();
    folder.reset();
    station::UiTexts() = station::UiTextTable{};
  }

  void setUpFailingMakesNoPollAndCountsAFailure() {
    folder->Script("E", {"1 300"});
    form->ProgressBar[0]->setValue(37);
    SetTextColour(form->DinfoStr[0], kBlue);
    Job(0, 'E', 247, 247, 255, 255);
    // While the set-up run is under way the row reads "Checking..." in the window-text colour.
    QTRY_COMPARE(Text(0), QStringLiteral("Checking..."));
    QCOMPARE(Colour(0), WindowTextColour());
    QCOMPARE(BarAt(0), 0);
    QVERIFY(station::WaitForJobsToEnd(30000));
    QCOMPARE(Text(0), QStringLiteral("Checking...fail"));
    QCOMPARE(Colour(0), QColor(255, 0, 0));
    QCOMPARE(BarAt(0), 0);
    Counters(1, 0, 1);
    QCOMPARE(folder->CommandLines("E"), Lines({"E: bchks 247 247 255 255"}));
  }

  void firstPollFinishedPasses() {
    folder->Script("F", {"0", "0"});
    Job(2, 'F');
    QVERIFY(station::WaitForJobsToEnd(30000));
    QCOMPARE(Text(2), QStringLiteral("successful"));
    QCOMPARE(Colour(2), QColor(0, 0, 255));
    QCOMPARE(BarAt(2), 100);
    Counters(1, 1, 0);
    QCOMPARE(folder->CommandLines("F"), Lines({"F: bchks 1 2 3 4", "F: bchkp"}));
  }

  void cancelWhileWaitingEndsAtTheNextAnswerOf2() {
    // The texts come from the UI text table as loaded.
    station::UiTexts().CancelStr = "Abbruch";
    folder->Script("G", {"0", "2"});
    pauses->CancelAt(station::kPollPauseMs, 2, &form->CancelRequest[1]);
    Job(1, 'G');
    QVERIFY(station::WaitForJobsToEnd(30000));
    QCOMPARE(Text(1), QStringLiteral("Checking...Abbruch"));
    QCOMPARE(Colour(1), QColor(255, 0, 0));
    QCOMPARE(BarAt(1), 12);  // the step of the answer that found the flag
    Counters(1, 0, 1);
    QCOMPARE(folder->CommandLines("G").size(), 4u);
  }

  void cancelThenFinishedPasses() {
    folder->Script("H", {"0", "2", "0"});
    pauses->CancelAt(station::kPollPauseMs, 1, &form->CancelRequest[3]);
    Job(3, 'H');
    QVERIFY(station::WaitForJobsToEnd(30000));
    QCOMPARE(form->CancelRequest[3].load(), 1);
    QCOMPARE(Text(3), QStringLiteral("successful"));
    QCOMPARE(Colour(3), QColor(0, 0, 255));
    QCOMPARE(BarAt(3), 100);
    Counters(1, 1, 0);
  }

  void failedWaitWithoutCancelShowsTheFailText() {
    station::UiTexts().FailMsg = "KO";
    folder->Script("J", {"0", "2", "2", "signal 9"});
    Job(4, 'J');
    QVERIFY(station::WaitForJobsToEnd(30000));
    QCOMPARE(Text(4), QStringLiteral("Checking...KO"));
    QCOMPARE(Colour(4), QColor(255, 0, 0));
    QCOMPARE(BarAt(4), 8);
    Counters(1, 0, 1);
  }

  void tenJobsOfWhichThreePass() {
    folder->Script("A", {"0", "2 30", "0"});
    folder->Script("B", {"1"});
    folder->Script("C", {"0 50", "1"});
    folder->Script("D", {"0 80", "0"});
    folder->Script("E", {"0", "signal 9"});
    folder->Script("F", {"0", "2"});  // cancelled before it began
    folder->Script("G", {"3 20"});
    folder->Script("H", {"0", "2", "5"});
    folder->Script("I", {"0", "0 40"});
    folder->Script("K", {"0", "1"});
    form->CancelRequest[5] = 1;
    for (int row = 0; row < 8; ++row) Job(row, static_cast<char>('A' + row));
    QVERIFY(station::WaitForJobsToEnd(30000));
    Job(0, 'I');
    Job(1, 'K');
    QVERIFY(station::WaitForJobsToEnd(30000));
    Counters(10, 3, 7);
    QCOMPARE(Text(5), QStringLiteral("Checking...Cancel"));
  }

  void eightJobsAtOnceEachWithItsOwnRuns() {
    for (int row = 0; row < 8; ++row) {
      folder->Script(std::string(1, static_cast<char>('A' + row)), {"0 200", "2 20", "2", "0"});
    }
    for (int row = 0; row < 8; ++row) Job(row, static_cast<char>('A' + row), row, 10 + row, -row, 255);
    QCOMPARE(ProductThread::LiveJobs(), 8);
    QVERIFY(station::WaitForJobsToEnd(30000));
    for (int row = 0; row < 8; ++row) {
      const std::string d(1, static_cast<char>('A' + row));
      std::vector<std::string> expected{d + ": bchks " + std::to_string(row) + " " + std::to_string(10 + row) + " " +
                                        std::to_string(-row) + " 255"};
      for (const auto& l : Repeat(d + ": bchkp", 3)) expected.push_back(l);
      QCOMPARE(folder->CommandLines(d), expected);
      QCOMPARE(Text(row), QStringLiteral("successful"));
      QCOMPARE(BarAt(row), 100);
    }
    Counters(8, 8, 0);
  }

  void releasedRowIsNoLongerWrittenButTheJobIsCounted() {
    folder->Script("L", {"0 100", "2", "1"});
    folder->Script("M", {"0 300", "0"});
    Job(6, 'L');
    form->ReleaseRowFromJobs(6);
    form->DinfoStr[6]->setText(QStringLiteral("Waiting device..."));
    form->ProgressBar[6]->setValue(0);
    Job(6, 'M');  // the next drive in the same row
    QVERIFY(station::WaitForJobsToEnd(30000));
    QCOMPARE(Text(6), QStringLiteral("successful"));
    QCOMPARE(BarAt(6), 100);
    Counters(2, 1, 1);
  }

  void closedHandOversStopTheJobsWithoutTouchingTheWindow() {
    folder->Script("N", {"0", "2"});
    Job(7, 'N');
    QTRY_VERIFY(BarAt(7) >= 8);
    jobs.handOver.Close();
    QVERIFY(station::WaitForJobsToEnd(10000));
    QCOMPARE(Text(7), QStringLiteral("Checking..."));
    Counters(0, 0, 0);
  }
};

}  // namespace station::test

QTEST_MAIN(station::test::ProductThreadTest)
#include "jobs_in_rows_test.moc"
