#include "ppthread/window_handover.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace station {

struct WindowHandOver::Gate {
  bool closed = false;  // guarded by the mailbox's lock
};

namespace {

struct HandOver {
  std::function<void()> work;
  std::shared_ptr<WindowHandOver::Gate> gate;
  std::mutex mutex;
  std::condition_variable doneCv;
  bool done = false;
  bool ran = false;
};

bool OnWindowThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

// The queue of hand-overs of every WindowHandOver, and whether each is
// closed (its gate, read and written only under the queue's lock). Static
// storage, set up before any job thread exists: its lock is never published
// through anything but thread creation.
class Mailbox {
 public:
  // False when the hand-over is closed: the work will not run.
  bool Post(const std::shared_ptr<HandOver>& h) {
    std::lock_guard lock(mutex_);
    if (h->gate->closed) return false;
    queue_.push_back(h);
    return true;
  }

  // Window thread only.
  void Drain() {
    for (;;) {
      std::shared_ptr<HandOver> h;
      bool closed;
      {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return;
        h = std::move(queue_.front());
        queue_.pop_front();
        closed = h->gate->closed;
      }
      if (!closed) h->work();
      Complete(*h, !closed);
    }
  }

  void Close(WindowHandOver::Gate& gate) {
    std::deque<std::shared_ptr<HandOver>> pending;
    {
      std::lock_guard lock(mutex_);
      gate.closed = true;
      for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->get()->gate.get() == &gate) {
          pending.push_back(std::move(*it));
          it = queue_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const auto& h : pending) Complete(*h, false);
  }

  bool Closed(const WindowHandOver::Gate& gate) {
    std::lock_guard lock(mutex_);
    return gate.closed;
  }

 private:
  static void Complete(HandOver& h, bool ran) {
    // Notified under the lock: the waiting job cannot leave (and free the
    // record) before this thread has let go of it.
    std::lock_guard lock(h.mutex);
    h.ran = ran;
    h.done = true;
    h.doneCv.notify_all();
  }

  std::mutex mutex_;
  std::deque<std::shared_ptr<HandOver>> queue_;
};

Mailbox g_mailbox;

// Lives on the window thread and has no state of its own: every event it
// receives there is a reason to look into the mailbox. (The event itself is
// not looked at; a thread-change event is delivered on the thread that
// created the receiver, hence the check.)
class WakeReceiver : public QObject {
 public:
  bool event(QEvent* e) override {
    if (OnWindowThread()) g_mailbox.Drain();
    return QObject::event(e);
  }
};

// Created on first use and moved to the window thread; kept for the life of
// the process (jobs may hold on to it until their last hand-over).
QObject* Receiver() {
  static QObject* const receiver = [] {
    auto* r = new WakeReceiver;
    if (QCoreApplication* app = QCoreApplication::instance(); app && r->thread() != app->thread()) {
      r->moveToThread(app->thread());
    }
    return r;
  }();
  return receiver;
}

}  // namespace

WindowHandOver::WindowHandOver() : gate_(std::make_shared<Gate>()) {}

const WindowHandOver& WindowHandOver::Station() {
  static const WindowHandOver station;
  return station;
}

bool WindowHandOver::Run(const std::function<void()>& work) const {
  if (QCoreApplication::instance() == nullptr || OnWindowThread()) {
    if (QCoreApplication::instance() != nullptr && g_mailbox.Closed(*gate_)) return false;
    work();
    return true;
  }
  auto h = std::make_shared<HandOver>();
  h->work = work;
  h->gate = gate_;
  // The wake-up event is made before the hand-over enters the mailbox: the
  // window thread takes the mailbox's lock before Qt frees the event there,
  // so the event's life is ordered by our own lock, not only by Qt's.
  auto wake = std::make_unique<QEvent>(QEvent::User);
  if (!g_mailbox.Post(h)) return false;
  QCoreApplication::postEvent(Receiver(), wake.release());
  std::unique_lock lock(h->mutex);
  h->doneCv.wait(lock, [&] { return h->done; });
  return h->ran;
}

void WindowHandOver::Close() const { g_mailbox.Close(*gate_); }

bool WindowHandOver::Closed() const { return QCoreApplication::instance() != nullptr && g_mailbox.Closed(*gate_); }

}  // namespace station
