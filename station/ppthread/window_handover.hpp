// Handing work from a job thread to the window thread and waiting for it.
//
// The window thread is the application's main thread: every control, the
// row state and the counters are touched only there. A job thread hands each
// change over with a WindowHandOver's Run() and blocks until the window
// thread has carried it out. Called on the window thread itself the work
// runs at once, so a caller there cannot deadlock on itself.
//
// The hand-over is a mailbox guarded by a std::mutex, woken by an event
// posted to a QObject on the window thread; the job waits on a condition
// variable. (The waiting and the data both go through the C++ library's
// synchronisation, so the thread sanitizer sees every hand-over.)
//
// Closing: when the window goes away while jobs run, it closes the
// hand-over its jobs use (the station's, WindowHandOver::Station()) on its
// thread first. Every hand-over through it that is pending is then released
// without running, and every later one returns false at once, so no job
// touches the window again; the jobs themselves stop at their next poll
// answer (see ProductThread) and end.
#pragma once

#include <functional>
#include <memory>

namespace station {

class WindowHandOver {
 public:
  // A hand-over of its own, open until it is closed.
  WindowHandOver();

  // The station's: the one its jobs use unless given another. Closed once,
  // when the window goes.
  static const WindowHandOver& Station();

  // Runs `work` on the window thread and waits until it has run. True when
  // it ran; false (not run) once this hand-over is closed. Without an
  // application object there is no window thread, and `work` runs on the
  // caller's thread.
  bool Run(const std::function<void()>& work) const;

  // Window thread, before the window is destroyed while jobs may run.
  void Close() const;
  bool Closed() const;

  struct Gate;  // whether it is closed (window_handover.cpp)

 private:
  std::shared_ptr<Gate> gate_;
};

}  // namespace station
