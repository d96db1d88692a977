#include "server_linux.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <optional>
#include <thread>
#include <utility>

#include "common/deadline_io.hpp"
#include "common/device_dir.hpp"
#include "common/sim_wire.hpp"
#include "connection_threads_linux.hpp"

namespace flashsim {
namespace {

using deadline_io::Deadline;
using deadline_io::Io;
using deadline_io::TimedSocket;

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

// One line on standard error (/dev/null in the background; useful in the
// foreground). Builds no string, so it also serves when memory has run out.
[[gnu::format(printf, 1, 2)]] void log(const char* format, ...) {
  char line[512] = "flashsim: ";
  const std::size_t prefix = std::strlen(line);
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
  va_end(args);
  std::size_t size = prefix + std::min<std::size_t>(n < 0 ? 0 : static_cast<std::size_t>(n), sizeof line - prefix - 2);
  line[size++] = '\n';
  [[maybe_unused]] const ssize_t written = ::write(2, line, size);
}

// Pipelined request headers and small data-out arrive here, most requests
// in one receive.
constexpr std::size_t kStagingSize = 8192;
// A data-out buffer grown beyond this is given back after its request, so an
// idle connection holds little.
constexpr std::size_t kKeptDataOut = 64 * 1024;

// One connection to a device: takes requests, has the device carry them out,
// sends the answers.
class DeviceLink {
 public:
  DeviceLink(int fd, Device& device) : link_(fd), device_(device), staged_(kStagingSize) {}

  // Serves until the peer closes the link, the link is shut down from
  // outside (unplug, stop) or a fault breaks it.
  void serve() {
    while (const auto request = receiveRequest()) {
      // The rest of a request and its answer move within the time the host
      // said it waits (a second at least).
      const Deadline deadline =
          Deadline::after(std::chrono::milliseconds(std::max<std::uint32_t>(request->timeoutMs, 1000)));
      if (!receiveDataOut(*request, deadline) || !answer(*request, deadline)) {
        break;
      }
    }
  }

 private:
  std::optional<wire::RequestHeader> receiveRequest() {
    if (end_ - begin_ < wire::kRequestHeaderSize) {
      std::memmove(staged_.data(), staged_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
      std::size_t got = 0;  // an idle link may wait for ever
      const Io result = link_.receive(staged_.data() + end_, staged_.size() - end_,
                                      wire::kRequestHeaderSize - end_, Deadline::never(), got);
      end_ += got;
      if (result != Io::Ok) {
        return std::nullopt;
      }
    }
    const auto request = wire::decodeRequestHeader(staged_.data() + begin_);
    if (!request) {
      log("malformed request header; closing the connection");
      return std::nullopt;
    }
    begin_ += wire::kRequestHeaderSize;
    return request;
  }

  bool receiveDataOut(const wire::RequestHeader& request, const Deadline& deadline) {
    dataOut_.clear();
    if (request.direction != wire::Direction::Out) {
      return true;
    }
    const std::size_t length = request.transferLength;
    const std::size_t staged = std::min(length, end_ - begin_);
    dataOut_.assign(staged_.data() + begin_, staged_.data() + begin_ + staged);
    begin_ += staged;
    return link_.receiveAppending(dataOut_, length - staged, deadline) == Io::Ok;
  }

  bool answer(const wire::RequestHeader& request, const Deadline& deadline) {
    const Answer answer = device_.execute(command(request));
    if (dataOut_.capacity() > kKeptDataOut) {
      std::vector<std::uint8_t>().swap(dataOut_);
    }
    if (answer.link == Answer::Link::Drop) {
      return false;
    }
    if (answer.link == Answer::Link::Hang) {
      // Never answer; keep the link until the peer goes or we are unplugged.
      std::size_t got = 0;
      while (link_.receive(staged_.data(), staged_.size(), 1, Deadline::never(), got) == Io::Ok) {
      }
      return false;
    }
    wire::AnswerHeader h;
    h.scsiStatus = answer.scsiStatus;
    h.dataLength = static_cast<std::uint32_t>(std::min<std::size_t>(
        request.direction == wire::Direction::In ? answer.dataIn.size() : 0, request.transferLength));
    auto head = wire::encodeAnswerHeader(h);
    iovec pieces[2] = {{head.data(), head.size()},
                       {const_cast<std::uint8_t*>(answer.dataIn.data()), h.dataLength}};
    if (answer.link == Answer::Link::DropMidData) {
      // Half of the answer, header and data, then the link breaks.
      const std::size_t half = std::max<std::size_t>(1, (head.size() + h.dataLength) / 2);
      pieces[0].iov_len = std::min(half, head.size());
      pieces[1].iov_len = half - pieces[0].iov_len;
      link_.send(pieces, 2, deadline);
      return false;
    }
    return link_.send(pieces, 2, deadline) == Io::Ok;
  }

  // The request as the device takes it, with the data-out bytes that came.
  Command command(const wire::RequestHeader& request) const {
    Command c;
    c.cdb = request.cdb;
    c.cdbLength = request.cdbLength;
    c.direction = request.direction == wire::Direction::In    ? Direction::In
                  : request.direction == wire::Direction::Out ? Direction::Out
                                                              : Direction::None;
    c.transferLength = request.transferLength;
    c.dataOut = dataOut_;
    return c;
  }

  TimedSocket link_;
  Device& device_;
  std::vector<std::uint8_t> staged_;
  std::size_t begin_ = 0;  // the staged bytes not yet taken: [begin_, end_)
  std::size_t end_ = 0;
  std::vector<std::uint8_t> dataOut_;
};

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
          log("device %c: %zu connections are open; refusing another%s", letter, kMaxDeviceConnections,
              RefusalTally::since(count).c_str());
        } else {
          log("device %c: %s", letter, ConnectionThreads::describe(why, what, count).c_str());
        }
      }};

  void admit(int fd) {
    connections.start(fd, [dev = device](int link) { DeviceLink(link, *dev).serve(); });
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
  if (controlFd_ >= 0) {
    ::fcntl(controlFd_, F_SETFL, ::fcntl(controlFd_, F_GETFL) | O_NONBLOCK);
  }
  return error;
}

