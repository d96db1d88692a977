// Linux form of the tool start: fork and exec without a shell.
//
// Everything that allocates (splitting the command line, the program search)
// is done before fork(); the child only calls async-signal-safe functions
// before exec. An exec failure is reported back through a close-on-exec pipe,
// so a program that cannot be executed makes the start fail, as on Windows.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "common/inherited_files.hpp"
#include "ppthread/process_launcher.hpp"

extern char** environ;

namespace station {
namespace {

// How much the child's nice value is lowered below the station's own, the
// counterpart of the high priority class. Only with the privilege to do so.
constexpr int kPriorityRaise = 5;

std::string OwnExecutableDirectory() {
  static const std::string dir = [] {
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return std::string();
    std::string path(buf.data(), static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
  }();
  return dir;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> SplitOnBlanks(const char* line) {
  std::vector<std::string> words;
  std::string word;
  for (const char* p = line; *p != '\0'; ++p) {
    if (*p == ' ' || *p == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word.push_back(*p);
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// "kestrin.exe" -> "kestrin": the command lines name the Windows program.
std::string LinuxProgramName(std::string name) {
  constexpr std::string_view kExe = ".exe";
  if (name.size() > kExe.size()) {
    const auto tail = name.substr(name.size() - kExe.size());
    if (std::equal(tail.begin(), tail.end(), kExe.begin(), kExe.end(),
                   [](char a, char b) { return (a | 0x20) == b; })) {
      name.resize(name.size() - kExe.size());
    }
  }
  return name;
}

// The child between fork and exec: async-signal-safe calls only.
[[noreturn]] void ExecChild(const char* program, char* const* argv, int errorPipe, int niceValue) {
  const int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  common::inherited_files::closeFrom(STDERR_FILENO + 1, errorPipe);  // the error pipe is close-on-exec

  // Signals the station ignores or blocks must not carry over to the tool.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) signal(sig, SIG_DFL);
  }

  // Raised priority where permitted; without the privilege the tool runs at
  // the station's own priority, which is no reason to fail.
  setpriority(PRIO_PROCESS, 0, niceValue);

  execve(program, argv, environ);
  const int err = errno;
  ssize_t ignored = write(errorPipe, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// Reaps a child whose handle was closed before it ended, so that no zombie
// remains. Runs detached; it touches nothing but the pid.
void ReapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread: the child stays unreaped until the station ends.
  }
}

}  // namespace

ToolSearch StationToolSearch() {
  ToolSearch search{OwnExecutableDirectory(), {}};
  if (const char* path = getenv("PATH")) search.pathList = path;
  return search;
}

std::string FindToolProgram(const std::string& name, const ToolSearch& search) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) {
    return name.front() == '/' && IsExecutableFile(name) ? name : std::string();
  }
  const std::string& pathList = search.pathList;
  std::vector<std::string> dirs;
  if (!search.ownDirectory.empty()) dirs.push_back(search.ownDirectory);
  std::size_t start = 0;
  while (start <= pathList.size()) {
    const auto colon = pathList.find(':', start);
    const auto end = colon == std::string::npos ? pathList.size() : colon;
    std::string dir = pathList.substr(start, end - start);
    if (!dir.empty() && dir.front() == '/') dirs.push_back(std::move(dir));  // never the current directory
    start = end + 1;
  }
  for (const auto& dir : dirs) {
    std::string candidate = dir;
    if (candidate.back() != '/') candidate.push_back('/');
    candidate += name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

bool StartToolProcess(char* commandLine, ToolProcess& process, const ToolSearch& search) {
  if (commandLine == nullptr) return false;
  std::vector<std::string> words = SplitOnBlanks(commandLine);
  if (words.empty()) return false;
  words[0] = LinuxProgramName(words[0]);
  const std::string program = FindToolProgram(words[0], search);
  if (program.empty()) return false;

  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  errno = 0;
  const int ownNice = getpriority(PRIO_PROCESS, 0);
  const int niceValue = std::max(-20, (errno == 0 ? ownNice : 0) - kPriorityRaise);

  int errorPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) return false;

  const pid_t pid = fork();
  if (pid < 0) {
    close(errorPipe[0]);
    close(errorPipe[1]);
    return false;
  }
  if (pid == 0) ExecChild(program.c_str(), argv.data(), errorPipe[1], niceValue);

  close(errorPipe[1]);
  int childErrno = 0;
  ssize_t got;
  do {
    got = read(errorPipe[0], &childErrno, sizeof childErrno);
  } while (got < 0 && errno == EINTR);
  close(errorPipe[0]);
  if (got > 0) {  // exec failed: the child has ended with 127
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
  }

  process = ToolProcess{};
  process.process = pid;
  return true;
}

bool GetToolExitCode(ToolProcess& process, std::uint32_t& exitCode) {
  if (process.process <= 0) return false;
  if (!process.ended) {
    int status = 0;
    pid_t r;
    do {
      r = waitpid(static_cast<pid_t>(process.process), &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return false;
    if (r == 0) {
      exitCode = kStillActive;
      return true;
    }
    process.ended = true;
    if (WIFEXITED(status)) {
      process.exitCode = static_cast<std::uint32_t>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      process.exitCode = 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    } else {
      process.exitCode = 255u;
    }
  }
  exitCode = process.exitCode;
  return true;
}

void CloseToolProcess(ToolProcess& process) {
  if (process.process > 0 && !process.ended) ReapInBackground(static_cast<pid_t>(process.process));
  process = ToolProcess{};
}

}  // namespace station
