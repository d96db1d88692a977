#include "flashsim/control_server_linux.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <thread>
#include <utility>

#include "common/deadline_io.hpp"
#include "common/device_dir.hpp"
#include "common/signal_pipe.hpp"
#include "common/unix_socket.hpp"
#include "daemon/daemon_log_linux.hpp"
#include "daemon/device_link_linux.hpp"
#include "flashsim/control_commands_linux.hpp"

namespace flashsim {
namespace {

using common::Failure;
using common::Result;
using common::deadline_io::Deadline;
using common::deadline_io::Io;
using common::deadline_io::TimedSocket;

Failure<std::string> errnoFailure(const std::string& what) { return {what + ": " + std::strerror(errno)}; }

// Listens under a temporary name, then renames the socket into place, so
// that the name appears only once connections are accepted. The listening
// socket.
Result<int> listenAt(const std::string& dir, const std::string& name) {
  const std::string path = dir + "/" + name;
  const std::string temp = dir + "/." + name + ".new" + std::to_string(::getpid());
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
    return Failure{path + " exists and is not a socket"};
  }
  ::unlink(temp.c_str());
  const int fd = common::unix_socket::listenAt(temp, 16);
  if (fd < 0) {
    return errno == ENAMETOOLONG ? Failure{"the socket path " + path + " is too long"} : errnoFailure("bind " + temp);
  }
  if (::chmod(temp.c_str(), 0600) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    Failure<std::string> failure = errnoFailure("creating " + path);
    ::unlink(temp.c_str());
    ::close(fd);
    return failure;
  }
  return fd;
}

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    words.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) {
      break;
    }
    start = tab + 1;
  }
  return words;
}

}  // namespace

struct Server::Slot {
  char letter = 0;
  std::shared_ptr<Device> device;
  bool plugged = false;
  int listenFd = -1;
  std::thread acceptThread;

  // Each connection served on a thread of its own; a connection over the
  // bound, or one no thread can start for, is closed at once.
  ConnectionThreads connections{
      kMaxDeviceConnections, [this](ConnectionThreads::Event why, const char* what, std::size_t count) {
        if (why == ConnectionThreads::Event::Full) {
          logLine("device %c: %zu connections are open; refusing another%s", letter, kMaxDeviceConnections,
                  RefusalTally::since(count).c_str());
        } else {
          logLine("device %c: %s", letter, ConnectionThreads::describe(why, what, count).c_str());
        }
      }};

  void admit(int fd) {
    connections.start(fd, [dev = device](int link) { serveDeviceLink(link, *dev); });
  }

  void acceptLoop() {
    while (true) {
      const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
            errno == ENOMEM) {
          if (errno != EINTR && errno != ECONNABORTED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
          continue;
        }
        return;  // shut down by unplug
      }
      admit(fd);
    }
  }
};

// A control connection in progress: its request as it arrives, then its answer as it goes.
struct Server::ControlClient {
  int fd = -1;
  std::string request;
  std::string answer;
  std::size_t sent = 0;
  bool answering = false;
  Deadline deadline = Deadline::after(kControlTimeout);
};

Server::Server(std::string dir) : dir_(std::move(dir)) {}

Server::~Server() { shutdownAll(); }

Result<void> Server::installSignalHandlers() {
  if (common::signal_pipe::readEnd() < 0) {
    return errnoFailure("pipe");
  }
  common::signal_pipe::route({SIGTERM, SIGINT}, false);
  ::signal(SIGPIPE, SIG_IGN);
  return {};
}

Result<void> Server::openControl() {
  const Result<int> fd = listenAt(dir_, kControlName);
  if (!fd) {
    return Failure{fd.error()};
  }
  controlFd_ = *fd;
  ::fcntl(controlFd_, F_SETFL, ::fcntl(controlFd_, F_GETFL) | O_NONBLOCK);
  return {};
}

Result<void> Server::plug(const DeviceArgument& arg) {
  std::lock_guard lock(mutex_);
  auto& slot = slots_[arg.letter];
  if (!slot) {
    slot = std::make_unique<Slot>();
    slot->letter = arg.letter;
  }
  if (slot->plugged) {
    return Failure{std::string("device ") + arg.letter + " is already plugged"};
  }
  std::shared_ptr<Device> device = slot->device;
  if (!arg.bareLetter || !device) {
    if (const Result<void> valid = validateProfile(arg.profile); !valid) {
      return valid;
    }
    device = std::make_shared<Device>(arg.profile);
  }
  const std::string name = common::device_dir::entryNameForLetter(arg.letter);
  const Result<int> fd = listenAt(dir_, name);
  if (!fd) {
    return Failure{fd.error()};
  }
  Slot* s = slot.get();
  std::shared_ptr<Device> previous = std::exchange(s->device, std::move(device));
  s->listenFd = *fd;
  try {
    s->acceptThread = std::thread([s] { s->acceptLoop(); });
  } catch (const std::exception& e) {
    ::unlink((dir_ + "/" + name).c_str());
    ::close(*fd);
    s->listenFd = -1;
    s->device = std::move(previous);
    return Failure{std::string("cannot start a thread for device ") + arg.letter + ": " + e.what()};
  }
  s->plugged = true;
  usbip_.plug(arg.letter, s->device);
  return {};
}

