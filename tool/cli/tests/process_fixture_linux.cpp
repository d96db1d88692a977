#include "process_fixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testfixture {

namespace {

using Clock = std::chrono::steady_clock;

// The environment for a child: ours with `env` added or replaced.
std::vector<std::string> childEnvironment(const Environment& env) {
  std::set<std::string> replaced;
  for (const auto& [name, value] : env) replaced.insert(name);
  std::vector<std::string> result;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (replaced.count(name) == 0) result.push_back(entry);
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
// descriptors (-1: /dev/null; kClosed: not open) and standard input on /dev/null.
constexpr int kClosed = -2;
pid_t spawn(const std::vector<std::string>& argv, const Environment& env, int outFd, int errFd,
            const std::string& workingDir = {}) {
  std::vector<std::string> args = argv;
  std::vector<std::string> envStrings = childEnvironment(env);
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(envStrings);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here.
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

bool isSocket(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env,
                         std::chrono::milliseconds limit, const std::string& workingDir, StandardOutput output) {
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
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    poll(fds, 2, 20);
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

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Flashsim::Flashsim(std::string flashsimPath, const std::vector<std::string>& specs)
    : path_(std::move(flashsimPath)), dir_("flashsim") {
  std::vector<std::string> argv = {path_, "serve", "--dir", dir(), "--foreground"};
  std::vector<std::string> sockets = {dir() + "/.flashsim-control"};
  for (const std::string& spec : specs) {
    argv.push_back("--device");
    argv.push_back(spec);
    if (!spec.empty()) {
      sockets.push_back(dir() + "/sd" + static_cast<char>(std::tolower(static_cast<unsigned char>(spec[0]))));
    }
  }
  const int logFd = open((dir() + "/flashsim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = spawn(argv, {}, logFd, logFd);
  if (logFd >= 0) close(logFd);
  if (pid_ < 0) return;

  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    bool ready = true;
    for (const std::string& s : sockets) ready = ready && isSocket(s);
    if (ready) return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_ || Clock::now() > deadline) {
      if (Clock::now() > deadline) stop();
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Flashsim::~Flashsim() { stop(); }

void Flashsim::stop() {
  if (pid_ <= 0) return;
  control("stop", {});
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (Clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

std::string Flashsim::log() const {
  std::ifstream in(dir() + "/flashsim.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ProcessResult Flashsim::control(const std::string& verb, const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {path_, verb, "--dir", dir()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, {}, std::chrono::seconds(10));
}

bool Flashsim::fault(char letter, const std::vector<std::string>& keyValues) const {
  std::vector<std::string> args = {std::string(1, letter)};
  args.insert(args.end(), keyValues.begin(), keyValues.end());
  return control("fault", args).exitCode == 0;
}

std::vector<std::string> Flashsim::trace(char letter) const {
  return splitLines(control("trace", {std::string(1, letter)}).out);
}

}  // namespace testfixture
