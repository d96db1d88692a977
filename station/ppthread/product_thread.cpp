#include "product_thread.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QVariant>

#include "command_tool_launcher.hpp"
#include "config/ui_text_table.hpp"
#include "main/form1.hpp"
#include "window_handover.hpp"

namespace {

// The row's token, kept on its info text and touched on the window thread
// only. A job writes into its row only while the token is the one it saw
// when it was created.
constexpr char kRowTokenProperty[] = "station_job_row_token";

unsigned long long RowToken(const QLabel* infoText) {
  return infoText == nullptr ? 0 : infoText->property(kRowTokenProperty).toULongLong();
}

std::atomic<int> g_liveJobs{0};
std::atomic<long long> g_jobsStarted{0};
std::atomic<int> g_failThreadCreations{0};

enum TextKind { kChecking = 0, kFailed = 1, kCancelled = 2, kPassedText = 3 };

}  // namespace

ProductThread::ProductThread(char drive, QLabel* infoText, QProgressBar* bar,
                             std::atomic<std::int32_t>* cancelRequest, std::int32_t timing1,
                             std::int32_t timing2, std::int32_t timing3, std::int32_t timing4)
    : QThread(nullptr),
      Drive(1, drive),
      InfoText(infoText),
      Bar(bar),
      CancelRequest(cancelRequest),
      Timing1(timing1),
      Timing2(timing2),
      Timing3(timing3),
      Timing4(timing4),
      Passed(0) {
  g_liveJobs.fetch_add(1);
  station::RunOnWindowThread([this] { rowToken_ = RowToken(InfoText); });
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
    if (Bar == nullptr || RowToken(InfoText) != rowToken_) return;
    Bar->setValue(position);
  });
}

void ProductThread::ShowText(int kind) {
  station::RunOnWindowThread([this, kind] {
    if (InfoText == nullptr || RowToken(InfoText) != rowToken_) return;
    const station::UiTextTable& texts = station::UiTexts();
    const QString checking = QStringLiteral("Checking...");
    switch (kind) {
      case kChecking:
        InfoText->setText(checking);
        SetTextColour(InfoText, WindowTextColour());
        break;
      case kFailed:
        InfoText->setText(checking + UiText(texts.FailMsg));
        SetTextColour(InfoText, kRed);
        break;
      case kCancelled:
        InfoText->setText(checking + UiText(texts.CancelStr));
        SetTextColour(InfoText, kRed);
        break;
      default:
        InfoText->setText(UiText(texts.SuccessMsg));
        SetTextColour(InfoText, kBlue);
        break;
    }
  });
}

void ProductThread::Count() {
  station::RunOnWindowThread([this] {
    if (Form1 != nullptr) Form1->RecordJobResult(Passed);
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

void ReleaseRowFromJobs(QLabel* infoText) {
  if (infoText == nullptr) return;
  infoText->setProperty(kRowTokenProperty, QVariant::fromValue(RowToken(infoText) + 1));
}

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
