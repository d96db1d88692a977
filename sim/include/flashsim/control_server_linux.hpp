// The flashsim daemon: serves each plugged device as a Unix-domain socket
// DIR/sd<letter> (device_link_linux.hpp), and over USB/IP when asked, and
// takes the control commands (control_commands_linux.hpp) on
// DIR/.flashsim-control.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "flashsim/connection_threads_linux.hpp"
#include "flashsim/device.hpp"
#include "flashsim/profile_text.hpp"
#include "flashsim/usbip_server_linux.hpp"

namespace flashsim {

// Bounds that keep one client from taking the daemon's threads, memory or
// attention: connections over a bound are closed at once, with a line on
// standard error.
inline constexpr std::size_t kMaxDeviceConnections = 8;    // per device, each a thread
inline constexpr std::size_t kMaxControlConnections = 32;  // control requests in progress
// A control request must arrive whole within this time, and its answer must
// move on at least this often; else the connection is closed.
inline constexpr std::chrono::seconds kControlTimeout{5};

class Server {
 public:
  explicit Server(std::string dir);  // an absolute path of an existing directory
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Creates the control socket.
  common::Result<void> openControl();
  // Plugs a device: a new one, or with a bare letter the previous device of
  // that letter (a fresh default device when there was none).
  common::Result<void> plug(const DeviceArgument& device);
  common::Result<void> unplug(char letter);
  // Undoes a plug of `letter` (an attach that failed): unplugs it and gives
  // it back `previous`, its device before that plug (none when null).
  void withdraw(char letter, const std::shared_ptr<Device>& previous);
  // The device of a letter, plugged or not (for inspection).
  common::Result<std::shared_ptr<Device>> device(const std::string& letterWord);
  // The plugged devices as USB devices (USB/IP and the local attach).
  UsbipServer& usbip() { return usbip_; }
  // Ends run() once the current control request has been answered.
  void requestStop() { stopRequested_ = true; }

  // Serves control connections until SIGTERM, SIGINT or `stop`; then unplugs
  // every device and removes the control socket.
  void run();

  // Install before the threads start: SIGTERM and SIGINT end run().
  static common::Result<void> installSignalHandlers();

 private:
  struct Slot;
  struct ControlClient;

  // The output bytes of one control request.
  common::Result<std::string> runControl(const std::vector<std::string>& words);
  bool serveControlClient(ControlClient& client, short revents);
  void shutdownAll();

  const std::string dir_;
  int controlFd_ = -1;
  bool stopRequested_ = false;
  std::mutex mutex_;  // the slot table, plug and unplug
  std::map<char, std::unique_ptr<Slot>> slots_;
  RefusalTally controlRefusals_;
  UsbipServer usbip_;
};

}  // namespace flashsim
