// flashsim: the command line of the flash-device emulator. See sim/README.md.
#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/inherited_files.hpp"
#include "common/unix_socket.hpp"
#include "flashsim/control_client_linux.hpp"
#include "flashsim/control_commands_linux.hpp"
#include "flashsim/control_server_linux.hpp"

namespace {

using common::Failure;
using common::Result;

// The usage text: serve, then every control command as the table has it.
std::string usage() {
  std::string text = "usage: flashsim serve --dir DIR [--foreground] [--device DEVICE]... [--usbip [ADDR:]PORT]\n";
  for (const flashsim::ControlCommand& c : flashsim::controlCommands()) {
    text += "       flashsim " + std::string(c.name) + std::string(c.name.size() < 7 ? 7 - c.name.size() : 0, ' ') +
            " --dir DIR" + (c.arguments.empty() ? "" : " ") + std::string(c.arguments) + "\n";
  }
  return text + "DEVICE = LETTER[:KEY=VALUE[,KEY=VALUE...]]; the keys are described in sim/README.md\n";
}

int fail(const std::string& message) {
  std::fprintf(stderr, "flashsim: %s\n", message.c_str());
  return 1;
}

struct Options {
  std::string dir;
  bool foreground = false;
  std::vector<std::string> devices;
  std::string usbip;  // [ADDR:]PORT to serve USB/IP on
  std::vector<std::string> positional;
};

// Parses the arguments after the command word (argv[0] here is that word).
Result<Options> parseOptions(int argc, char** argv, bool serve) {
  Options o;
  enum : int { kDir = 1000, kDevice, kForeground, kUsbip };
  static const option kOptions[] = {{"dir", required_argument, nullptr, kDir},
                                    {"device", required_argument, nullptr, kDevice},
                                    {"foreground", no_argument, nullptr, kForeground},
                                    {"usbip", required_argument, nullptr, kUsbip},
                                    {nullptr, 0, nullptr, 0}};
  bool haveDir = false;
  opterr = 0;
  optind = 1;
  for (int c; (c = ::getopt_long(argc, argv, ":", kOptions, nullptr)) != -1;) {
    switch (c) {
      case kDir:
        if (haveDir) {
          return Failure{"--dir given twice"};
        }
        haveDir = true;
        o.dir = optarg;
        break;
      case kDevice:
      case kForeground:
        if (!serve) {
          return Failure{std::string(c == kDevice ? "--device" : "--foreground") + " belongs to serve"};
        }
        if (c == kDevice) {
          o.devices.emplace_back(optarg);
        } else {
          o.foreground = true;
        }
        break;
      case kUsbip:
        if (!serve) {
          return Failure{"--usbip belongs to serve"};
        }
        o.usbip = optarg;
        break;
      case ':':
        return Failure{std::string(optopt == kDir     ? "--dir"
                                   : optopt == kUsbip ? "--usbip"
                                                      : "--device") +
                       " needs a value"};
      default:
        return Failure{"unknown option " +
                       (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1]))};
    }
  }
  for (int i = optind; i < argc; ++i) {
    if (serve) {
      return Failure{std::string("unexpected argument '") + argv[i] + "'"};
    }
    o.positional.emplace_back(argv[i]);
  }
  if (!haveDir || o.dir.empty()) {
    return Failure{"--dir DIR is required"};
  }
  return o;
}

// Makes sure DIR exists (creating one level, owner-only): its absolute path.
Result<std::string> prepareDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return Failure{"cannot create " + dir + ": " + std::strerror(errno)};
  }
  char resolved[PATH_MAX];
  struct stat st {};
  if (::realpath(dir.c_str(), resolved) == nullptr || ::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Failure{dir + " is not a directory"};
  }
  return std::string(resolved);
}

// True when a daemon already answers on DIR's control socket; a stale
// socket left by a daemon that died is removed.
bool daemonAlive(const std::string& dir) {
  const std::string path = dir + "/" + flashsim::kControlName;
  const int fd = common::unix_socket::connectTo(path);
  if (fd < 0 && errno == ENAMETOOLONG) {
    return false;
  }
  const bool alive = fd >= 0;
  if (alive) {
    ::close(fd);
  }
  struct stat st {};
  if (!alive && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    ::unlink(path.c_str());
  }
  return alive;
}