std::string Server::plug(const DeviceArgument& arg) {
  std::lock_guard lock(mutex_);
  auto& slot = slots_[arg.letter];
  if (!slot) {
    slot = std::make_unique<Slot>();
    slot->letter = arg.letter;
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
  const std::string name = devdir::entryNameForLetter(arg.letter);
  const int fd = listenAt(dir_, name, error);
  if (fd < 0) {
    return error;
  }
  Slot* s = slot.get();
  std::shared_ptr<Device> previous = std::exchange(s->device, std::move(device));
  s->listenFd = fd;
  try {
    s->acceptThread = std::thread([s] { s->acceptLoop(); });
  } catch (const std::exception& e) {
    ::unlink((dir_ + "/" + name).c_str());
    ::close(fd);
    s->listenFd = -1;
    s->device = std::move(previous);
    return std::string("cannot start a thread for device ") + arg.letter + ": " + e.what();
  }
  s->plugged = true;
  usbip_.plug(arg.letter, s->device);
  return {};
}

std::string Server::unplug(char letter) {
  std::lock_guard lock(mutex_);
  auto it = slots_.find(letter);
  if (it == slots_.end() || !it->second->plugged) {
    return std::string("device ") + letter + " is not plugged";
  }
  Slot& s = *it->second;
  usbip_.unplug(letter);
  ::unlink((dir_ + "/" + devdir::entryNameForLetter(letter)).c_str());
  ::shutdown(s.listenFd, SHUT_RDWR);  // wakes the accept loop
  s.acceptThread.join();
  ::close(s.listenFd);
  s.listenFd = -1;
  s.connections.endAll();  // a connection in flight breaks
  s.plugged = false;
  return {};
}

void Server::withdraw(char letter, const std::shared_ptr<Device>& previous) {
  unplug(letter);
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
    unplug(letter);
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
    fds.assign({{gSignalPipe[0], POLLIN, 0}, {controlFd_, POLLIN, 0}});
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
      log("poll: %s", std::strerror(errno));
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
          log("%zu control requests are in progress; refusing another%s", clients.size(),
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
      const ssize_t n =
          ::recv(c.fd, buf, std::min(sizeof buf, kMaxControlRequest - c.request.size()), MSG_DONTWAIT);
      if (n > 0) {
        c.request.append(buf, static_cast<std::size_t>(n));
        complete = c.request.find('\n') != std::string::npos;
      }
      ended = ended || n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN) ||
              c.request.size() == kMaxControlRequest;
    }
    if (complete) {
      c.request.resize(c.request.find('\n'));
      std::string payload;
      const std::string error = runControl(splitWords(c.request), payload);
      c.answer = error.empty() ? "ok\n" + payload : "error: " + error + "\n";
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
      deadline_io::TimedSocket(c.fd).send(c.answer.data(), c.answer.size(), Deadline::after(kControlTimeout));
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

std::shared_ptr<Device> Server::device(const std::string& word, std::string& error) {
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

std::string Server::runControl(const std::vector<std::string>& words, std::string& payload) {
  const ControlCommand* command = findControlCommand(words[0]);
  if (command == nullptr) {
    return "unknown control command '" + words[0] + "'";
  }
  const std::vector<std::string> arguments(words.begin() + 1, words.end());
  if (arguments.size() < command->minArguments || arguments.size() > command->maxArguments) {
    return "wrong number of arguments for " + words[0];
  }
  return command->run(*this, arguments, payload);
}

namespace {

using Words = std::vector<std::string>;

std::string runPlug(Server& server, const Words& args, std::string&) {
  const ParsedDevice parsed = parseDeviceArgument(args[0]);
  return parsed.error.empty() ? server.plug(parsed.device) : parsed.error;
}

// Hands a device to the local vhci-hcd driver, plugging it first when its
// letter is not plugged. When the attach fails, the letter is left as it was:
// unplugged again, with its previous device or none.
std::string runAttach(Server& server, const Words& args, std::string&) {
  const ParsedDevice parsed = parseDeviceArgument(args[0]);
  if (!parsed.error.empty()) {
    return parsed.error;
  }
  const char letter = parsed.device.letter;
  const bool plugHere = !server.usbip().offers(letter);
  if (!plugHere && !parsed.device.bareLetter) {
    return std::string("device ") + letter + " is already plugged";
  }
  std::string error;
  const std::shared_ptr<Device> previous = plugHere ? server.device(std::string(1, letter), error) : nullptr;
  error = plugHere ? server.plug(parsed.device) : std::string();
  if (error.empty()) {
    error = server.usbip().attachLocal(letter);
    if (!error.empty() && plugHere) {
      server.withdraw(letter, previous);
    }
  }
  return error;
}

std::string runUnplug(Server& server, const Words& args, std::string&) {
  const char letter = parseLetter(args[0]);
  return letter == 0 ? "expected a drive letter, got '" + args[0] + "'" : server.unplug(letter);
}

std::string runFault(Server& server, const Words& args, std::string&) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (!device) {
    return error;
  }
  Faults faults = device->faults();
  for (std::size_t i = 1; i < args.size(); ++i) {
    error = applyFaultSetting(faults, args[i]);
    if (!error.empty()) {
      return error;
    }
  }
  device->setFaults(faults);
  return {};
}

std::string runTrace(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (device) {
    for (const TraceEntry& e : device->trace()) {
      payload += formatTraceEntry(e) + "\n";
    }
  }
  return error;
}

std::string runBad(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (device) {
    for (std::uint16_t b : device->badBlocks()) {
      payload += std::to_string(b) + "\n";
    }
  }
  return error;
}

std::string runPage(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (!device) {
    return error;
  }
  const std::string& text = args[1];
  const bool digits = !text.empty() && text.size() <= 10 &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  const std::uint64_t page = digits ? std::stoull(text) : 0;
  const auto bytes = digits && page <= 0xFFFFFFFFULL ? device->page(static_cast<std::uint32_t>(page))
                                                     : std::vector<std::uint8_t>{};
  if (bytes.empty()) {
    return "no page '" + text + "' in the array";
  }
  payload.assign(bytes.begin(), bytes.end());
  return {};
}

std::string runTimings(Server& server, const Words& args, std::string& payload) {
  std::string error;
  const auto device = server.device(args[0], error);
  if (!device) {
    return error;
  }
  const auto t = device->blankCheckTimings();
  if (!t) {
    return std::string("device ") + parseLetter(args[0]) + " has not received cmd_bStartBlankCheck";
  }
  payload = std::to_string((*t)[0]) + " " + std::to_string((*t)[1]) + " " + std::to_string((*t)[2]) + " " +
            std::to_string((*t)[3]) + "\n";
  return {};
}

std::string runPid(Server&, const Words&, std::string& payload) {
  payload = std::to_string(::getpid()) + "\n";
  return {};
}

std::string runStop(Server& server, const Words&, std::string&) {
  server.requestStop();
  return {};
}

constexpr std::size_t kAny = static_cast<std::size_t>(-1);

constexpr ControlCommand kCommands[] = {
    {"plug", "DEVICE", 1, 1, runPlug},
    {"attach", "DEVICE", 1, 1, runAttach},
    {"unplug", "LETTER", 1, 1, runUnplug},
    {"fault", "LETTER KEY=VALUE...", 2, kAny, runFault},
    {"trace", "LETTER", 1, 1, runTrace},
    {"bad", "LETTER", 1, 1, runBad},
    {"page", "LETTER PAGE", 2, 2, runPage},
    {"timings", "LETTER", 1, 1, runTimings},
    {"pid", "", 0, 0, runPid},
    {"stop", "", 0, 0, runStop},
};

}  // namespace

std::span<const ControlCommand> controlCommands() { return kCommands; }

const ControlCommand* findControlCommand(std::string_view name) {
  for (const ControlCommand& c : kCommands) {
    if (c.name == name) {
      return &c;
    }
  }
  return nullptr;
}

std::string controlRequestTooLong() {
  return "control request longer than the limit of " + std::to_string(kMaxControlRequest) + " bytes";
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
  if (line.size() > kMaxControlRequest) {
    error = controlRequestTooLong();
    return false;
  }
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
  // The daemon answers at once; a minute covers a trace of millions of lines.
  const Deadline deadline = Deadline::after(std::chrono::seconds(60));
  TimedSocket link(fd);
  std::string reply;
  Io result = link.send(line.data(), line.size(), deadline);
  char buf[8192];
  while (result == Io::Ok) {
    std::size_t got = 0;
    result = link.receive(buf, sizeof buf, 1, deadline, got);
    reply.append(buf, got);
  }
  if (result == Io::TimedOut) {
    error = "the flashsim daemon did not answer";
    ::close(fd);
    return false;
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
