// The flashsim daemon: serves each plugged device as a Unix-domain socket
// DIR/sd<letter> and takes commands on DIR/.flashsim-control.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "flashsim/device.hpp"
#include "flashsim/profile_text.hpp"

namespace flashsim {

inline constexpr const char* kControlName = ".flashsim-control";

class Server {
 public:
  explicit Server(std::string dir);  // an absolute path of an existing directory
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Creates the control socket. Returns an error text, empty on success.
  std::string openControl();
  // Plugs a device: a new one, or with a bare letter the previous device of
  // that letter (a fresh default device when there was none).
  std::string plug(const DeviceArgument& device);
  std::string unplug(char letter);

  // Serves control connections until SIGTERM, SIGINT or `stop`; then unplugs
  // every device and removes the control socket.
  void run();

  // Install before the threads start: SIGTERM and SIGINT end run().
  static std::string installSignalHandlers();

 private:
  struct Slot;
  struct Connection;

  void handleControl(int fd);
  std::string controlCommand(const std::vector<std::string>& words, std::string& payload,
                             bool& stop);
  std::shared_ptr<Device> deviceFor(const std::string& word, std::string& error);
  void shutdownAll();

  const std::string dir_;
  int controlFd_ = -1;
  std::mutex mutex_;  // the slot table, plug and unplug
  std::map<char, std::unique_ptr<Slot>> slots_;
};

// Sends one control command to the daemon serving `dir`. On success returns
// true with the payload; else false with the error text.
bool sendControl(const std::string& dir, const std::vector<std::string>& words,
                 std::string& payload, std::string& error);

}  // namespace flashsim
