#include "product_thread.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <utility>

#include "config/ui_text_table.hpp"
#include "command_tool_launcher.hpp"
#include "window_handover.hpp"

namespace {

std::atomic<int> g_liveJobs{0};
std::atomic<long long> g_jobsStarted{0};
std::atomic<int> g_failThreadCreations{0};

enum TextKind { kChecking = 0, kFailed = 1, kCancelled = 2, kPassedText = 3 };

}  // namespace

ProductThread::ProductThread(char drive, std::unique_ptr<station::JobRow> row,
                             std::atomic<std::int32_t>* cancelRequest, std::int32_t timing1,
                             std::int32_t timing2, std::int32_t timing3, std::int32_t timing4)
    : QThread(nullptr),
      station::TimingSet{timing1, timing2, timing3, timing4},
      Drive(1, drive),
      Row(std::move(row)),
      CancelRequest(cancelRequest),
      Passed(0) {
  g_liveJobs.fetch_add(1);
  connect(this, &QThread::finished, this, &QObject::deleteLater);  // free on terminate
  if (g_failThreadCreations.load() > 0) {
    g_failThreadCreations.fetch_sub(1);
  } else {
    start(QThread::NormalPriority);
  }
  started_ = isRunning() || isFinished();
  if (started_) {
    g_jobsStarted.fetch_add(1);
  } else {
    // No thread could be created: there is no job. The caller frees the row
    // and reports it; the object goes when the window thread's events run.
    deleteLater();
  }
}

ProductThread::~ProductThread() {
  // Pairs with the store at the end of run(): everything the job did comes
  // before its object goes.
  (void)runEnded_.load(std::memory_order_acquire);
  g_liveJobs.fetch_sub(1);
}

int ProductThread::LiveJobs() { return g_liveJobs.load(); }

long long ProductThread::JobsStarted() { return g_jobsStarted.load(); }

bool ProductThread::StopRequested() const {
  // Once the window has closed its hand-overs the job stops as if cancelled,
  // without reading the flag of a window that may be on its way out.
  if (station::WindowHandOversClosed()) return true;
  return CancelRequest != nullptr && CancelRequest->load() != 0;
}

void ProductThread::SetBar(int position) {
  station::RunOnWindowThread([this, position] {
    if (Row != nullptr) Row->SetBarPosition(position);
  });
}

void ProductThread::ShowText(int kind) {
  station::RunOnWindowThread([this, kind] {
    if (Row == nullptr) return;
    // The texts are read here, on the window thread, where they are loaded.
    const station::UiTextTable& texts = station::UiTexts();
    const std::string checking = "Checking...";
    switch (kind) {
      case kChecking:
        Row->SetText(checking, station::RowColour::WindowText);
        break;
      case kFailed:
        Row->SetText(checking + texts.FailMsg, station::RowColour::Failure);
        break;
      case kCancelled:
        Row->SetText(checking + texts.CancelStr, station::RowColour::Failure);
        break;
      default:
        Row->SetText(texts.SuccessMsg, station::RowColour::Pass);
        break;
    }
  });
}

void ProductThread::Count() {
  station::RunOnWindowThread([this] {
    if (Row != nullptr) Row->RecordVerdict(Passed);
  });
}

void ProductThread::run() {
  SetBar(0);
  ShowText(kChecking);
  if (!station::StartBlankCheck(Drive, Timing1, Timing2, Timing3, Timing4)) {
    ShowText(kFailed);
  } else if (station::WaitBlankCheck(
                 Drive, [this] { return StopRequested(); }, [this](int position) { SetBar(position); })) {
    Passed = 1;
  } else {
    const bool cancelled = !station::WindowHandOversClosed() && CancelRequest != nullptr && CancelRequest->load() != 0;
    ShowText(cancelled ? kCancelled : kFailed);
  }
  if (Passed == 1) {
    ShowText(kPassedText);
    SetBar(100);
  }
  Count();
  runEnded_.store(true, std::memory_order_release);
}

namespace station {

bool WaitForJobsToEnd(int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (ProductThread::LiveJobs() > 0) {
    if (clock.elapsed() >= timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(2);
  }
  return true;
}

void FailJobThreadCreationForTesting(int count) { g_failThreadCreations.store(count); }

}  // namespace station
