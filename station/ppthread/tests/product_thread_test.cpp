// ProductThread without a window: what a job tells its JobRow, in order, for
// a pass, a failed set-up and a cancel, each call on the window thread, and
// the row given back (deleted) there when the job is gone; and the window
// hand-overs it goes through.
#include "ppthread/product_thread.hpp"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ppthread/tests/test_support.hpp"

namespace station::test {

namespace {

struct Seen {
  std::vector<std::string> calls;
  bool offWindowThread = false;
  bool deletedOnWindowThread = false;
};

class RecordingRow final : public station::JobRow {
 public:
  explicit RecordingRow(Seen& seen) : seen_(seen) {}
  ~RecordingRow() override { seen_.deletedOnWindowThread = OnWindowThread(); }
  void SetText(std::string_view text, station::RowColour colour) override {
    static const char* const kColour[] = {"window-text", "pass", "failure"};
    Note("text " + std::string(text) + " " + kColour[static_cast<int>(colour)]);
  }
  void SetBarPosition(int position) override { Note("bar " + std::to_string(position)); }
  void RecordVerdict(int success) override { Note("count " + std::to_string(success)); }

 private:
  static bool OnWindowThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }
  void Note(std::string call) {
    if (!OnWindowThread()) seen_.offWindowThread = true;
    seen_.calls.push_back(std::move(call));
  }
  Seen& seen_;
};

TEST(ProductThreadRow, CallsInOrderOnTheWindowThread) {
  station::test::StandinFolder folder;
  station::test::RecordedPauses pauses;
  struct Case {
    char drive;
    std::vector<std::string> script;
    int cancelled;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {'E',
       {"0", "2", "0"},
       0,
       {"bar 0", "text Checking... window-text", "bar 0", "bar 4", "text successful pass", "bar 100", "count 1"}},
      {'F', {"1"}, 0, {"bar 0", "text Checking... window-text", "text Checking...fail failure", "count 0"}},
      {'G',
       {"0", "2"},
       1,
       {"bar 0", "text Checking... window-text", "bar 0", "bar 4", "text Checking...Cancel failure", "count 0"}},
  };
  for (const Case& c : cases) {
    folder.Script(std::string(1, c.drive), c.script);
    Seen seen;
    std::atomic<std::int32_t> cancel{c.cancelled};
    auto* job = new ProductThread(c.drive, std::make_unique<RecordingRow>(seen), &cancel, 1, 2, 3, 4,
                                  station::test::StandinJobs(pauses));
    ASSERT_TRUE(job->Started());
    ASSERT_TRUE(station::WaitForJobsToEnd(30000));
    EXPECT_EQ(seen.calls, c.calls);
    EXPECT_FALSE(seen.offWindowThread);
    EXPECT_TRUE(seen.deletedOnWindowThread);
  }
}

// Closing one hand-over releases the work waiting in it unrun and leaves
// every other open.
TEST(WindowHandOver, ClosingOneLeavesOthersOpen) {
  const station::WindowHandOver closed;
  const station::WindowHandOver open;
  std::atomic<int> ran{0};
  std::atomic<int> results{0};  // bit 0: the closed one ran, bit 1: the open one ran
  std::thread waiting([&] {
    if (closed.Run([&] { ran += 1; })) results |= 1;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // posted by now, or refused: either way unrun
  closed.Close();
  waiting.join();
  std::atomic<bool> done{false};
  std::thread other([&] {
    if (open.Run([&] { ran += 10; })) results |= 2;
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  other.join();
  EXPECT_EQ(ran.load(), 10);
  EXPECT_EQ(results.load(), 2);
  EXPECT_TRUE(closed.Closed());
  EXPECT_FALSE(open.Closed());
  EXPECT_FALSE(closed.Run([] {}));  // on the window thread as well
  EXPECT_TRUE(open.Run([] {}));
}

}  // namespace

}  // namespace station::test
