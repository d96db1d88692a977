// A flashsim daemon for a test: serving its devices from a temporary folder
// of its own, plugged and unplugged and asked through flashsim's command
// line, stopped and removed with the folder when the test is done. For the
// tests of the emulator, the command tool and the station alike.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/testing/child_process.hpp"
#include "common/testing/temp_dir.hpp"

namespace flashsim::test {

using common::test::Environment;
using common::test::ProcessResult;
using common::test::TempDir;

// Runs the flashsim program as built with `args` and waits for it.
ProcessResult runFlashsim(const std::vector<std::string>& args);

// A free loopback TCP port, for `--usbip 127.0.0.1:PORT` (taken again at
// once by the daemon under test).
std::uint16_t freeTcpPort();

class FlashsimDaemon {
 public:
  // `flashsim serve --foreground` with a --device for each of `devices`
  // (DEVICE strings such as "E:version=ZANQ006GAD") and `serveOptions` on
  // its command line too (e.g. --usbip ADDR:PORT). Returns once the control
  // socket and every device's socket are there; running() is false when the
  // daemon did not get that far (log() says why).
  explicit FlashsimDaemon(const std::vector<std::string>& devices = {},
                          const std::vector<std::string>& serveOptions = {});
  ~FlashsimDaemon();  // terminate(), then the folder goes
  FlashsimDaemon(const FlashsimDaemon&) = delete;
  FlashsimDaemon& operator=(const FlashsimDaemon&) = delete;

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The served directory: the daemon's sockets and nothing else.
  const std::string& dir() const { return dir_; }
  std::string socket(char letter) const;  // the device socket of a drive letter
  // What the daemon wrote to standard output and error so far.
  std::string log() const;

  // `flashsim VERB --dir DIR ARGS...`
  ProcessResult control(const std::string& verb, const std::vector<std::string>& args = {}) const;
  bool plug(const std::string& device) const { return control("plug", {device}).exitCode == 0; }
  bool unplug(char letter) const { return control("unplug", {std::string(1, letter)}).exitCode == 0; }
  bool fault(char letter, const std::vector<std::string>& keyValues) const;
  std::vector<std::string> trace(char letter) const;  // one line per command received

  // The environment that points the command tool at this daemon's devices.
  Environment environment() const { return {{"KESTRIN_DEVICE_DIR", dir_}}; }

  // Sends SIGTERM and waits for the daemon to end (killing it when it takes
  // too long): its status as waitpid gives it, -1 when it was not running.
  int terminate();

 private:
  TempDir root_;  // the served directory and the log
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace flashsim::test
