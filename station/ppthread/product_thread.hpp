// ProductThread: the blank-check job of one device in its row.
//
// The job starts the device's own blank check under its NAND timing set,
// polls until the device has finished while it steps the row's bar, writes
// the verdict into the row (success text in blue, failure or cancel text in
// red) and has it counted by Form1->RecordJobResult. Every change of the row
// and the count are carried out on the window thread while the job waits
// (window_handover.hpp); the job itself reads nothing of the window but the
// row's cancel flag. The thread runs at normal priority and deletes itself
// when its job has ended; nobody keeps a pointer to it.
//
// For the window:
//  - ReleaseRowFromJobs(row's info text), on the window thread, takes the
//    row away from every job that was started for it before: such a job
//    still runs and still counts its verdict, but no longer writes into the
//    row's text, colour or bar. Call it when a row is freed (and so before
//    the row's next job is created), if a job must not write into a row
//    another drive has taken. The old job still reads the row's cancel flag
//    until it ends; a removed device makes its next tool run fail at once.
//  - Closing while jobs run: CloseWindowHandOvers() (window_handover.hpp),
//    then WaitForJobsToEnd() before the window and its cancel flags are
//    destroyed. After the close a job touches no control and counts nothing;
//    it stops at its next answer of "still checking" as if cancelled, so the
//    wait lasts at most one tool run and one pause between polls. If the
//    wait runs out, end the process without destroying the window.
#pragma once

#include <QThread>

#include <atomic>
#include <cstdint>
#include <string>

class QLabel;
class QProgressBar;

class ProductThread : public QThread {
 public:
  // Stores the fields and starts the job at once, after every field is set.
  // Called on the window thread. If the thread cannot be created there is
  // no job: Started() is false, nothing is written into the row and nothing
  // is counted; the object deletes itself once the window thread's events
  // run again, and the caller frees the row and reports the failure.
  ProductThread(char drive, QLabel* infoText, QProgressBar* bar, std::atomic<std::int32_t>* cancelRequest,
                std::int32_t timing1, std::int32_t timing2, std::int32_t timing3, std::int32_t timing4);
  ~ProductThread() override;

  ProductThread(const ProductThread&) = delete;
  ProductThread& operator=(const ProductThread&) = delete;

  // The fields, in this order. They belong to the job while it runs.
  std::string Drive;  // the drive letter as a one-character string
  QLabel* InfoText;
  QProgressBar* Bar;
  std::atomic<std::int32_t>* CancelRequest;
  std::int32_t Timing1;
  std::int32_t Timing2;
  std::int32_t Timing3;
  std::int32_t Timing4;
  std::int32_t Passed = 0;  // 1 once the device has passed

  // Job objects not yet deleted (created and not yet ended and freed).
  static int LiveJobs();
  // Jobs whose thread was started since the program began.
  static long long JobsStarted();

  // False when the platform could not create the job's thread. Ask it on the
  // window thread right after construction, before events run again.
  bool Started() const { return started_; }

 protected:
  void run() override;

 private:
  void SetBar(int position);
  // kind: 0 neutral "Checking...", 1 "Checking..."+FailMsg, 2 "Checking..."+CancelStr, 3 SuccessMsg
  void ShowText(int kind);
  void Count();
  bool StopRequested() const;

  unsigned long long rowToken_ = 0;  // the row's token when the job was created
  std::atomic<bool> runEnded_{false};
  bool started_ = false;
};

namespace station {

// Window thread: jobs created for this row before the call no longer write
// into it (see above).
void ReleaseRowFromJobs(QLabel* infoText);

// Window thread: processes events until every job object has ended and been
// deleted, or `timeoutMs` has passed. True when none is left.
bool WaitForJobsToEnd(int timeoutMs);

// Tests: the next `count` job threads fail to be created, as when the
// platform has no resources left.
void FailJobThreadCreationForTesting(int count);

}  // namespace station
