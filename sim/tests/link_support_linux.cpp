#include "daemon_support.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "common/unix_socket.hpp"

namespace simtest {
namespace {

std::string readAllFrom(int fd) {
  std::string out;
  char buf[4096];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

pid_t spawn(const std::vector<std::string>& args, int outFd, int errFd) {
  std::vector<char*> argv;
  std::string program = FLASHSIM_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (outFd >= 0) {
      ::dup2(outFd, 1);
    }
    if (errFd >= 0) {
      ::dup2(errFd, 2);
    }
    ::execv(FLASHSIM_PATH, argv.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

ProgramRun flashsim(const std::vector<std::string>& args) {
  int out[2];
  int err[2];
  ProgramRun run;
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return run;
  }
  const pid_t pid = spawn(args, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  // The error text is short; read the output first, then the error.
  std::thread errReader([&] { run.err = readAllFrom(err[0]); });
  run.out = readAllFrom(out[0]);
  errReader.join();
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.exitCode = WEXITSTATUS(status);
  }
  return run;
}

std::string makeTempDir() {
  char templ[] = "/tmp/flashsim-test-XXXXXX";
  const char* made = ::mkdtemp(templ);
  return made ? made : "";
}

void removeTree(const std::string& dir) {
  for (const std::string& name : entries(dir)) {
    ::unlink((dir + "/" + name).c_str());
  }
  ::rmdir(dir.c_str());
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    return names;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  ::closedir(d);
  return names;
}

bool waitFor(const std::string& path, bool present, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (true) {
    struct stat st{};
    if ((::lstat(path.c_str(), &st) == 0) == present) {
      return true;
    }
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

long statusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) {
      return std::stol(line.substr(key.size() + 1));
    }
  }
  return -1;
}

std::uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

Daemon::Daemon(const std::vector<std::string>& devices, const std::vector<std::string>& options)
    : dir_(makeTempDir()) {
  std::vector<std::string> args{"serve", "--dir", dir_, "--foreground"};
  args.insert(args.end(), options.begin(), options.end());
  for (const auto& d : devices) {
    args.push_back("--device");
    args.push_back(d);
  }
  char errTemplate[] = "/tmp/flashsim-test-stderr-XXXXXX";
  const int errFd = ::mkostemp(errTemplate, O_CLOEXEC);
  errorFile_ = errFd >= 0 ? errTemplate : "";
  pid_ = spawn(args, -1, errFd);
  if (errFd >= 0) {
    ::close(errFd);
  }
  if (pid_ > 0 && !waitFor(dir_ + "/.flashsim-control", true, std::chrono::seconds(20))) {
    terminate();
  }
}

Daemon::~Daemon() {
  terminate();
  removeTree(dir_);
  if (!errorFile_.empty()) {
    ::unlink(errorFile_.c_str());
  }
}

std::string Daemon::errors() const {
  const int fd = ::open(errorFile_.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string text = fd >= 0 ? readAllFrom(fd) : "";
  if (fd >= 0) {
    ::close(fd);
  }
  return text;
}

ProgramRun Daemon::control(const std::string& cmd, const std::vector<std::string>& args) const {
  std::vector<std::string> all{cmd, "--dir", dir_};
  all.insert(all.end(), args.begin(), args.end());
  return flashsim(all);
}

int Daemon::terminate() {
  if (pid_ <= 0) {
    return -1;
  }
  ::kill(pid_, SIGTERM);
  int status = 0;
  const pid_t got = ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return got > 0 ? status : -1;
}

Link::Link(const std::string& path) : fd_(unix_socket::connectTo(path)), errno_(fd_ < 0 ? errno : 0) {}

Link::~Link() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

Reply Link::send(const std::vector<std::uint8_t>& cdb, wire::Direction dir, std::uint32_t length,
                 const std::vector<std::uint8_t>& dataOut, std::chrono::milliseconds timeout) {
  Reply r;
  wire::RequestHeader h;
  h.cdbLength = static_cast<std::uint8_t>(cdb.size());
  h.direction = dir;
  h.transferLength = length;
  h.timeoutMs = static_cast<std::uint32_t>(timeout.count());
  std::copy(cdb.begin(), cdb.end(), h.cdb.begin());
  const auto head = wire::encodeRequestHeader(h);
  std::vector<std::uint8_t> out(head.begin(), head.end());
  out.insert(out.end(), dataOut.begin(), dataOut.end());
  if (!wire::writeAll(fd_, out.data(), out.size())) {
    return r;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::uint8_t answer[wire::kAnswerHeaderSize];
  std::size_t got = 0;
  // Read the header byte by byte so that a partial header is told apart.
  while (got < sizeof answer) {
    const auto res = wire::readAllBy(fd_, answer + got, 1, deadline);
    if (res == wire::ReadResult::TimedOut) {
      r.kind = Reply::Kind::TimedOut;
      return r;
    }
    if (res != wire::ReadResult::Ok) {
      r.kind = got == 0 ? Reply::Kind::Closed : Reply::Kind::Partial;
      return r;
    }
    ++got;
  }
  const auto decoded = wire::decodeAnswerHeader(answer);
  if (!decoded) {
    r.kind = Reply::Kind::Partial;
    return r;
  }
  r.scsiStatus = decoded->scsiStatus;
  r.data.resize(decoded->dataLength);
  const auto res = wire::readAllBy(fd_, r.data.data(), r.data.size(), deadline);
  r.kind = res == wire::ReadResult::Ok ? Reply::Kind::Answered
           : res == wire::ReadResult::TimedOut ? Reply::Kind::TimedOut
                                                : Reply::Kind::Partial;
  return r;
}

int Link::status(const std::vector<std::uint8_t>& cdb) {
  const Reply r = send(cdb, wire::Direction::In, 1);
  return r.kind == Reply::Kind::Answered && !r.data.empty() ? r.data[0] : -1;
}

std::vector<std::uint8_t> Link::readX(std::uint16_t address, std::uint32_t n) {
  return send({0xEF, 0x01, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), 0, 0},
              wire::Direction::In, n)
      .data;
}

bool Link::writeX(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
  return send({0xEE, 0x02, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), 0, 0},
              wire::Direction::Out, static_cast<std::uint32_t>(bytes.size()), bytes)
             .kind == Reply::Kind::Answered;
}

namespace {
std::vector<std::uint8_t> pageCdb(std::uint8_t sub, std::uint32_t page, bool withTag) {
  std::vector<std::uint8_t> c{0xEF, sub};
  for (int i = 0; i < 4; ++i) {
    c.push_back(static_cast<std::uint8_t>(page >> (8 * i)));
  }
  if (withTag) {
    c.insert(c.end(), {0x00, 0x00, 0x90, 0x1A});
  } else {
    c.insert(c.end(), {0x90, 0x1A, 0x00, 0x00});
  }
  return c;
}
}  // namespace

std::vector<std::uint8_t> programCdb(std::uint32_t page) { return pageCdb(0x12, page, true); }
std::vector<std::uint8_t> readPageCdb(std::uint32_t page) { return pageCdb(0x13, page, false); }
std::vector<std::uint8_t> eraseCdb(std::uint16_t block) {
  return {0xEF, 0x11, static_cast<std::uint8_t>(block), static_cast<std::uint8_t>(block >> 8), 0, 0};
}

}  // namespace simtest
