// ProductThread: the blank-check job of one device in its row.
//
// The job starts the device's own blank check under its NAND timing set,
// polls until the device has finished while it steps the row's bar, writes
// the verdict into the row (success text in blue, failure or cancel text in
// red) and has it counted. It reaches its row only through the JobRow the
// window handed it (job_row.hpp); every change of the row and the count are
// carried out on the window thread while the job waits (window_handover.hpp).
// The job itself reads nothing of the window but the row's cancel flag. The
// thread runs at normal priority and deletes itself (and its JobRow, on the
// window thread) when its job has ended; nobody keeps a pointer to it.
//
// For the window:
//  - Whether a job may still write into a row is its JobRow's to decide: the
//    window's stops writing once the row has been taken for another drive,
//    and still counts the verdict.
//  - Closing while jobs run: close the jobs' hand-over (window_handover.hpp),
//    then WaitForJobsToEnd() before the window and its cancel flags are
//    destroyed. After the close a job touches no control and counts nothing;
//    it stops at its next answer of "still checking" as if cancelled, so the
//    wait lasts at most one tool run and one pause between polls. If the
//    wait runs out, end the process without destroying the window.
#pragma once

#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/timing_set.hpp"
#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/job_row.hpp"
#include "ppthread/window_handover.hpp"

namespace station {

// What a job uses besides its row. The defaults are the station's own.
struct JobServices {
  ToolRuns tools;                                       // how the tool is started and the pauses are made
  WindowHandOver handOver = WindowHandOver::Station();  // the way to the window thread
  // Starts the job's thread; unset: at normal priority. A thread it leaves
  // unstarted counts as one the platform could not create.
  std::function<void(QThread&)> startThread;
};

}  // namespace station

// The job's timing set, Timing1 ... Timing4, is its TimingSet part.
class ProductThread : public QThread, public station::TimingSet {
 public:
  // Stores the fields and starts the job at once, after every field is set.
  // Called on the window thread. If the thread cannot be created there is
  // no job: Started() is false, nothing is written into the row and nothing
  // is counted; the object deletes itself once the window thread's events
  // run again, and the caller frees the row and reports the failure.
  // `services`: what the job uses besides its row.
  ProductThread(char drive, std::unique_ptr<station::JobRow> row, std::atomic<std::int32_t>* cancelRequest,
                std::int32_t timing1, std::int32_t timing2, std::int32_t timing3, std::int32_t timing4,
                station::JobServices services = {});
  ~ProductThread() override;

  ProductThread(const ProductThread&) = delete;
  ProductThread& operator=(const ProductThread&) = delete;

  // The fields besides Timing1 ... Timing4. They belong to the job while it runs.
  std::string Drive;                     // the drive letter as a one-character string
  std::unique_ptr<station::JobRow> Row;  // the row's text, colour and bar, and the count
  std::atomic<std::int32_t>* CancelRequest;
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
  // What the row shows: "Checking..." in the window-text colour; the same
  // followed by FailMsg or CancelStr in the failure colour; SuccessMsg in
  // the pass colour.
  enum class RowText { Checking, Failed, Cancelled, Passed };

  void SetBar(int position);
  void ShowText(RowText text);
  void Count();
  bool StopRequested() const;

  const station::JobServices services_;
  std::atomic<bool> runEnded_{false};
  bool started_ = false;
};

namespace station {

// Window thread: processes events until every job object has ended and been
// deleted, or `timeoutMs` has passed. True when none is left.
bool WaitForJobsToEnd(int timeoutMs);

}  // namespace station
