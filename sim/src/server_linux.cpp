#include "server_linux.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <sstream>
#include <thread>

#include "common/device_dir.hpp"
#include "common/sim_wire.hpp"

namespace flashsim {
namespace {

int gSignalPipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char b = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &b, 1);
  errno = saved;
}

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool fillAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Binds and listens under a temporary name, then renames the socket into
// place, so that the name appears only once connections are accepted.
int listenAt(const std::string& dir, const std::string& name, std::string& error) {
  const std::string path = dir + "/" + name;
  const std::string temp = dir + "/." + name + ".new" + std::to_string(::getpid());
  sockaddr_un addr{};
  if (!fillAddress(temp, addr)) {
    error = "the socket path " + path + " is too long";
    return -1;
  }
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
    error = path + " exists and is not a socket";
    return -1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errnoText("socket");
    return -1;
  }
  ::unlink(temp.c_str());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    error = errnoText("bind " + temp);
    ::close(fd);
    return -1;
  }
  if (::chmod(temp.c_str(), 0600) != 0 || ::listen(fd, 16) != 0 ||
      ::rename(temp.c_str(), path.c_str()) != 0) {
    error = errnoText("creating " + path);
    ::unlink(temp.c_str());
    ::close(fd);
    return -1;
  }
  return fd;
}

void log(const std::string& text) {
  // stderr is /dev/null in the background; useful in the foreground.
  const std::string line = "flashsim: " + text + "\n";
  [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
}

// Serves one connection to a device until the peer closes it, the link is
// shut down from outside (unplug, stop) or a fault breaks it.
void serveConnection(int fd, Device& device) {
  std::vector<std::uint8_t> dataOut;
  for (;;) {
    std::uint8_t raw[wire::kRequestHeaderSize];
    if (!wire::readAll(fd, raw, sizeof raw)) {
      break;
    }
    const auto request = wire::decodeRequestHeader(raw);
    if (!request) {
      log("malformed request header; closing the connection");
      break;
    }
    dataOut.clear();
    if (request->direction == wire::Direction::Out) {
      dataOut.resize(request->transferLength);
      if (!wire::readAll(fd, dataOut.data(), dataOut.size())) {
        break;
      }
    }
    const Answer answer = device.execute(*request, dataOut);
    if (answer.link == Answer::Link::Drop) {
      break;
    }
    if (answer.link == Answer::Link::Hang) {
      // Never answer; keep the link until the peer goes or we are unplugged.
      std::uint8_t sink[4096];
      while (true) {
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EINTR)) {
          break;
        }
      }
      break;
    }
    wire::AnswerHeader h;
    h.scsiStatus = answer.scsiStatus;
    h.dataLength = static_cast<std::uint32_t>(std::min<std::size_t>(
        request->direction == wire::Direction::In ? answer.dataIn.size() : 0,
        request->transferLength));
    const auto head = wire::encodeAnswerHeader(h);
    std::vector<std::uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), answer.dataIn.begin(), answer.dataIn.begin() + h.dataLength);
    if (answer.link == Answer::Link::DropMidData) {
      wire::writeAll(fd, out.data(), std::max<std::size_t>(1, out.size() / 2));
      break;
    }
    if (!wire::writeAll(fd, out.data(), out.size())) {
      break;
    }
  }
  ::shutdown(fd, SHUT_RDWR);
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

struct Server::Connection {
  int fd = -1;
  std::thread thread;
  std::atomic<bool> done{false};
};

struct Server::Slot {
  std::shared_ptr<Device> device;
  bool plugged = false;
  int listenFd = -1;
  std::thread acceptThread;
  std::mutex connMutex;
  std::list<std::unique_ptr<Connection>> connections;

  void reapFinished() {  // with connMutex held
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        ::close((*it)->fd);
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }

  void acceptLoop() {
    while (true) {
      const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE ||
            errno == ENOBUFS || errno == ENOMEM) {
          if (errno != EINTR && errno != ECONNABORTED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
          continue;
        }
        return;  // shut down by unplug
      }
      std::lock_guard lock(connMutex);
      reapFinished();
      auto c = std::make_unique<Connection>();
      c->fd = fd;
      Connection* raw = c.get();
      std::shared_ptr<Device> dev = device;
      c->thread = std::thread([raw, dev] {
        serveConnection(raw->fd, *dev);
        raw->done = true;
      });
      connections.push_back(std::move(c));
    }
  }
};