Result<void> Server::unplug(char letter) {
  std::lock_guard lock(mutex_);
  auto it = slots_.find(letter);
  if (it == slots_.end() || !it->second->plugged) {
    return Failure{std::string("device ") + letter + " is not plugged"};
  }
  Slot& s = *it->second;
  usbip_.unplug(letter);
  ::unlink((dir_ + "/" + common::device_dir::entryNameForLetter(letter)).c_str());
  ::shutdown(s.listenFd, SHUT_RDWR);  // wakes the accept loop
  s.acceptThread.join();
  ::close(s.listenFd);
  s.listenFd = -1;
  s.connections.endAll();  // a connection in flight breaks
  s.plugged = false;
  return {};
}

void Server::withdraw(char letter, const std::shared_ptr<Device>& previous) {
  (void)unplug(letter);  // plugged by the attach that failed
  usbip_.withdraw(letter, previous);
  std::lock_guard lock(mutex_);
  slots_[letter]->device = previous;
}

void Server::shutdownAll() {
  std::vector<char> plugged;
  {
    std::lock_guard lock(mutex_);
    for (auto& [letter, slot] : slots_) {
      if (slot->plugged) {
        plugged.push_back(letter);
      }
    }
  }
  for (char letter : plugged) {
    (void)unplug(letter);  // listed as plugged above
  }
  usbip_.stop();
  if (controlFd_ >= 0) {
    ::unlink((dir_ + "/" + kControlName).c_str());
    ::close(controlFd_);
    controlFd_ = -1;
  }
}

void Server::run() {
  std::list<ControlClient> clients;
  std::vector<pollfd> fds;
  while (!stopRequested_) {
    fds.assign({{common::signal_pipe::readEnd(), POLLIN, 0}, {controlFd_, POLLIN, 0}});
    int timeout = -1;
    for (const ControlClient& c : clients) {
      fds.push_back({c.fd, static_cast<short>(c.answering ? POLLOUT : POLLIN), 0});
      const int left = c.deadline.pollTimeout();
      timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) {
        continue;
      }
      logLine("poll: %s", std::strerror(errno));
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      break;  // SIGTERM or SIGINT
    }
    std::size_t i = 2;
    for (auto it = clients.begin(); it != clients.end() && !stopRequested_; ++i) {
      if (serveControlClient(*it, fds[i].revents)) {
        ++it;
      } else {
        ::close(it->fd);
        it = clients.erase(it);
      }
    }
    if ((fds[1].revents & POLLIN) != 0 && !stopRequested_) {
      const int fd = ::accept4(controlFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0 && clients.size() >= kMaxControlConnections) {
        if (const std::size_t count = controlRefusals_.add(); count > 0) {
          logLine("%zu control requests are in progress; refusing another%s", clients.size(),
                  RefusalTally::since(count).c_str());
        }
        ::close(fd);
      } else if (fd >= 0) {
        clients.push_back({});
        clients.back().fd = fd;
      }
    }
  }
  for (const ControlClient& c : clients) {
    ::close(c.fd);
  }
  shutdownAll();
}

// Moves one control connection on as far as it goes without waiting. False
// once it is finished (answered, broken or out of time).
bool Server::serveControlClient(ControlClient& c, short revents) {
  if (!c.answering) {
    bool complete = false;
    bool ended = c.deadline.passed();
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buf[4096];
      const ssize_t n = ::recv(c.fd, buf, std::min(sizeof buf, kMaxControlRequest - c.request.size()), MSG_DONTWAIT);
      if (n > 0) {
        c.request.append(buf, static_cast<std::size_t>(n));
        complete = c.request.find('\n') != std::string::npos;
      }
      ended = ended || n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN) || c.request.size() == kMaxControlRequest;
    }
    if (complete) {
      c.request.resize(c.request.find('\n'));
      const Result<std::string> payload = runControl(splitWords(c.request));
      c.answer = payload ? "ok\n" + *payload : "error: " + payload.error() + "\n";
    } else if (ended) {
      c.answer = std::string("error: ") +
                 (c.request.size() == kMaxControlRequest ? controlRequestTooLong() : "incomplete control request") +
                 "\n";
    } else {
      return true;
    }
    c.answering = true;
    if (stopRequested_) {
      // `stop` answers once every socket is gone.
      shutdownAll();
      common::deadline_io::TimedSocket(c.fd).send(c.answer.data(), c.answer.size(), Deadline::after(kControlTimeout));
      return false;
    }
  }
  const ssize_t n = ::send(c.fd, c.answer.data() + c.sent, c.answer.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n > 0) {
    c.sent += static_cast<std::size_t>(n);
    c.deadline = Deadline::after(kControlTimeout);
  } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
    return false;
  }
  return c.sent < c.answer.size() && !c.deadline.passed();
}

Result<std::shared_ptr<Device>> Server::device(const std::string& word) {
  const char letter = parseLetter(word);
  if (letter == 0) {
    return Failure{"expected a drive letter, got '" + word + "'"};
  }
  std::lock_guard lock(mutex_);
  auto it = slots_.find(letter);
  if (it == slots_.end() || !it->second->device) {
    return Failure{std::string("no device ") + letter};
  }
  return it->second->device;
}

Result<std::string> Server::runControl(const std::vector<std::string>& words) {
  const ControlCommand* command = findControlCommand(words[0]);
  if (command == nullptr) {
    return Failure{"unknown control command '" + words[0] + "'"};
  }
  const std::vector<std::string> arguments(words.begin() + 1, words.end());
  if (arguments.size() < command->minArguments || arguments.size() > command->maxArguments) {
    return Failure{"wrong number of arguments for " + words[0]};
  }
  // What the library throws (no memory for a device or an answer) fails
  // this request only; the daemon serves on.
  try {
    return command->run(*this, arguments);
  } catch (const std::exception& e) {
    return Failure{std::string(e.what())};
  }
}

}  // namespace flashsim
