// The threads that serve a server's connections, one thread per connected
// socket, at most a fixed number at a time. A connection's socket stays open
// until its thread has ended and been joined, so its descriptor number names
// that connection for as long as the thread runs.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace flashsim {

// Refused connections, reported at most once a second: a refusal within a
// second of the last report is only counted, and the next report says how
// many there were.
class RefusalTally {
 public:
  // Counts one refusal. Returns how many the report due now stands for (this
  // one and those held back since the last), or 0 when none is due.
  std::size_t add();
  // The words a report adds for `count` refusals: " (N refused since the
  // last line)", or nothing for one.
  static std::string since(std::size_t count);

 private:
  std::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> lastReport_;
  std::size_t held_ = 0;
};

class ConnectionThreads {
 public:
  // What the owner is told, to put in its own words: a connection refused
  // because `limit` are open (Full), because no memory (NoMemory) or no
  // thread (NoThread) could be had for it; or one whose serving ended on an
  // exception (Failed). `what` is the exception's text, "" for Full.
  // Refusals come at most once a second (RefusalTally), `count` telling how
  // many the report stands for; 1 for Failed.
  enum class Event { Full, NoMemory, NoThread, Failed };
  using Report = std::function<void(Event, const char* what, std::size_t count)>;

  // The words for a report ("cannot take a connection (what); refusing
  // it", ...), for the owner to put behind a prefix of its own.
  static std::string describe(Event why, const char* what, std::size_t count);

  ConnectionThreads(std::size_t limit, Report report) : limit_(limit), report_(std::move(report)) {}
  ~ConnectionThreads() { endAll(); }
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  // Takes the connected socket `fd` and runs `serve(fd)` on a thread of its
  // own; when serve returns or throws, only this socket is shut down. First
  // joins the connections that have ended. Refuses the connection (closes
  // `fd`, reports why) when `limit` are open or no thread starts; false then.
  template <class Serve>
  bool start(int fd, Serve serve);

  // The connections open now, the ended ones joined first.
  std::size_t count();

  // Shuts down every connection's socket, then joins their threads and
  // closes the sockets.
  void endAll();

 private:
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  Connection* add(int fd);  // with mutex_ held; nullptr when refused
  void refuse(Event why, const char* what, int fd);
  void reapFinished();  // with mutex_ held

  const std::size_t limit_;
  const Report report_;
  RefusalTally refusals_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
};

template <class Serve>
bool ConnectionThreads::start(int fd, Serve serve) {
  std::lock_guard lock(mutex_);
  Connection* c = add(fd);
  if (c == nullptr) {
    return false;
  }
  try {
    c->thread = std::thread([this, c, serve = std::move(serve)]() mutable {
      try {
        serve(c->fd);
      } catch (const std::exception& e) {
        report_(Event::Failed, e.what(), 1);
      }
      ::shutdown(c->fd, SHUT_RDWR);
      c->done = true;
    });
  } catch (const std::exception& e) {
    connections_.pop_back();
    refuse(Event::NoThread, e.what(), fd);
    return false;
  }
  return true;
}

}  // namespace flashsim
