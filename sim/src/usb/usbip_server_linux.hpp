// Serves plugged flashsim devices as USB devices over USB/IP: on a TCP
// address for `usbip list` / `usbip attach`, and straight to the local
// vhci-hcd driver through a socket pair (root).
//
// Bus IDs are fixed per drive letter: "1-N" with N = 1 for A ... 26 for Z
// (bus 1, device number N), so device E is always 1-5.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "connection_threads_linux.hpp"
#include "flashsim/device.hpp"

namespace flashsim {

class UsbipServer {
 public:
  UsbipServer();
  ~UsbipServer();
  UsbipServer(const UsbipServer&) = delete;
  UsbipServer& operator=(const UsbipServer&) = delete;

  // Listens on "[ADDR:]PORT" (IPv4; loopback when ADDR is left out; port 0
  // picks a free one). Returns an error text, empty on success.
  std::string listen(const std::string& where);
  std::uint16_t port() const { return port_; }

  // The devices it offers. Unplugging ends the device's USB/IP connection.
  void plug(char letter, std::shared_ptr<Device> device);
  void unplug(char letter);
  bool offers(char letter);  // plugged

  // Hands a plugged device to the local vhci-hcd driver. Returns an error
  // text, empty on success.
  std::string attachLocal(char letter);

  // Ends every connection and the listener.
  void stop();

  static std::string busId(char letter);

 private:
  struct Offer;
  struct Connection;

  void acceptLoop();
  // An error text, empty on success; a refused connection is closed.
  std::string startConnection(int fd, char importedLetter);
  void serveAndRelease(Connection& c);
  void serve(Connection& c);
  bool import(Connection& c);
  void listDevices(int fd);

  std::mutex mutex_;
  std::map<char, Offer> offers_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::thread acceptThread_;
  // Last, so it ends before what its threads use.
  ConnectionThreads connections_;
};

}  // namespace flashsim