// Opens the USB/IP listener when asked, plugs the listed devices and opens
// the control socket.
Result<void> startServer(flashsim::Server& server, const std::vector<flashsim::DeviceArgument>& devices,
                         const std::string& usbip) {
  if (Result<void> installed = flashsim::Server::installSignalHandlers(); !installed) {
    return installed;
  }
  if (!usbip.empty()) {
    if (Result<void> listening = server.usbip().listen(usbip); !listening) {
      return listening;
    }
  }
  for (const auto& d : devices) {
    if (Result<void> plugged = server.plug(d); !plugged) {
      return plugged;
    }
  }
  return server.openControl();
}

int serve(const Options& o) {
  std::vector<flashsim::DeviceArgument> devices;
  std::set<char> letters;
  for (const std::string& text : o.devices) {
    const Result<flashsim::DeviceArgument> device = flashsim::parseDeviceArgument(text);
    if (!device) {
      return fail("--device " + text + ": " + device.error());
    }
    if (!letters.insert(device->letter).second) {
      return fail(std::string("device ") + device->letter + " listed twice");
    }
    devices.push_back(*device);
  }
  // A large buffer (a peer's transfer) comes from the system and goes back
  // to it when freed, so what one transfer took does not stay with the daemon.
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  const Result<std::string> prepared = prepareDirectory(o.dir);
  if (!prepared) {
    return fail(prepared.error());
  }
  const std::string& dir = *prepared;
  if (daemonAlive(dir)) {
    return fail("a flashsim daemon already serves " + dir);
  }
  ::umask(077);

  if (o.foreground) {
    flashsim::Server server(dir);
    if (const Result<void> started = startServer(server, devices, o.usbip); !started) {
      return fail(started.error());
    }
    server.run();
    return 0;
  }

  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    return fail(std::string("pipe: ") + std::strerror(errno));
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    return fail(std::string("fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    ::close(ready[0]);
    // The daemon outlives its caller: it must not keep the caller's pipes or
    // other files open (a caller reading our output to its end would wait for ever).
    common::inherited_files::closeFrom(3, ready[1]);
    ::setsid();
    if (::chdir("/") != 0) {
      _exit(1);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) {
        ::close(null);
      }
    }
    int code = 0;
    {
      flashsim::Server server(dir);
      const Result<void> started = startServer(server, devices, o.usbip);
      const std::string report = started ? "ok\n" : started.error() + "\n";
      [[maybe_unused]] const ssize_t n = ::write(ready[1], report.data(), report.size());
      ::close(ready[1]);
      if (started) {
        server.run();
      } else {
        code = 1;
      }
    }
    _exit(code);
  }
  ::close(ready[1]);
  std::string report;
  char buf[512];
  while (true) {
    const ssize_t n = ::read(ready[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    report.append(buf, static_cast<std::size_t>(n));
  }
  ::close(ready[0]);
  if (report == "ok\n") {
    return 0;
  }
  while (!report.empty() && report.back() == '\n') {
    report.pop_back();
  }
  return fail(report.empty() ? "the daemon did not start" : report);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(usage().c_str(), stderr);
    return 1;
  }
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(usage().c_str(), stdout);
    return 0;
  }
  const bool serving = cmd == "serve";
  const flashsim::ControlCommand* command = flashsim::findControlCommand(cmd);
  if (!serving && command == nullptr) {
    std::fprintf(stderr, "flashsim: unknown command '%s'\n%s", cmd.c_str(), usage().c_str());
    return 1;
  }
  const Result<Options> options = parseOptions(argc - 1, argv + 1, serving);
  if (!options) {
    return fail(cmd + ": " + options.error());
  }
  const Options& o = *options;
  if (serving) {
    return serve(o);
  }
  if (o.positional.size() < command->minArguments || o.positional.size() > command->maxArguments) {
    return fail(cmd + ": wrong number of arguments");
  }
  std::vector<std::string> words{cmd};
  words.insert(words.end(), o.positional.begin(), o.positional.end());
  const Result<std::string> answer = flashsim::sendControl(o.dir, words);
  if (!answer) {
    return fail(answer.error());
  }
  const std::string& payload = *answer;
  if (!payload.empty() && std::fwrite(payload.data(), 1, payload.size(), stdout) != payload.size()) {
    return fail("cannot write to standard output");
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
