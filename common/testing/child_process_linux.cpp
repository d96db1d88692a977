#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/testing/child_process.hpp"

extern char** environ;

namespace common::test {
namespace {

using Clock = std::chrono::steady_clock;

// The environment for a child: ours with `env` added or replaced.
std::vector<std::string> childEnvironment(const Environment& env) {
  std::set<std::string> replaced;
  for (const auto& [name, value] : env) replaced.insert(name);
  std::vector<std::string> result;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry(*e);
    if (replaced.count(entry.substr(0, entry.find('='))) == 0) result.push_back(entry);
  }
  for (const auto& [name, value] : env) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// fork + execve with the child's standard output and error on the given
// descriptors (-1: /dev/null; kClosed: not open) and standard input on
// /dev/null. Everything the child needs is made before the fork: the test
// process has threads, so the child makes only async-signal-safe calls.
constexpr int kClosed = -2;
pid_t spawn(const std::vector<std::string>& argv, const Environment& env, int outFd, int errFd,
            const std::string& workingDir = {}) {
  std::vector<std::string> args = argv;
  std::vector<std::string> envStrings = childEnvironment(env);
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(envStrings);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int devnull = open("/dev/null", O_RDWR);
  dup2(devnull, 0);
  dup2(outFd >= 0 ? outFd : devnull, 1);
  dup2(errFd >= 0 ? errFd : devnull, 2);
  if (outFd == kClosed) close(1);
  if (devnull > 2) close(devnull);
  if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(126);
  execve(argp[0], argp.data(), envp.data());
  _exit(127);
}

void fill(ProcessResult& result, int status) {
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
}

// Reads what is available on fd into `into`; false at end of file.
bool drain(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env, std::chrono::milliseconds limit,
                         const std::string& workingDir, StandardOutput output) {
  ProcessResult result;
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    throw std::runtime_error("pipe failed");
  }
  if (output == StandardOutput::BrokenPipe) {
    // Nothing will ever read it: the child's first write meets a closed pipe.
    close(outPipe[0]);
    outPipe[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  const Clock::time_point start = Clock::now();
  const pid_t pid = spawn(argv, env, output == StandardOutput::Closed ? kClosed : outPipe[1], errPipe[1], workingDir);
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    throw std::runtime_error("fork failed");
  }
  fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
  fcntl(errPipe[0], F_SETFL, O_NONBLOCK);

  // Reads until the child has ended; a daemon it left behind may keep the
  // pipes open, so the end of the child, not the end of file, ends the wait.
  bool outOpen = true;
  bool errOpen = true;
  int status = 0;
  bool reaped = false;
  while (!reaped) {
    pollfd fds[2];
    nfds_t watched = 0;
    if (outOpen) fds[watched++] = {outPipe[0], POLLIN, 0};
    if (errOpen) fds[watched++] = {errPipe[0], POLLIN, 0};
    poll(fds, watched, watched > 0 ? 20 : 1);
    if (outOpen) outOpen = drain(outPipe[0], result.out);
    if (errOpen) errOpen = drain(errPipe[0], result.err);
    if (waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
    } else if (Clock::now() - start > limit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      reaped = true;
    }
  }
  if (outOpen) drain(outPipe[0], result.out);
  if (errOpen) drain(errPipe[0], result.err);
  close(outPipe[0]);
  close(errPipe[0]);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  fill(result, status);
  return result;
}

pid_t startProcess(const std::vector<std::string>& argv, const Environment& env, const std::string& outputPath) {
  int outFd = -1;
  if (!outputPath.empty()) {
    outFd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (outFd < 0) return -1;
  }
  const pid_t pid = spawn(argv, env, outFd, outFd);
  if (outFd >= 0) close(outFd);
  return pid;
}

int terminateProcess(pid_t pid, std::chrono::milliseconds limit) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  const Clock::time_point deadline = Clock::now() + limit;
  int status = 0;
  pid_t got = 0;
  while ((got = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (got == 0) {
    kill(pid, SIGKILL);
    got = waitpid(pid, &status, 0);
  }
  return got == pid ? status : -1;
}

}  // namespace common::test
