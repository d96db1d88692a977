// A scripted stand-in for the command tool, built as `kestrin` in a folder of
// its own. The launchers' tests point the program search at that folder.
//
// Each run works in the folder named by STANDIN_DIR:
//  - it takes the next line of "script-<drive>" (drive = its first argument
//    without the colon), or of "script" when there is no such file; after the
//    last line the last line is repeated; no script at all means exit code 0.
//    A line is "<exit code> [<sleep ms>]" or "signal <number> [<sleep ms>]";
//  - it appends one line to "log" and to "log-<drive>":
//        <arguments after the program name, blank-separated>|<details>
//    where <details> is "stdio=<0|1|2 on the null device: nnn>,extra=<number of
//    open descriptors above 2>,nice=<nice value>";
//  - it sleeps, then ends with the code or kills itself with the signal.
// The run counter and the logs are kept under an exclusive file lock, so
// runs for different drives may overlap.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

bool IsNullDevice(int fd) {
  struct stat a {
  }, b{};
  return fstat(fd, &a) == 0 && stat("/dev/null", &b) == 0 && a.st_rdev == b.st_rdev && S_ISCHR(a.st_mode);
}

int ExtraDescriptors() {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  const int own = dirfd(d);
  while (const dirent* e = readdir(d)) {
    const int fd = std::atoi(e->d_name);
    if (e->d_name[0] != '.' && fd > 2 && fd != own) ++count;
  }
  closedir(d);
  return count;
}

void Append(const std::string& path, const std::string& line) { std::ofstream(path, std::ios::app) << line << '\n'; }

}  // namespace

int main(int argc, char** argv) {
  const char* dirEnv = std::getenv("STANDIN_DIR");
  if (dirEnv == nullptr) return 99;
  const std::string dir = dirEnv;
  std::string drive = argc > 1 ? argv[1] : "";
  if (!drive.empty() && drive.back() == ':') drive.pop_back();

  // Details taken before anything else opens a descriptor.
  std::ostringstream details;
  details << "stdio=" << IsNullDevice(0) << IsNullDevice(1) << IsNullDevice(2) << ",extra=" << ExtraDescriptors();
  errno = 0;
  details << ",nice=" << getpriority(PRIO_PROCESS, 0);

  const int lock = open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return 98;

  std::string scriptPath = dir + "/script-" + drive;
  if (access(scriptPath.c_str(), R_OK) != 0) scriptPath = dir + "/script";
  std::vector<std::string> lines;
  {
    std::ifstream in(scriptPath);
    for (std::string l; std::getline(in, l);) {
      if (!l.empty()) lines.push_back(l);
    }
  }
  const std::string counterPath = dir + "/count-" + drive;
  int run = 0;
  std::ifstream(counterPath) >> run;
  std::ofstream(counterPath, std::ios::trunc) << run + 1 << '\n';

  std::string args;
  for (int i = 1; i < argc; ++i) args += (i > 1 ? " " : "") + std::string(argv[i]);
  Append(dir + "/log", args + "|" + details.str());
  Append(dir + "/log-" + drive, args + "|" + details.str());
  flock(lock, LOCK_UN);
  close(lock);

  if (lines.empty()) return 0;
  std::istringstream line(lines[static_cast<std::size_t>(run) < lines.size() ? run : lines.size() - 1]);
  std::string first;
  line >> first;
  int signalNumber = 0;
  int code = 0;
  if (first == "signal") {
    line >> signalNumber;
  } else {
    code = std::atoi(first.c_str());
  }
  int sleepMs = 0;
  line >> sleepMs;
  if (sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
  if (signalNumber > 0) {
    signal(signalNumber, SIG_DFL);
    kill(getpid(), signalNumber);
    pause();
  }
  return code;
}
