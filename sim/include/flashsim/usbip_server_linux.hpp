// Serves plugged flashsim devices as USB devices over USB/IP: on a TCP
// address for `usbip list` / `usbip attach`, and straight to the local
// vhci-hcd driver through a socket pair (root).
//
// Bus IDs are fixed per drive letter: "1-N" with N = 1 for A ... 26 for Z
// (bus 1, device number N), so device E is always 1-5.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/deadline_io.hpp"
#include "common/result.hpp"
#include "flashsim/connection_threads_linux.hpp"
#include "flashsim/device.hpp"

namespace flashsim {

class UsbipServer {
 public:
  // A peer's first request, and each URB once it has begun (the rest of it
  // and its answer), must move within `requestTimeout`; else the connection
  // is closed.
  static constexpr std::chrono::milliseconds kRequestTimeout{10000};
  explicit UsbipServer(std::chrono::milliseconds requestTimeout = kRequestTimeout);
  ~UsbipServer();
  UsbipServer(const UsbipServer&) = delete;
  UsbipServer& operator=(const UsbipServer&) = delete;

  // Listens on "[ADDR:]PORT" (IPv4; loopback when ADDR is left out; port 0
  // picks a free one).
  common::Result<void> listen(const std::string& where);
  std::uint16_t port() const { return port_; }

  // The devices it offers. Unplugging ends the device's USB/IP connection.
  void plug(char letter, std::shared_ptr<Device> device);
  void unplug(char letter);
  bool offers(char letter);  // plugged
  // Undoes the last plug of `letter` (an attach that failed): unplugged, the
  // letter offers `previous` again as it did before, with its serial number;
  // nothing when `previous` is null.
  void withdraw(char letter, const std::shared_ptr<Device>& previous);

  // Hands a plugged device to the local vhci-hcd driver
  // (usbip_local_attach_linux.cpp).
  common::Result<void> attachLocal(char letter);

  // Ends every connection and the listener.
  void stop();

  static std::string busId(char letter);
  static std::uint32_t devId(char letter);  // bus number << 16 | device number

 private:
  struct Offer;
  struct Connection;

  // Whether `letter` is plugged and not imported; else why not.
  common::Result<void> attachable(char letter);
  void acceptLoop();
  // A refused connection is closed.
  common::Result<void> startConnection(int fd, char importedLetter);
  void serveAndRelease(Connection& c);
  void serve(Connection& c);
  bool import(Connection& c, common::deadline_io::TimedSocket& link);
  // The first request of connection `fd` has come whole: no longer waiting.
  // False when the connection was closed meanwhile for taking too long.
  bool firstRequestArrived(int fd);
  // Closes the connections whose first request has been on its way for `limit`.
  void closeSlowRequests(std::chrono::milliseconds limit);
  void listDevices(common::deadline_io::TimedSocket& link, const common::deadline_io::Deadline& deadline);

  const std::chrono::milliseconds requestTimeout_;
  std::mutex mutex_;
  std::map<char, Offer> offers_;
  // The connections whose first request has not yet come whole, by socket,
  // with the time each was accepted.
  std::map<int, std::chrono::steady_clock::time_point> waiting_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  // Last, so it ends before what its threads use.
  ConnectionThreads connections_;
};

}  // namespace flashsim
