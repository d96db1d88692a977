// A minimal USB/IP client for the tests and benchmarks: import a device,
// submit and unlink URBs, run Bulk-Only commands.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_order.hpp"
#include "common/sim_wire.hpp"
#include "flashsim/usb_device.hpp"
#include "flashsim/usbip.hpp"

namespace flashsim::usbiptest {

using Bytes = std::vector<std::uint8_t>;
using usbip::UrbHeader;

struct Ret {
  bool answered = false;  // false: the link closed or nothing came in time
  std::int32_t status = 0;
  std::uint32_t actual = 0;
  Bytes data;
};

class Client {
 public:
  explicit Client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  bool send(const Bytes& b) { return wire::writeAll(fd_, b.data(), b.size()); }
  std::optional<Bytes> read(std::size_t n, int ms = 3000) {
    Bytes b(n);
    const auto r = wire::readAllBy(fd_, b.data(), n, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
    return r == wire::ReadResult::Ok ? std::optional<Bytes>(b) : std::nullopt;
  }
  // True when the server closed the connection (nothing more arrives).
  bool closedByPeer() {
    std::uint8_t b = 0;
    return wire::readAllBy(fd_, &b, 1, std::chrono::steady_clock::now() + std::chrono::seconds(3)) ==
           wire::ReadResult::Closed;
  }

  static Bytes op(std::uint16_t code) {
    const auto h = usbip::encodeOp({usbip::kVersion, code, 0});
    return Bytes(h.begin(), h.end());
  }
  std::uint32_t import(const std::string& busId) {
    Bytes req = op(usbip::kReqImport);
    Bytes id(usbip::kBusIdSize, 0);
    std::copy(busId.begin(), busId.end(), id.begin());
    req.insert(req.end(), id.begin(), id.end());
    send(req);
    const auto head = read(usbip::kOpHeaderSize);
    if (!head) {
      return 0xFFFFFFFFU;
    }
    const usbip::OpHeader h = usbip::decodeOp(head->data());
    if (h.status == 0) {
      record = read(usbip::kDeviceRecordSize).value_or(Bytes{});
    }
    return h.status;
  }

  std::uint32_t sendSubmit(std::uint8_t ep, bool in, std::uint32_t length, const Bytes& setup = {},
                           const Bytes& out = {}) {
    UrbHeader h;
    h.w[UrbHeader::Command] = usbip::kCmdSubmit;
    h.w[UrbHeader::Seqnum] = ++seq_;
    h.w[UrbHeader::DevId] = 0x10005;
    h.w[UrbHeader::Direction] = in ? usbip::kDirIn : usbip::kDirOut;
    h.w[UrbHeader::Endpoint] = ep;
    h.w[UrbHeader::Arg1] = length;
    std::copy(setup.begin(), setup.end(), h.setup.begin());
    const auto bytes = usbip::encodeUrb(h);
    Bytes msg(bytes.begin(), bytes.end());
    msg.insert(msg.end(), out.begin(), out.end());
    send(msg);
    return seq_;
  }
  Ret receive(std::uint32_t command, std::uint32_t seqnum, bool in, int ms = 3000) {
    Ret r;
    const auto head = read(usbip::kUrbHeaderSize, ms);
    if (!head) {
      return r;
    }
    const UrbHeader h = usbip::decodeUrb(head->data());
    if (h.w[UrbHeader::Command] != command || h.w[UrbHeader::Seqnum] != seqnum) {
      return r;
    }
    r.status = static_cast<std::int32_t>(h.w[UrbHeader::Arg0]);
    r.actual = h.w[UrbHeader::Arg1];
    if (in && command == usbip::kRetSubmit && r.actual > 0) {
      const auto data = read(r.actual);
      if (!data) {
        return r;
      }
      r.data = *data;
    }
    r.answered = true;
    return r;
  }
  Ret submit(std::uint8_t ep, bool in, std::uint32_t length, const Bytes& setup = {}, const Bytes& out = {}) {
    const std::uint32_t s = sendSubmit(ep, in, length, setup, out);
    return receive(usbip::kRetSubmit, s, in);
  }
  Ret control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
              std::uint16_t length) {
    const Bytes setup{type, request, Host16(value)[0], Host16(value)[1], Host16(index)[0], Host16(index)[1],
                      Host16(length)[0], Host16(length)[1]};
    return submit(0, (type & 0x80) != 0, length, setup);
  }
  Ret unlink(std::uint32_t target) {
    UrbHeader h;
    h.w[UrbHeader::Command] = usbip::kCmdUnlink;
    h.w[UrbHeader::Seqnum] = ++seq_;
    h.w[UrbHeader::Arg0] = target;
    const auto bytes = usbip::encodeUrb(h);
    send(Bytes(bytes.begin(), bytes.end()));
    return receive(usbip::kRetUnlink, seq_, false);
  }

  // One Bulk-Only command: CBW, data stage (in: `length` asked; out: `out`
  // sent), CSW. Gives the data and the CSW's status and residue.
  struct Command {
    Ret data;
    int cswStatus = -1;  // -1: no valid CSW
    std::uint32_t residue = 0;
  };
  Command command(const Bytes& cdb, std::uint8_t flags, std::uint32_t length, const Bytes& out = {},
                  std::uint32_t inAsked = 0xFFFFFFFFU) {
    Command c;
    if (!submit(usb::kBulkOutEndpoint, false, usb::kCbwSize, {}, cbw(cdb, flags, length)).answered) {
      return c;
    }
    if (length > 0) {
      const bool in = (flags & 0x80) != 0;
      c.data = in ? submit(usb::kBulkInEndpoint, true, inAsked == 0xFFFFFFFFU ? length : inAsked)
                  : submit(usb::kBulkOutEndpoint, false, static_cast<std::uint32_t>(out.size()), {}, out);
    }
    const Ret csw = submit(usb::kBulkInEndpoint, true, usb::kCswSize);
    if (csw.answered && csw.data.size() == usb::kCswSize && byteorder::getLe32(csw.data.data()) == usb::kCswSignature &&
        byteorder::getLe32(csw.data.data() + 4) == tag_) {
      c.cswStatus = csw.data[12];
      c.residue = byteorder::getLe32(csw.data.data() + 8);
    }
    return c;
  }
  Bytes cbw(const Bytes& cdb, std::uint8_t flags, std::uint32_t length) {
    Bytes b(usb::kCbwSize, 0);
    byteorder::putLe32(b.data(), usb::kCbwSignature);
    byteorder::putLe32(b.data() + 4, ++tag_);
    byteorder::putLe32(b.data() + 8, length);
    b[12] = flags;
    b[14] = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), b.begin() + 15);
    return b;
  }
  // Enumerates as a host does and selects the configuration.
  bool configure() { return control(0x00, 9, 1, 0, 0).status == 0; }
  // Bulk-Only reset recovery: class reset, then both halts cleared.
  bool resetRecovery() {
    return control(0x21, 0xFF, 0, 0, 0).status == 0 && control(0x02, 1, 0, 0x81, 0).status == 0 &&
           control(0x02, 1, 0, 0x02, 0).status == 0;
  }

  static std::array<std::uint8_t, 2> Host16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  }

  int fd() const { return fd_; }
  Bytes record;

 private:
  int fd_ = -1;
  std::uint32_t seq_ = 0;
  std::uint32_t tag_ = 0;
};

}  // namespace flashsim::usbiptest
