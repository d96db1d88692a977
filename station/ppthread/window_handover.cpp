#include "window_handover.hpp"

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
namespace {

struct HandOver {
  std::function<void()> work;
  std::mutex mutex;
  std::condition_variable doneCv;
  bool done = false;
  bool ran = false;
};

bool OnWindowThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

// Lives on the window thread. Every event it receives drains the queue there.
class Mailbox : public QObject {
 public:
  // False when closed: the work will not run.
  bool Post(const std::shared_ptr<HandOver>& h) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      queue_.push_back(h);
    }
    QCoreApplication::postEvent(this, new QEvent(QEvent::User));
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
        closed = closed_;
      }
      if (!closed) h->work();
      Complete(*h, !closed);
    }
  }

  void Close() {
    std::deque<std::shared_ptr<HandOver>> pending;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      pending.swap(queue_);
    }
    for (const auto& h : pending) Complete(*h, false);
  }

  void Reopen() {
    std::lock_guard lock(mutex_);
    closed_ = false;
  }

  bool Closed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }

  bool event(QEvent* e) override {
    // The event itself is not looked at: whatever arrives on the window
    // thread is a reason to look into the queue (a thread-change event is
    // delivered on the posting thread, hence the check).
    if (OnWindowThread()) Drain();
    return QObject::event(e);
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
  bool closed_ = false;
};

// Created on first use and moved to the window thread; kept for the life of
// the process (jobs may hold on to it until their last hand-over).
Mailbox& TheMailbox() {
  static Mailbox* const box = [] {
    auto* b = new Mailbox;
    if (QCoreApplication* app = QCoreApplication::instance(); app && b->thread() != app->thread()) {
      b->moveToThread(app->thread());
    }
    return b;
  }();
  return *box;
}

}  // namespace

bool RunOnWindowThread(const std::function<void()>& work) {
  if (QCoreApplication::instance() == nullptr || OnWindowThread()) {
    if (QCoreApplication::instance() != nullptr && TheMailbox().Closed()) return false;
    work();
    return true;
  }
  auto h = std::make_shared<HandOver>();
  h->work = work;
  if (!TheMailbox().Post(h)) return false;
  std::unique_lock lock(h->mutex);
  h->doneCv.wait(lock, [&] { return h->done; });
  return h->ran;
}

void CloseWindowHandOvers() { TheMailbox().Close(); }

bool WindowHandOversClosed() { return QCoreApplication::instance() != nullptr && TheMailbox().Closed(); }

void ReopenWindowHandOversForTesting() { TheMailbox().Reopen(); }

}  // namespace station
