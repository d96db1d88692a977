#include "ppthread/product_thread.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <utility>

#include "config/ui_text_table.hpp"

namespace {

std::atomic<int> g_liveJobs{0};
std::atomic<long long> g_jobsStarted{0};

}  // namespace

ProductThread::ProductThread(char drive, std::unique_ptr<station::JobRow> row, std::atomic<std::int32_t>* cancelRequest,
                             std::int32_t timing1, std::int32_t timing2, std::int32_t timing3, std::int32_t timing4,
                             station::JobServices services)
    : QThread(nullptr),
      station::TimingSet{timing1, timing2, timing3, timing4},
      Drive(1, drive),
      Row(std::move(row)),
      CancelRequest(cancelRequest),
      Passed(0),
      services_(std::move(services)) {
  g_liveJobs.fetch_add(1);
  connect(this, &QThread::finished, this, &QObject::deleteLater);  // free on terminate
  if (services_.startThread) {
    services_.startThread(*this);
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
  if (services_.handOver.Closed()) return true;
  return CancelRequest != nullptr && CancelRequest->load() != 0;
}

void ProductThread::SetBar(int position) {
  services_.handOver.Run([this, position] {
    if (Row != nullptr) Row->SetBarPosition(position);
  });
}

void ProductThread::ShowText(RowText text) {
  services_.handOver.Run([this, text] {
    if (Row == nullptr) return;
    // The texts are read here, on the window thread, where they are loaded.
    const station::UiTextTable& texts = station::UiTexts();
    const std::string checking = "Checking...";
    switch (text) {
      case RowText::Checking:
        Row->SetText(checking, station::RowColour::WindowText);
        break;
      case RowText::Failed:
        Row->SetText(checking + texts.FailMsg, station::RowColour::Failure);
        break;
      case RowText::Cancelled:
        Row->SetText(checking + texts.CancelStr, station::RowColour::Failure);
        break;
      case RowText::Passed:
        Row->SetText(texts.SuccessMsg, station::RowColour::Pass);
        break;
    }
  });
}

void ProductThread::Count() {
  services_.handOver.Run([this] {
    if (Row != nullptr) Row->RecordVerdict(Passed);
  });
}

void ProductThread::run() {
  SetBar(0);
  ShowText(RowText::Checking);
  if (!station::StartBlankCheck(Drive, Timing1, Timing2, Timing3, Timing4, services_.tools)) {
    ShowText(RowText::Failed);
  } else if (station::WaitBlankCheck(
                 Drive, [this] { return StopRequested(); }, [this](int position) { SetBar(position); },
                 services_.tools)) {
    Passed = 1;
  } else {
    const bool cancelled = !services_.handOver.Closed() && CancelRequest != nullptr && CancelRequest->load() != 0;
    ShowText(cancelled ? RowText::Cancelled : RowText::Failed);
  }
  if (Passed == 1) {
    ShowText(RowText::Passed);
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

}  // namespace station
