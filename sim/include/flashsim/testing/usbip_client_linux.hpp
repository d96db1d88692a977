// A minimal USB/IP client for the tests and the benchmark: import a device,
// submit and unlink URBs, run Bulk-Only commands. Its I/O waits by the
// deadlines of common/deadline_io.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flashsim/usbip.hpp"

namespace flashsim::test {

using Bytes = std::vector<std::uint8_t>;

// What came back for a URB.
struct Ret {
  bool answered = false;  // false: the link closed or nothing came in time
  std::int32_t status = 0;
  std::uint32_t actual = 0;
  Bytes data;
};

class Client {
 public:
  explicit Client(std::uint16_t port);  // connects to the loopback address; fd() < 0 when that failed
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool send(const Bytes& b);
  std::optional<Bytes> read(std::size_t n, int ms = 3000);
  // True when the server closed the connection (nothing more arrives).
  bool closedByPeer();

  // An operation header (before import) with `code`.
  static Bytes op(std::uint16_t code);
  // Imports `busId`: the status of the answer (0xFFFFFFFF when none came);
  // on success the device record in `record`.
  std::uint32_t import(const std::string& busId);

  // A CMD_SUBMIT; its seqnum.
  std::uint32_t sendSubmit(std::uint8_t ep, bool in, std::uint32_t length, const Bytes& setup = {},
                           const Bytes& out = {});
  // The answer to seqnum: RET_SUBMIT (with its in data) or RET_UNLINK.
  Ret receive(std::uint32_t command, std::uint32_t seqnum, bool in, int ms = 3000);
  Ret submit(std::uint8_t ep, bool in, std::uint32_t length, const Bytes& setup = {}, const Bytes& out = {});
  Ret control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index, std::uint16_t length);
  Ret unlink(std::uint32_t target);

  // One Bulk-Only command: CBW, data stage (in: `length` asked; out: `out`
  // sent), CSW. Gives the data and the CSW's status and residue.
  struct Command {
    Ret data;
    int cswStatus = -1;  // -1: no valid CSW
    std::uint32_t residue = 0;
  };
  Command command(const Bytes& cdb, std::uint8_t flags, std::uint32_t length, const Bytes& out = {},
                  std::uint32_t inAsked = 0xFFFFFFFFU);
  Bytes cbw(const Bytes& cdb, std::uint8_t flags, std::uint32_t length);
  // Enumerates as a host does and selects the configuration.
  bool configure();
  // Bulk-Only reset recovery: class reset, then both halts cleared.
  bool resetRecovery();

  int fd() const { return fd_; }
  Bytes record;

 private:
  int fd_ = -1;
  std::uint32_t seq_ = 0;
  std::uint32_t tag_ = 0;
};

}  // namespace flashsim::test
