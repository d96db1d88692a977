// What the emulator's daemon tests use beside the daemon itself
// (flashsim_daemon_linux.hpp): a host end of the emulator link, the CDBs of
// the page commands, and looks at the served directory and the daemon's
// memory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/sim_wire.hpp"
#include "flashsim/testing/flashsim_daemon_linux.hpp"

namespace flashsim::test {

std::vector<std::string> entries(const std::string& dir);  // names, "." and ".." left out
bool waitFor(const std::string& path, bool present, std::chrono::milliseconds limit);
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

  Reply send(const std::vector<std::uint8_t>& cdb, common::sim_wire::Direction dir, std::uint32_t length,
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

}  // namespace flashsim::test
