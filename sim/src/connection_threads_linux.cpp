#include "flashsim/connection_threads_linux.hpp"

#include <unistd.h>

#include <utility>

namespace flashsim {

std::size_t RefusalTally::add() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  ++held_;
  if (lastReport_ && now - *lastReport_ < std::chrono::seconds(1)) {
    return 0;
  }
  lastReport_ = now;
  return std::exchange(held_, 0);
}

std::string RefusalTally::since(std::size_t count) {
  return count > 1 ? " (" + std::to_string(count) + " refused since the last line)" : "";
}

std::string ConnectionThreads::describe(Event why, const char* what, std::size_t count) {
  switch (why) {
    case Event::NoMemory:
      return std::string("cannot take a connection (") + what + "); refusing it" + RefusalTally::since(count);
    case Event::NoThread:
      return std::string("cannot start a thread for a connection (") + what + "); refusing it" +
             RefusalTally::since(count);
    case Event::Failed:
      return std::string(what) + "; closing a connection";
    case Event::Full:
      break;
  }
  return "too many connections; refusing one" + RefusalTally::since(count);
}

ConnectionThreads::Connection* ConnectionThreads::add(int fd) {
  reapFinished();
  if (connections_.size() >= limit_) {
    refuse(Event::Full, "", fd);
    return nullptr;
  }
  try {
    connections_.push_back(std::make_unique<Connection>());
  } catch (const std::exception& e) {
    refuse(Event::NoMemory, e.what(), fd);
    return nullptr;
  }
  connections_.back()->fd = fd;
  return connections_.back().get();
}

void ConnectionThreads::refuse(Event why, const char* what, int fd) {
  if (const std::size_t count = refusals_.add(); count > 0) {
    report_(why, what, count);
  }
  ::close(fd);
}

void ConnectionThreads::reapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      ::close((*it)->fd);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

std::size_t ConnectionThreads::count() {
  std::lock_guard lock(mutex_);
  reapFinished();
  return connections_.size();
}

void ConnectionThreads::endAll() {
  std::lock_guard lock(mutex_);
  for (auto& c : connections_) {
    ::shutdown(c->fd, SHUT_RDWR);  // a connection in flight breaks
  }
  for (auto& c : connections_) {
    c->thread.join();
    ::close(c->fd);
  }
  connections_.clear();
}

}  // namespace flashsim