Server::Server(std::string dir) : dir_(std::move(dir)) {}

Server::~Server() { shutdownAll(); }

std::string Server::installSignalHandlers() {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    return errnoText("pipe");
  }
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return {};
}

std::string Server::openControl() {
  std::string error;
  controlFd_ = listenAt(dir_, kControlName, error);
  return error;
}

std::string Server::plug(const DeviceArgument& arg) {
  std::lock_guard lock(mutex_);
  auto& slot = slots_[arg.letter];
  if (!slot) {
    slot = std::make_unique<Slot>();
  }
  if (slot->plugged) {
    return std::string("device ") + arg.letter + " is already plugged";
  }
  std::shared_ptr<Device> device = slot->device;
  if (!arg.bareLetter || !device) {
    try {
      device = std::make_shared<Device>(arg.profile);
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  std::string error;
  const int fd = listenAt(dir_, devdir::entryNameForLetter(arg.letter), error);
  if (fd < 0) {
    return error;
  }
  slot->device = std::move(device);
  slot->listenFd = fd;
  slot->plugged = true;
  Slot* s = slot.get();
  slot->acceptThread = std::thread([s] { s->acceptLoop(); });
  return {};
}

std::string Server::unplug(char letter) {
  std::lock_guard lock(mutex_);
  auto it = slots_.find(letter);
  if (it == slots_.end() || !it->second->plugged) {
    return std::string("device ") + letter + " is not plugged";
  }
  Slot& s = *it->second;
  ::unlink((dir_ + "/" + devdir::entryNameForLetter(letter)).c_str());
  ::shutdown(s.listenFd, SHUT_RDWR);  // wakes the accept loop
  s.acceptThread.join();
  ::close(s.listenFd);
  s.listenFd = -1;
  std::lock_guard connLock(s.connMutex);
  for (auto& c : s.connections) {
    ::shutdown(c->fd, SHUT_RDWR);  // a connection in flight breaks
  }
  for (auto& c : s.connections) {
    c->thread.join();
    ::close(c->fd);
  }
  s.connections.clear();
  s.plugged = false;
  return {};
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
    unplug(letter);
  }
  if (controlFd_ >= 0) {
    ::unlink((dir_ + "/" + kControlName).c_str());
    ::close(controlFd_);
    controlFd_ = -1;
  }
}

void Server::run() {
  while (true) {
    pollfd fds[2] = {{controlFd_, POLLIN, 0}, {gSignalPipe[0], POLLIN, 0}};
    const int n = ::poll(fds, gSignalPipe[0] >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      log(errnoText("poll"));
      break;
    }
    if (gSignalPipe[0] >= 0 && (fds[1].revents & POLLIN) != 0) {
      break;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      continue;
    }
    const int fd = ::accept4(controlFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    // A control client that stalls cannot hold the daemon for long.
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string line;
    bool complete = false;
    char buf[1024];
    while (line.size() < 65536) {
      const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
      if (got <= 0) {
        if (got < 0 && errno == EINTR) {
          continue;
        }
        break;
      }
      line.append(buf, static_cast<std::size_t>(got));
      if (line.find('\n') != std::string::npos) {
        complete = true;
        break;
      }
    }
    std::string payload;
    bool stop = false;
    std::string reply;
    if (!complete) {
      reply = "error: incomplete control request\n";
    } else {
      line.resize(line.find('\n'));
      const std::string error = controlCommand(splitWords(line), payload, stop);
      if (stop) {
        shutdownAll();
      }
      reply = error.empty() ? "ok\n" + payload : "error: " + error + "\n";
    }
    wire::writeAll(fd, reply.data(), reply.size());
    ::close(fd);
    if (stop) {
      return;
    }
  }
  shutdownAll();
}

std::shared_ptr<Device> Server::deviceFor(const std::string& word, std::string& error) {
  const char letter = parseLetter(word);
  if (letter == 0) {
    error = "expected a drive letter, got '" + word + "'";
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  auto it = slots_.find(letter);
  if (it == slots_.end() || !it->second->device) {
    error = std::string("no device ") + letter;
    return nullptr;
  }
  return it->second->device;
}

std::string Server::controlCommand(const std::vector<std::string>& words, std::string& payload,
                                   bool& stop) {
  const std::string& cmd = words[0];
  const std::size_t args = words.size() - 1;
  auto wrongCount = [&] { return "wrong number of arguments for " + cmd; };
  if (cmd == "stop" || cmd == "pid") {
    if (args != 0) {
      return wrongCount();
    }
    if (cmd == "stop") {
      stop = true;
    } else {
      payload = std::to_string(::getpid()) + "\n";
    }
    return {};
  }
  if (cmd == "plug") {
    if (args != 1) {
      return wrongCount();
    }
    const ParsedDevice parsed = parseDeviceArgument(words[1]);
    return parsed.error.empty() ? plug(parsed.device) : parsed.error;
  }
  if (cmd == "unplug") {
    if (args != 1) {
      return wrongCount();
    }
    const char letter = parseLetter(words[1]);
    if (letter == 0) {
      return "expected a drive letter, got '" + words[1] + "'";
    }
    return unplug(letter);
  }
  if (args < 1) {
    return cmd == "fault" || cmd == "trace" || cmd == "bad" || cmd == "page" || cmd == "timings"
               ? wrongCount()
               : "unknown control command '" + cmd + "'";
  }
  std::string error;
  if (cmd == "fault") {
    if (args < 2) {
      return wrongCount();
    }
    auto device = deviceFor(words[1], error);
    if (!device) {
      return error;
    }
    Faults faults = device->faults();
    for (std::size_t i = 2; i < words.size(); ++i) {
      error = applyFaultSetting(faults, words[i]);
      if (!error.empty()) {
        return error;
      }
    }
    device->setFaults(faults);
    return {};
  }
  if (cmd == "trace" || cmd == "bad" || cmd == "timings") {
    if (args != 1) {
      return wrongCount();
    }
    auto device = deviceFor(words[1], error);
    if (!device) {
      return error;
    }
    if (cmd == "trace") {
      for (const TraceEntry& e : device->trace()) {
        payload += formatTraceEntry(e) + "\n";
      }
    } else if (cmd == "bad") {
      for (std::uint16_t b : device->badBlocks()) {
        payload += std::to_string(b) + "\n";
      }
    } else {
      const auto t = device->blankCheckTimings();
      if (!t) {
        return std::string("device ") + parseLetter(words[1]) +
               " has not received cmd_bStartBlankCheck";
      }
      payload = std::to_string((*t)[0]) + " " + std::to_string((*t)[1]) + " " +
                std::to_string((*t)[2]) + " " + std::to_string((*t)[3]) + "\n";
    }
    return {};
  }
  if (cmd == "page") {
    if (args != 2) {
      return wrongCount();
    }
    auto device = deviceFor(words[1], error);
    if (!device) {
      return error;
    }
    const std::string& text = words[2];
    std::uint64_t page = 0;
    const bool digits = !text.empty() && text.size() <= 10 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) {
      page = std::stoull(text);
    }
    const auto bytes = digits && page <= 0xFFFFFFFFULL
                           ? device->page(static_cast<std::uint32_t>(page))
                           : std::vector<std::uint8_t>{};
    if (bytes.empty()) {
      return "no page '" + text + "' in the array";
    }
    payload.assign(bytes.begin(), bytes.end());
    return {};
  }
  return "unknown control command '" + cmd + "'";
}

bool sendControl(const std::string& dir, const std::vector<std::string>& words,
                 std::string& payload, std::string& error) {
  const std::string path = dir + "/" + kControlName;
  sockaddr_un addr{};
  if (!fillAddress(path, addr)) {
    error = "the socket path " + path + " is too long";
    return false;
  }
  std::string line;
  for (const std::string& w : words) {
    if (w.find_first_of("\t\n") != std::string::npos) {
      error = "an argument holds a tab or line end";
      return false;
    }
    line += (line.empty() ? "" : "\t") + w;
  }
  line += "\n";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errnoText("socket");
    return false;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    error = "no flashsim daemon serves " + dir + " (" + std::strerror(errno) + ")";
    ::close(fd);
    return false;
  }
  std::string reply;
  bool ok = wire::writeAll(fd, line.data(), line.size());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buf[8192];
  while (ok) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
      error = "the flashsim daemon did not answer";
      ::close(fd);
      return false;
    }
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    reply.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (reply.rfind("ok\n", 0) == 0) {
    payload = reply.substr(3);
    return true;
  }
  if (reply.rfind("error: ", 0) == 0) {
    error = reply.substr(7);
    while (!error.empty() && error.back() == '\n') {
      error.pop_back();
    }
  } else {
    error = "the flashsim daemon gave no valid answer";
  }
  return false;
}

}  // namespace flashsim
