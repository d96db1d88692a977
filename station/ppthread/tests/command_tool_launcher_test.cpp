// The three launchers against the scripted stand-in tool: command lines,
// exit-code rules, the bar's steps, when a cancel is seen, and pauses.
#include "ppthread/command_tool_launcher.hpp"

#include <QCoreApplication>
#include <QProgressBar>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ppthread/tests/test_support.hpp"
#include "ppthread/window_handover.hpp"

namespace station::test {

namespace {
using station::kPollPauseMs;
using station::kRunReadingPauseMs;
using station::ProbeDrive;
using station::StartBlankCheck;
using station::WaitBlankCheck;

// The wait on a row's cancel flag and progress bar, as a job runs it: every
// bar position is set on the window thread while the caller waits (at once
// when called there). A null flag or bar is allowed.
bool WaitBlankCheck(const std::string& drive, std::atomic<std::int32_t>* cancelRequest, QProgressBar* bar,
                    const station::ToolRuns& runs) {
  return WaitBlankCheck(
      drive, [cancelRequest] { return cancelRequest != nullptr && cancelRequest->load() != 0; },
      [bar](int position) {
        if (bar != nullptr) station::WindowHandOver::Station().Run([bar, position] { bar->setValue(position); });
      },
      runs);
}

class LauncherTest : public testing::Test {
 protected:
  // The wait with its bar positions recorded.
  bool Wait(const std::string& drive, std::atomic<std::int32_t>* flag = nullptr) {
    bar.clear();
    return WaitBlankCheck(
        drive, [flag] { return flag != nullptr && flag->load() != 0; }, [this](int p) { bar.push_back(p); }, runs);
  }
  bool Probe(const std::string& drive) { return ProbeDrive(drive, runs); }
  bool Start(const std::string& drive, std::int32_t t1, std::int32_t t2, std::int32_t t3, std::int32_t t4) {
    return StartBlankCheck(drive, t1, t2, t3, t4, runs);
  }

