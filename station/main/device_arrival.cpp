// Device arrival and removal: what the window does with a WM_DEVICECHANGE
// message, and where those messages come from.
#include "main/device_arrival.hpp"

#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <exception>
#include <new>

#include "config/strict_integer.hpp"
#include "config/ui_text_table.hpp"
#include "main/exception_report.hpp"
#include "main/form1.hpp"
#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/product_thread.hpp"

void TForm1::WMDeviceChange(TMessage& message) {
  const bool arrival = message.WParam == DBT_DEVICEARRIVAL;
  const bool removal = message.WParam == DBT_DEVICEREMOVECOMPLETE;
  // Before the window is first shown there are no rows to give or free;
  // after it has been closed the program is ending and takes no more drives
  // (a change that waited behind a message box would open another one).
  if ((arrival || removal) && message.DeviceType == DBT_DEVTYP_VOLUME && shown_ && !closed_) {
    for (int bit = 0; bit < 26; ++bit) {  // bits 26..31 name no drive
      if ((message.UnitMask & (1U << bit)) == 0) continue;
      const char letter = static_cast<char>('A' + bit);
      if (arrival) {
        if (!DriveArrival(letter)) break;
      } else {
        DriveRemoval(letter);
      }
    }
  }
  DefaultHandler(message);
}

bool TForm1::LetterPresent(char letter) const { return RowOfLetter(letter) < SlotTable.size(); }

std::size_t TForm1::LowestFreeRow() const {
  std::size_t n = 0;
  while (n < SlotTable.size() && SlotTable[n].Letter != 0) ++n;
  return n;
}

std::size_t TForm1::RowOfLetter(char letter) const {
  std::size_t n = 0;
  while (n < SlotTable.size() && SlotTable[n].Letter != letter) ++n;
  return n;
}

void TForm1::ClearLetter(char letter) {
  for (DeviceSlot& slot : SlotTable) {
    if (slot.Letter == letter) slot.Letter = 0;
  }
}

void TForm1::GiveBackRow(std::size_t n) {
  DeviceSlot& slot = SlotTable[n];
  slot.Letter = 0;
  slot.Bar->hide();
  slot.CancelButton->hide();
}

bool TForm1::DriveArrival(char letter) {
  // 1. A drive that holds a row is never probed or started again.
  if (LetterPresent(letter)) return true;
  // 2. Is it a supported device? (The window waits for the tool.)
  if (!station::ProbeDrive(std::string(1, letter), services_.jobs.tools)) return true;
  // 3. and 4. The lowest free row, or the limit.
  const std::size_t n = LowestFreeRow();
  const station::UiTextTable& texts = station::UiTexts();
  if (n >= SlotTable.size()) {
    QMessageBox box(QMessageBox::NoIcon, UiText(texts.StatusMsg), UiText(texts.ExceedLimitMsg), QMessageBox::Ok, this);
    box.exec();
    return true;
  }
  // 5. The row is taken. A job of the row's former drive that still runs
  // goes on and is counted, but never writes into the row again.
  DeviceSlot& slot = SlotTable[n];
  ReleaseRowFromJobs(n);
  slot.Letter = letter;
  slot.Bar->show();
  slot.CancelButton->show();
  CancelRequest[n].store(0);
  // 6. The timing as the AC Timing controls stand now. A typed value that is
  // not an integer leaves the row free and is reported; the other letters of
  // the message would meet the same value, so they are left alone.
  station::TimingSet timing{};
  try {
    timing = CurrentTimingSet();
  } catch (const std::exception& error) {
    GiveBackRow(n);
    station::ReportException(services_.report, error);
    return false;
  }
  // 7. The job. Without a thread there is no job: the row is freed again and
  // the operator told.
  bool started = false;
  try {
    auto* job = new ProductThread(letter, JobRowFor(n), &CancelRequest[n], timing.Timing1, timing.Timing2,
                                  timing.Timing3, timing.Timing4, services_.jobs);
    started = job->Started();  // the object lives at least until events run again
  } catch (const std::bad_alloc&) {
    started = false;
  }
  if (!started) {
    GiveBackRow(n);
    station::ReportException(services_.report,
                             QStringLiteral("The job for drive %1: could not be started: the system could not "
                                            "create a thread.")
                                 .arg(QLatin1Char(letter)));
    return true;
  }
  // 8. One more row at work; the timing is fixed while any row holds a drive.
  ActiveCount += 1;
  if (ActiveCount == 1) GroupBox2->setEnabled(false);
  return true;
}

void TForm1::DriveRemoval(char letter) {
  if (!LetterPresent(letter)) return;
  const std::size_t n = RowOfLetter(letter);
  DeviceSlot& slot = SlotTable[n];
  slot.InfoText->setText(UiText(station::UiTexts().WaitDeviceMsg));
  SetTextColour(slot.InfoText, WindowTextColour());
  slot.Bar->hide();
  slot.CancelButton->hide();
  slot.Bar->setValue(0);
  // A job still running goes on: its next tool run fails, and its failure
  // shows here and is counted, until the next drive takes the row.
  ClearLetter(letter);
  ActiveCount -= 1;
  if (ActiveCount == 0) GroupBox2->setEnabled(true);
}

namespace station {

common::Result<std::unique_ptr<DeviceChangeSource>> StartDeviceChangeMessages(TForm1& form,
                                                                              const std::string& directory) {
  TForm1* window = &form;
  auto source = MakeDeviceChangeSource(directory, [window](std::uint32_t event, std::uint32_t unitMask) {
    TMessage message{WM_DEVICECHANGE, event, DBT_DEVTYP_VOLUME, unitMask};
    window->HandleEvent([window, &message] { window->Dispatch(message); });
  });
  if (const common::Result<void> started = source->start(); !started) return common::Failure{started.error()};
  return source;
}

}  // namespace station
