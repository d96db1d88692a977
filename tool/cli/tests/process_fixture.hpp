// Test helpers that run programs as processes: capture a run's standard
// output, standard error and exit code, and keep a flashsim daemon in a
// fresh temporary directory for the length of a test.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace testfixture {

struct ProcessResult {
  bool exited = false;    // ended by itself (not killed by a signal)
  int exitCode = -1;      // when exited
  int signal = 0;         // when killed by a signal
  bool timedOut = false;  // killed by runProcess after the time limit
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// What the child's standard output is.
enum class StandardOutput {
  Captured,    // a pipe read into ProcessResult::out
  Closed,      // descriptor 1 is not open
  BrokenPipe,  // a pipe whose reading end is already closed
};

// Runs argv[0] (a path) with the arguments, adding or replacing the given
// environment variables, in `workingDir` (empty: ours), and waits at most
// `limit` before killing it.
ProcessResult runProcess(const std::vector<std::string>& argv, const Environment& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60),
                         const std::string& workingDir = {},
                         StandardOutput output = StandardOutput::Captured);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "kestrin-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A flashsim daemon serving the given devices (SPEC strings such as
// "E:version=ZANQ006GAD") from its own temporary directory. Point the tool at
// it with KESTRIN_DEVICE_DIR=dir(). Stopped and cleaned up on destruction.
class Flashsim {
 public:
  Flashsim(std::string flashsimPath, const std::vector<std::string>& specs);
  ~Flashsim();
  Flashsim(const Flashsim&) = delete;
  Flashsim& operator=(const Flashsim&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& dir() const { return dir_.path(); }
  // The daemon's output so far (it writes to a log file in its directory).
  std::string log() const;

  // `flashsim VERB --dir DIR ARGS...`
  ProcessResult control(const std::string& verb, const std::vector<std::string>& args = {}) const;
  bool plug(const std::string& spec) const { return control("plug", {spec}).exitCode == 0; }
  bool unplug(char letter) const { return control("unplug", {std::string(1, letter)}).exitCode == 0; }
  bool fault(char letter, const std::vector<std::string>& keyValues) const;
  std::vector<std::string> trace(char letter) const;  // one line per command received

  // The environment that points a tool run at this daemon's devices.
  Environment environment() const { return {{"KESTRIN_DEVICE_DIR", dir()}}; }

 private:
  void stop();

  std::string path_;
  TempDir dir_;
  int pid_ = -1;
};

// Splits text into lines (without their line ends).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace testfixture