  station::test::StandinFolder folder;
  station::test::RecordedPauses pauses;
  station::ToolRuns runs = station::test::StandinRuns(pauses);
  std::vector<int> bar;
};

TEST_F(LauncherTest, CommandLinesAndExitCodes) {
  folder.Script("E", {"0", "0", "0", "2", "1", "2", "1", "255"});
  EXPECT_TRUE(Probe("E"));
  EXPECT_TRUE(Start("E", 247, -1, 255, 2147483647));
  EXPECT_TRUE(Wait("E"));
  EXPECT_FALSE(Probe("E"));  // 2 means nothing to a probe ...
  EXPECT_FALSE(Probe("E"));
  EXPECT_FALSE(Start("E", 1, 2, 3, 4));  // ... nor to a set-up run
  EXPECT_FALSE(Start("E", 1, 2, 3, 4));
  EXPECT_FALSE(Wait("E"));  // neither 0 nor 2
  EXPECT_EQ(folder.CommandLines("E"),
            (std::vector<std::string>{"E:", "E: bchks 247 -1 255 2147483647", "E: bchkp",
                                      "E:", "E:", "E: bchks 1 2 3 4", "E: bchks 1 2 3 4", "E: bchkp"}));
  EXPECT_EQ(pauses.Count(kPollPauseMs), 0);

  // The drive goes in unchanged; an empty one leaves just the colon.
  folder.Script("", {"0"});
  EXPECT_TRUE(Probe(""));
  EXPECT_EQ(folder.CommandLines().back(), ":");
}

TEST_F(LauncherTest, ProbeAndSetUpAreReadEvery100MsUntilTheRunEnds) {
  folder.Script("F", {"0 250", "3 250"});
  EXPECT_TRUE(Probe("F"));
  EXPECT_FALSE(Start("F", 0, 0, 0, 0));
  EXPECT_GE(pauses.Count(kRunReadingPauseMs), 2);
  for (std::uint32_t ms : pauses.Pauses()) EXPECT_EQ(ms, kRunReadingPauseMs);
}

TEST_F(LauncherTest, FirstPollFinishedGivesTrueWithTheBarAtZero) {
  folder.Script("G", {"0"});
  EXPECT_TRUE(Wait("G"));
  EXPECT_EQ(bar, (std::vector<int>{0}));
  EXPECT_EQ(folder.CommandLines("G").size(), 1u);
  EXPECT_EQ(pauses.Count(kPollPauseMs), 0);
}

TEST_F(LauncherTest, BarStepsByFourModulo100OncePerAnswerOf2WithOnePausePerAnswer) {
  folder.Script("H", Concat(Repeat("2", 26), {"0"}));
  EXPECT_TRUE(Wait("H"));
  std::vector<int> expected{0};
  for (int k = 1; k <= 24; ++k) expected.push_back(4 * k);  // 4 ... 96
  expected.push_back(0);                                    // the 25th answer of 2
  expected.push_back(4);                                    // the 26th
  EXPECT_EQ(bar, expected);
  EXPECT_EQ(folder.CommandLines("H"), Repeat("H: bchkp", 27));
  EXPECT_EQ(pauses.Count(kPollPauseMs), 26);
}

TEST_F(LauncherTest, CancelIsSeenOnlyWhenAPollRunHasAnswered2) {
  std::atomic<std::int32_t> flag{1};
  // Asked before the first run: an answer of 0 still wins ...
  folder.Script("J", {"0"});
  EXPECT_TRUE(Wait("J", &flag));
  // ... an answer of 2 steps the bar and ends the wait at once, without a pause.
  folder.Script("K", {"2", "0"});
  EXPECT_FALSE(Wait("K", &flag));
  EXPECT_EQ(bar, (std::vector<int>{0, 4}));
  EXPECT_EQ(folder.CommandLines("K").size(), 1u);
  EXPECT_EQ(pauses.Count(kPollPauseMs), 0);

  // Asked between two runs: the next run's answer decides.
  flag = 0;
  pauses.CancelAt(kPollPauseMs, 2, &flag);
  folder.Script("L", {"2", "2", "2", "0"});
  EXPECT_FALSE(Wait("L", &flag));
  EXPECT_EQ(bar, (std::vector<int>{0, 4, 8, 12}));
  EXPECT_EQ(folder.CommandLines("L").size(), 3u);
  EXPECT_EQ(pauses.Count(kPollPauseMs), 2);

  // Asked while a run is under way: seen when it has answered 2, ...
  flag = 0;
  pauses.CancelAt(station::kPollRunReadingPauseMs, 1, &flag);
  folder.Script("M", {"2 400", "0"});
  EXPECT_FALSE(Wait("M", &flag));
  EXPECT_EQ(bar, (std::vector<int>{0, 4}));
  EXPECT_EQ(pauses.Count(kPollPauseMs), 2);  // none added

  // ... and without effect when it answers 0.
  flag = 0;
  pauses.CancelAt(station::kPollRunReadingPauseMs, 2, &flag);
  folder.Script("O", {"0 400"});
  EXPECT_TRUE(Wait("O", &flag));
  EXPECT_EQ(bar, (std::vector<int>{0}));
  EXPECT_EQ(flag.load(), 1);
}

TEST_F(LauncherTest, CancelDuringSetUpIsSeenAtTheFirstAnswerOf2) {
  std::atomic<std::int32_t> flag{0};
  pauses.CancelAt(kRunReadingPauseMs, 1, &flag);
  folder.Script("N", {"0 400", "2", "0"});
  EXPECT_TRUE(Start("N", 1, 2, 3, 4));
  EXPECT_EQ(flag.load(), 1);
  EXPECT_FALSE(Wait("N", &flag));
  EXPECT_EQ(bar, (std::vector<int>{0, 4}));
  EXPECT_EQ(folder.CommandLines("N"), (std::vector<std::string>{"N: bchks 1 2 3 4", "N: bchkp"}));
}

TEST_F(LauncherTest, MissingToolFailsAllThreeAtOnce) {
  runs.search = station::ToolSearch{folder.Path(), ""};  // no kestrin there, nothing on PATH
  std::atomic<std::int32_t> flag{0};
  EXPECT_FALSE(Probe("P"));
  EXPECT_FALSE(Start("P", 1, 2, 3, 4));
  EXPECT_FALSE(Wait("P", &flag));
  EXPECT_EQ(bar, (std::vector<int>{0}));
  EXPECT_TRUE(pauses.Pauses().empty());
}

TEST_F(LauncherTest, RunEndedBySignalIsAFailure) {
  folder.Script("Q", {"signal 9", "signal 15 100", "2", "signal 2"});
  EXPECT_FALSE(Probe("Q"));
  EXPECT_FALSE(Start("Q", 1, 2, 3, 4));
  EXPECT_FALSE(Wait("Q"));  // killed by signal 2 is not "still checking"
  EXPECT_EQ(bar, (std::vector<int>{0, 4}));
  EXPECT_EQ(folder.CommandLines("Q").size(), 4u);
}

TEST_F(LauncherTest, BarChangesAreMadeOnTheWindowThread) {
  folder.Script("R", {"2", "2", "0"});
  QProgressBar progress;
  progress.setRange(0, 100);
  std::vector<int> seen;
  QObject::connect(&progress, &QProgressBar::valueChanged, [&](int v) {
    EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
    seen.push_back(v);
  });
  std::atomic<bool> done{false};
  bool result = false;
  std::thread job([&] {
    result = WaitBlankCheck("R", nullptr, &progress, runs);
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  job.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(seen, (std::vector<int>{0, 4, 8}));

  // Called on the window thread itself the changes are made directly.
  seen.clear();
  folder.Script("S", {"2", "0"});
  EXPECT_TRUE(WaitBlankCheck("S", nullptr, &progress, runs));
  EXPECT_EQ(seen, (std::vector<int>{0, 4}));
}

}  // namespace

}  // namespace station::test
