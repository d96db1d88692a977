#include "connection_threads_linux.hpp"

#include <unistd.h>

namespace flashsim {

std::string ConnectionThreads::describe(Event why, const char* what) {
  switch (why) {
    case Event::NoMemory:
      return std::string("cannot take a connection (") + what + "); refusing it";
    case Event::NoThread:
      return std::string("cannot start a thread for a connection (") + what + "); refusing it";
    case Event::Failed:
      return std::string(what) + "; closing a connection";
    case Event::Full:
      break;
  }
  return "too many connections; refusing one";
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
  report_(why, what);
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
