#include "flashsim/testing/usbip_client_linux.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "common/byte_order.hpp"
#include "common/deadline_io.hpp"
#include "flashsim/usb_device.hpp"

namespace flashsim::test {

using common::deadline_io::Deadline;
using common::deadline_io::Io;

Client::Client(std::uint16_t port) {
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

Client::~Client() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool Client::send(const Bytes& b) {
  return common::deadline_io::TimedSocket(fd_).send(b.data(), b.size(), Deadline::never()) == Io::Ok;
}

std::optional<Bytes> Client::read(std::size_t n, int ms) {
  Bytes b(n);
  std::size_t got = 0;
  const Deadline deadline = Deadline::after(std::chrono::milliseconds(ms));
  return common::deadline_io::TimedSocket(fd_).receive(b.data(), n, n, deadline, got) == Io::Ok
             ? std::optional<Bytes>(b)
             : std::nullopt;
}

bool Client::closedByPeer() {
  std::uint8_t b = 0;
  std::size_t got = 0;
  return common::deadline_io::TimedSocket(fd_).receive(&b, 1, 1, Deadline::after(std::chrono::seconds(3)), got) ==
         Io::Closed;
}

Bytes Client::op(std::uint16_t code) {
  const auto h = usbip::encodeOp({usbip::kVersion, code, 0});
  return Bytes(h.begin(), h.end());
}

std::uint32_t Client::import(const std::string& busId) {
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

std::uint32_t Client::sendSubmit(std::uint8_t ep, bool in, std::uint32_t length, const Bytes& setup, const Bytes& out) {
  usbip::CmdSubmit h;
  h.basic = {usbip::kCmdSubmit, ++seq_, 0x10005, in ? usbip::kDirIn : usbip::kDirOut, ep};
  h.transferBufferLength = length;
  std::copy(setup.begin(), setup.end(), h.setup.begin());
  const auto bytes = usbip::encodeUrb(h);
  Bytes msg(bytes.begin(), bytes.end());
  msg.insert(msg.end(), out.begin(), out.end());
  send(msg);
  return seq_;
}

Ret Client::receive(std::uint32_t command, std::uint32_t seqnum, bool in, int ms) {
  Ret r;
  const auto head = read(usbip::kUrbHeaderSize, ms);
  if (!head) {
    return r;
  }
  const usbip::UrbBasic basic = usbip::decodeUrbBasic(head->data());
  if (basic.command != command || basic.seqnum != seqnum) {
    return r;
  }
  if (command == usbip::kRetUnlink) {
    r.status = usbip::decodeRetUnlink(head->data()).status;
    r.answered = true;
    return r;
  }
  const usbip::RetSubmit h = usbip::decodeRetSubmit(head->data());
  r.status = h.status;
  r.actual = h.actualLength;
  if (in && r.actual > 0) {
    const auto data = read(r.actual);
    if (!data) {
      return r;
    }
    r.data = *data;
  }
  r.answered = true;
  return r;
}

Ret Client::submit(std::uint8_t ep, bool in, std::uint32_t length, const Bytes& setup, const Bytes& out) {
  const std::uint32_t s = sendSubmit(ep, in, length, setup, out);
  return receive(usbip::kRetSubmit, s, in);
}

Ret Client::control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                    std::uint16_t length) {
  Bytes setup{type, request, 0, 0, 0, 0, 0, 0};
  common::byte_order::putLe16(setup.data() + 2, value);
  common::byte_order::putLe16(setup.data() + 4, index);
  common::byte_order::putLe16(setup.data() + 6, length);
  return submit(0, (type & 0x80) != 0, length, setup);
}

Ret Client::unlink(std::uint32_t target) {
  usbip::CmdUnlink h;
  h.basic.command = usbip::kCmdUnlink;
  h.basic.seqnum = ++seq_;
  h.unlinkSeqnum = target;
  const auto bytes = usbip::encodeUrb(h);
  send(Bytes(bytes.begin(), bytes.end()));
  return receive(usbip::kRetUnlink, seq_, false);
}

Client::Command Client::command(const Bytes& cdb, std::uint8_t flags, std::uint32_t length, const Bytes& out,
                                std::uint32_t inAsked) {
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
  if (csw.answered && csw.data.size() == usb::kCswSize &&
      common::byte_order::getLe32(csw.data.data()) == usb::kCswSignature &&
      common::byte_order::getLe32(csw.data.data() + 4) == tag_) {
    c.cswStatus = csw.data[12];
    c.residue = common::byte_order::getLe32(csw.data.data() + 8);
  }
  return c;
}

Bytes Client::cbw(const Bytes& cdb, std::uint8_t flags, std::uint32_t length) {
  Bytes b(usb::kCbwSize, 0);
  common::byte_order::putLe32(b.data(), usb::kCbwSignature);
  common::byte_order::putLe32(b.data() + 4, ++tag_);
  common::byte_order::putLe32(b.data() + 8, length);
  b[12] = flags;
  b[14] = static_cast<std::uint8_t>(cdb.size());
  std::copy(cdb.begin(), cdb.end(), b.begin() + 15);
  return b;
}

bool Client::configure() { return control(0x00, 9, 1, 0, 0).status == 0; }

bool Client::resetRecovery() {
  return control(0x21, 0xFF, 0, 0, 0).status == 0 && control(0x02, 1, 0, 0x81, 0).status == 0 &&
         control(0x02, 1, 0, 0x02, 0).status == 0;
}

}  // namespace flashsim::test
