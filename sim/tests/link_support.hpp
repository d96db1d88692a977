// Test helpers: a flashsim daemon in a fresh directory, the flashsim command
// line, and a host end of the emulator link.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/sim_wire.hpp"

namespace simtest {

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the flashsim program with `args` and waits for it.
ProgramRun flashsim(const std::vector<std::string>& args);

// A flashsim daemon in the foreground, as a child process, serving a fresh
// temporary directory. The destructor stops it and removes the directory.
class Daemon {
 public:
  // `devices` as --device values; `options` go on serve's command line too.
  explicit Daemon(const std::vector<std::string>& devices, const std::vector<std::string>& options = {});
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  bool ready() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  std::string socket(char letter) const { return dir_ + "/sd" + letter; }
  // flashsim CMD --dir DIR ARGS...
  ProgramRun control(const std::string& cmd, const std::vector<std::string>& args = {}) const;
  // Sends SIGTERM and returns the exit status (waitpid form), -1 on failure.
  int terminate();
  // What the daemon wrote to standard error so far.
  std::string errors() const;

 private:
  std::string dir_;
  std::string errorFile_;
  pid_t pid_ = -1;
};

std::string makeTempDir();
void removeTree(const std::string& dir);
std::vector<std::string> entries(const std::string& dir);  // names, "." and ".." left out
bool waitFor(const std::string& path, bool present, std::chrono::milliseconds limit);
// A free loopback TCP port (taken again at once by the daemon under test).
std::uint16_t freePort();
// A size line of /proc/PID/status ("VmRSS", "VmHWM", "VmSize") in KiB; -1 when unreadable.
long statusKiB(pid_t pid, const std::string& key);

struct Reply {
  enum class Kind { Answered, Closed, Partial, TimedOut } kind = Kind::Closed;
  std::uint8_t scsiStatus = 0;
  std::vector<std::uint8_t> data;
};

class Link {
 public:
  explicit Link(const std::string& path);  // connected() tells whether it worked; err() the errno
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  bool connected() const { return fd_ >= 0; }
  int err() const { return errno_; }
  int fd() const { return fd_; }

  Reply send(const std::vector<std::uint8_t>& cdb, wire::Direction dir, std::uint32_t length,
             const std::vector<std::uint8_t>& dataOut = {},
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Status commands: the status byte, or -1 when none came back.
  int status(const std::vector<std::uint8_t>& cdb);
  std::vector<std::uint8_t> readX(std::uint16_t address, std::uint32_t n);
  bool writeX(std::uint16_t address, const std::vector<std::uint8_t>& bytes);

 private:
  int fd_ = -1;
  int errno_ = 0;
};

std::vector<std::uint8_t> programCdb(std::uint32_t page);
std::vector<std::uint8_t> readPageCdb(std::uint32_t page);
std::vector<std::uint8_t> eraseCdb(std::uint16_t block);

}  // namespace simtest
