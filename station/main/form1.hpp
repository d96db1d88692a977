// TForm1, the station window: eight device rows, the AC Timing group, the
// Log counters, and the state the rest of the station works on.
#pragma once

#include <QColor>
#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "config/nand_timing_table.hpp"
#include "config/ui_text_table.hpp"
#include "devicewatch/device_change_source.hpp"
#include "main/exception_report.hpp"
#include "ppthread/job_row.hpp"
#include "ppthread/product_thread.hpp"

class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStyle;
class QTabWidget;

// A device-change message as the window receives it (the Windows message
// and its DEV_BROADCAST_VOLUME, flattened). The two events are the ones the
// device-change source reports.
inline constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr std::uint32_t DBT_DEVICEARRIVAL = station::kDeviceArrival;
inline constexpr std::uint32_t DBT_DEVICEREMOVECOMPLETE = station::kDeviceRemoveComplete;
inline constexpr std::uint32_t DBT_DEVTYP_VOLUME = 2;

struct TMessage {
  std::uint32_t Msg = 0;
  std::uint32_t WParam = 0;      // the event
  std::uint32_t DeviceType = 0;  // dbch_devicetype
  std::uint32_t UnitMask = 0;    // dbcv_unitmask: bit i = drive 'A' + i
};

struct DeviceSlot {
  char Letter = 0;  // 0: the row is free
  QLabel* InfoText = nullptr;
  QProgressBar* Bar = nullptr;
  QPushButton* CancelButton = nullptr;
  // The row's binding to its job: a job writes into the row only while this
  // is the number its JobRow was made with (TForm1::JobRowFor). Taking the
  // row for the next drive counts it up (TForm1::ReleaseRowFromJobs).
  std::uint64_t JobBinding = 0;
};

// The colours of the window's texts.
inline const QColor kBlue{0, 0, 255};  // a pass
inline const QColor kRed{255, 0, 0};   // a failure or a cancel
// The window-text colour of the application's palette.
QColor WindowTextColour();
// Sets the colour a static text draws its text in.
void SetTextColour(QLabel* label, const QColor& colour);
// A UI text (8-bit, the system's code page) as the window shows it.
QString UiText(std::string_view bytes);

namespace station {

// What the window uses outside itself. The defaults are the station's own.
struct WindowServices {
  JobServices jobs;        // the probe's tool runs, and what every job is given
  ExceptionReport report;  // exceptions of its handlers; unset: the message box
  // The system's language, which picks the section of "lang.ini".
  std::function<std::uint16_t()> systemLanguage = SystemDefaultLangID;
};

}  // namespace station

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // Builds the window and its controls and makes it the single instance Form1;
  // `services`: what the window uses outside itself.
  explicit TForm1(QWidget* owner = nullptr, station::WindowServices services = {});
  ~TForm1() override;

  // Controls, named as on the form (each also carries its name as objectName).
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet4 = nullptr;
  QGroupBox* GroupBox2 = nullptr;  // AC Timing
  QRadioButton* SelectRBtn = nullptr;
  QComboBox* VendorComBox = nullptr;
  QComboBox* TypeComBox = nullptr;
  QRadioButton* CustomRBtn = nullptr;
  std::array<QLineEdit*, 4> TimingEdit{};  // TimingEdit1 ... TimingEdit4
  std::array<QLabel*, 8> RowLabel{};       // StaticText1, StaticText3 ... StaticText9
  std::array<QLabel*, 8> DinfoStr{};       // D1infoStr ... D8infoStr
  std::array<QProgressBar*, 8> ProgressBar{};
  std::array<QPushButton*, 8> CancelBtn{};
  QGroupBox* GroupBox16 = nullptr;  // Log
  QLabel* StaticText10 = nullptr;   // Total:
  QLabel* TotalStr = nullptr;
  QLabel* StaticText11 = nullptr;  // Success:
  QLabel* SuccessStr = nullptr;
  QLabel* StaticText13 = nullptr;  // Fail:
  QLabel* FailStr = nullptr;

  // State, in this order.
  std::int32_t ActiveCount = 0;
  station::NandTimingTable NandTimingTable;
  std::array<std::atomic<std::int32_t>, 8> CancelRequest{};
  std::array<DeviceSlot, 8> SlotTable{};
  std::int32_t TotalCount = 0;
  std::int32_t SuccessCount = 0;
  std::int32_t FailCount = 0;

  // Handlers.
  void FormShow();               // run once, from the first show event
  void CancelBtnClick(int row);  // CancelBtn1Click ... CancelBtn8Click, row 0 ... 7
  // The AC Timing group's (ac_timing_group.cpp).
  void VendorComBoxChange();
  void TypeComBoxChange();
  void TimingEditClick(int field);        // TimingEdit1Click ... TimingEdit4Click, field 0 ... 3
  station::TimingSet CurrentTimingSet();  // throws station::EConvertError

  // Runs on the window thread; a job's last act (success: 0 or 1).
  Q_INVOKABLE void RecordJobResult(int success);

  // Jobs and rows, on the window thread. JobRowFor(n) is what a job started
  // for row n now gets to write into the row and have its verdict counted.
  // ReleaseRowFromJobs(n) takes the row away from every job started for it
  // before: such a job still runs and is still counted, but no longer writes
  // into the row's text, colour or bar. (It still reads the row's cancel flag
  // until it ends; a removed device makes its next tool run fail at once.)
  std::unique_ptr<station::JobRow> JobRowFor(std::size_t row);
  void ReleaseRowFromJobs(std::size_t row);

  // Message dispatch: WM_DEVICECHANGE goes to WMDeviceChange.
  void Dispatch(TMessage& message);
  void WMDeviceChange(TMessage& message);  // device_arrival.cpp

  // Runs an event handler of the window: an exception that leaves it is
  // reported (the services' report) and the window goes on.
  template <class Handler>
  void HandleEvent(Handler&& handler) noexcept {
    station::RunHandler(std::forward<Handler>(handler), services_.report);
  }

  // Sizes a self-sizing static text (the info texts, the counter values) to
  // its text. Happens by itself after a text change while the window is
  // shown; callers that need the new size at once may call it.
  void FitTexts();

 protected:
  void showEvent(QShowEvent* event) override;
  // A close of the window (the operator's or a terminate signal's) ends the
  // program, even from inside a message box's loop.
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildAcTimingGroup();            // ac_timing_group.cpp, as the next two
  void FillVendorList();                // FormShow, step 3
  void SetSelectMode(bool selectMode);  // checks one radio button, unchecks the other
  void BuildRows();
  void BuildLogGroup();
  void DefaultHandler(TMessage& message);  // the inherited dispatch

  // Device arrival and removal (device_arrival.cpp), one drive letter each.
  // DriveArrival is false when the remaining letters of the message are not
  // to be handled (the typed timing could not be read).
  bool DriveArrival(char letter);
  void DriveRemoval(char letter);
  bool LetterPresent(char letter) const;
  std::size_t LowestFreeRow() const;           // 8 when every row holds a drive
  std::size_t RowOfLetter(char letter) const;  // 8 when no row holds it
  void ClearLetter(char letter);
  void GiveBackRow(std::size_t n);  // undoes the taking of row n before its job exists

  const station::WindowServices services_;
  QStyle* groupBoxStyle_ = nullptr;  // owned by the window
  bool shown_ = false;
  bool closed_ = false;  // no device change is taken after the close
};

// The single instance.
extern TForm1* Form1;
