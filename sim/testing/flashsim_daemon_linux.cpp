#include "flashsim/testing/flashsim_daemon_linux.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "common/device_dir.hpp"

namespace flashsim::test {
namespace {

using Clock = std::chrono::steady_clock;

// A control command has long answered when this has passed, even in a
// sanitizer build on a busy machine.
constexpr std::chrono::seconds kCommandLimit{30};
constexpr std::chrono::seconds kStartLimit{20};
constexpr std::chrono::seconds kStopLimit{20};

bool isSocket(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

ProcessResult runFlashsim(const std::vector<std::string>& args) {
  std::vector<std::string> argv{FLASHSIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return common::test::runProcess(argv, {}, kCommandLimit);
}

std::uint16_t freeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

FlashsimDaemon::FlashsimDaemon(const std::vector<std::string>& devices, const std::vector<std::string>& serveOptions)
    : root_("flashsim"), dir_(root_.file("dev")) {
  std::vector<std::string> argv{FLASHSIM_PATH, "serve", "--dir", dir_, "--foreground"};
  argv.insert(argv.end(), serveOptions.begin(), serveOptions.end());
  std::vector<std::string> sockets{dir_ + "/.flashsim-control"};
  for (const std::string& device : devices) {
    argv.push_back("--device");
    argv.push_back(device);
    if (!device.empty()) sockets.push_back(socket(device[0]));
  }
  pid_ = common::test::startProcess(argv, {}, root_.file("flashsim.log"));
  const Clock::time_point deadline = Clock::now() + kStartLimit;
  while (pid_ > 0) {
    bool ready = true;
    for (const std::string& s : sockets) ready = ready && isSocket(s);
    if (ready) return;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;  // ended: serve refused
    } else if (Clock::now() > deadline) {
      terminate();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

FlashsimDaemon::~FlashsimDaemon() { terminate(); }

std::string FlashsimDaemon::socket(char letter) const {
  return dir_ + "/" + common::device_dir::entryNameForLetter(letter);
}

int FlashsimDaemon::terminate() {
  const int status = common::test::terminateProcess(pid_, kStopLimit);
  pid_ = -1;
  return status;
}

std::string FlashsimDaemon::log() const {
  std::ifstream in(root_.file("flashsim.log"));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ProcessResult FlashsimDaemon::control(const std::string& verb, const std::vector<std::string>& args) const {
  std::vector<std::string> all{verb, "--dir", dir_};
  all.insert(all.end(), args.begin(), args.end());
  return runFlashsim(all);
}

bool FlashsimDaemon::fault(char letter, const std::vector<std::string>& keyValues) const {
  std::vector<std::string> args{std::string(1, letter)};
  args.insert(args.end(), keyValues.begin(), keyValues.end());
  return control("fault", args).exitCode == 0;
}

std::vector<std::string> FlashsimDaemon::trace(char letter) const {
  return common::test::splitLines(control("trace", {std::string(1, letter)}).out);
}

}  // namespace flashsim::test
