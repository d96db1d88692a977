#include "flashsim/usbip_server_linux.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/byte_order.hpp"
#include "daemon/daemon_log_linux.hpp"
#include "flashsim/usb_device.hpp"
#include "flashsim/usbip.hpp"

namespace flashsim {
namespace {

using common::Result;

using common::deadline_io::Deadline;
using common::deadline_io::Io;
using common::deadline_io::TimedSocket;

constexpr std::size_t kMaxConnections = 64;
// While every connection is taken and another peer waits to connect, a
// connection gets this long for its first request.
constexpr std::chrono::milliseconds kScarceRequestTimeout{500};
constexpr std::size_t kMaxHeldUrbs = 64;
// An OUT buffer grown beyond this is given back after its URB.
constexpr std::size_t kKeptDataOut = 64 * 1024;
constexpr std::uint32_t kBusNum = 1;

void log(const std::string& text) { logLine("usbip: %s", text.c_str()); }

std::uint32_t devNum(char letter) { return static_cast<std::uint32_t>(letter - 'a' + 1); }

// Unique per device: the daemon's process, the letter and how many devices
// that letter has had; unless the profile names one.
std::string serialNumber(char letter, unsigned generation, const Device& device) {
  char serial[32];
  std::snprintf(serial, sizeof serial, "%06X%02X%04X", static_cast<unsigned>(::getpid()) & 0xFFFFFFU,
                static_cast<unsigned>(devNum(letter)), generation & 0xFFFFU);
  return device.profile().usbSerial.empty() ? serial : device.profile().usbSerial;
}

// A device as the device list and the import describe it: its record, and
// with `interfaces` its interface's entry after it.
std::vector<std::uint8_t> exportRecord(char letter, const Device& device, bool interfaces) {
  usbip::ExportedDevice d;
  d.busId = UsbipServer::busId(letter);
  d.path = "/sys/devices/flashsim/usb1/" + d.busId;
  d.busNum = kBusNum;
  d.devNum = devNum(letter);
  d.vendorId = device.profile().usbVendorId;
  d.productId = device.profile().usbProductId;
  d.release = usb::kDeviceRelease;
  d.interfaceClass = {usb::kMassStorageInterface.bInterfaceClass, usb::kMassStorageInterface.bInterfaceSubClass,
                      usb::kMassStorageInterface.bInterfaceProtocol};
  return usbip::encodeDevice(d, interfaces);
}

}  // namespace

struct UsbipServer::Offer {
  std::shared_ptr<Device> device;
  std::string serial;
  bool plugged = false;
  int userFd = -1;          // the socket of the connection that imported it, -1 for none
  unsigned generation = 0;  // new devices under this letter so far
};

struct UsbipServer::Connection {
  int fd = -1;
  char letter = 0;  // the imported device, 0 before import
  std::shared_ptr<Device> device;
  std::string serial;
};

UsbipServer::UsbipServer(std::chrono::milliseconds requestTimeout)
    : requestTimeout_(requestTimeout),
      connections_(kMaxConnections, [](ConnectionThreads::Event why, const char* what, std::size_t count) {
        log(ConnectionThreads::describe(why, what, count));
      }) {}

UsbipServer::~UsbipServer() { stop(); }

std::string UsbipServer::busId(char letter) { return std::to_string(kBusNum) + "-" + std::to_string(devNum(letter)); }

std::uint32_t UsbipServer::devId(char letter) { return kBusNum << 16 | devNum(letter); }

Result<void> UsbipServer::listen(const std::string& where) {
  std::string host = "127.0.0.1";
  std::string portText = where;
  const std::size_t colon = where.rfind(':');
  if (colon != std::string::npos) {
    host = where.substr(0, colon);
    portText = where.substr(colon + 1);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  const bool digits = !portText.empty() && portText.size() <= 5 &&
                      std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || std::stoul(portText) > 65535) {
    return common::Failure{"the USB/IP port must be a number from 0 to 65535: '" + where + "'"};
  }
  addr.sin_port = htons(static_cast<std::uint16_t>(std::stoul(portText)));
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    return common::Failure{"the USB/IP address must be an IPv4 address: '" + host + "'"};
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return common::Failure{std::string("socket: ") + std::strerror(errno)};
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Peers wait in the listen queue while every connection is taken.
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    common::Failure<std::string> failure{"USB/IP on " + host + ":" + portText + ": " + std::strerror(errno)};
    ::close(fd);
    return failure;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listenFd_ = fd;
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return {};
}

void UsbipServer::plug(char letter, std::shared_ptr<Device> device) {
  std::lock_guard lock(mutex_);
  Offer& o = offers_[letter];
  if (o.device != device) {
    o.device = std::move(device);
    o.serial = serialNumber(letter, ++o.generation, *o.device);
  }
  o.plugged = true;
}

void UsbipServer::withdraw(char letter, const std::shared_ptr<Device>& previous) {
  unplug(letter);
  std::lock_guard lock(mutex_);
  auto it = offers_.find(letter);
  if (it == offers_.end() || it->second.device == previous) {
    return;
  }
  if (!previous) {
    offers_.erase(it);
    return;
  }
  Offer& o = it->second;
  o.device = previous;
  o.serial = serialNumber(letter, --o.generation, *o.device);
}

void UsbipServer::unplug(char letter) {
  std::lock_guard lock(mutex_);
  auto it = offers_.find(letter);
  if (it != offers_.end()) {
    it->second.plugged = false;
    // Only the importing connection serves the device (a connection that
    // ends gives it back before its socket closes).
    if (it->second.userFd >= 0) {
      ::shutdown(it->second.userFd, SHUT_RDWR);  // the host sees the device disconnected
    }
    it->second.userFd = -1;
  }
}

Result<void> UsbipServer::attachable(char letter) {
  std::lock_guard lock(mutex_);
  auto it = offers_.find(letter);
  if (it == offers_.end() || !it->second.plugged) {
    return common::Failure{std::string("device ") + letter + " is not plugged"};
  }
  if (it->second.userFd >= 0) {
    return common::Failure{std::string("device ") + letter + " is attached already"};
  }
  return {};
}

bool UsbipServer::offers(char letter) {
  std::lock_guard lock(mutex_);
  const auto it = offers_.find(letter);
  return it != offers_.end() && it->second.plugged;
}

void UsbipServer::stop() {
  stopping_ = true;
  if (listenFd_ >= 0) {
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
  }
  connections_.endAll();  // not under mutex_: the ending connections take it
}

void UsbipServer::acceptLoop() {
  while (!stopping_) {
    if (connections_.count() >= kMaxConnections) {
      // Every connection is taken: a peer that comes waits in the listen
      // queue, and those slow with their first request make room for it.
      pollfd queued{listenFd_, POLLIN, 0};
      if (::poll(&queued, 1, 0) > 0 && (queued.revents & POLLIN) != 0) {
        closeSlowRequests(kScarceRequestTimeout);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;  // one answer per request: no waiting for more bytes to send
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      (void)startConnection(fd, 0);  // a refused connection is closed and logged
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) {
      continue;
    }
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    return;  // shut down by stop()
  }
}

Result<void> UsbipServer::startConnection(int fd, char importedLetter) {
  std::lock_guard lock(mutex_);
  Connection c;
  c.fd = fd;
  if (importedLetter != 0) {
    Offer& o = offers_[importedLetter];
    if (o.userFd >= 0) {  // imported over the network meanwhile
      ::close(fd);
      return common::Failure{std::string("device ") + importedLetter + " is attached already"};
    }
    c.letter = importedLetter;
    c.device = o.device;
    c.serial = o.serial;
  } else {
    waiting_[fd] = std::chrono::steady_clock::now();
  }
  if (!connections_.start(fd, [this, c = std::move(c)](int) mutable { serveAndRelease(c); })) {
    waiting_.erase(fd);
    return common::Failure{"too many USB/IP connections, or no thread for another"};
  }
  if (importedLetter != 0) {
    offers_[importedLetter].userFd = fd;
  }
  return {};
}

bool UsbipServer::firstRequestArrived(int fd) {
  std::lock_guard lock(mutex_);
  return waiting_.erase(fd) == 1;
}

void UsbipServer::closeSlowRequests(std::chrono::milliseconds limit) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (now - it->second >= limit) {
      ::shutdown(it->first, SHUT_RDWR);  // its thread ends and gives back the connection
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
}

void UsbipServer::serveAndRelease(Connection& c) {
  const auto release = [&] {
    std::lock_guard lock(mutex_);
    waiting_.erase(c.fd);
    auto it = offers_.find(c.letter);
    if (it != offers_.end() && it->second.userFd == c.fd) {
      it->second.userFd = -1;
    }
  };
  try {
    serve(c);
  } catch (...) {
    release();
    throw;  // the connection threads report it and close only this connection
  }
  release();
}

void UsbipServer::listDevices(TimedSocket& link, const Deadline& deadline) {
  std::vector<std::uint8_t> out;
  std::uint32_t count = 0;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [letter, o] : offers_) {
      if (!o.plugged) {
        continue;
      }
      ++count;
      const auto record = exportRecord(letter, *o.device, true);
      out.insert(out.end(), record.begin(), record.end());
    }
  }
  const auto head = usbip::encodeOp({usbip::kVersion, usbip::kRepDevlist, usbip::kStatusOk});
  std::vector<std::uint8_t> reply(head.begin(), head.end());
  reply.resize(reply.size() + 4);
  common::byte_order::putBe32(reply.data() + usbip::kOpHeaderSize, count);
  reply.insert(reply.end(), out.begin(), out.end());
  link.send(reply.data(), reply.size(), deadline);
}

// The operation before import. True when a device was imported.
bool UsbipServer::import(Connection& c, TimedSocket& link) {
  const Deadline deadline = Deadline::after(requestTimeout_);
  std::uint8_t raw[usbip::kOpHeaderSize];
  std::size_t got = 0;
  if (link.receive(raw, sizeof raw, sizeof raw, deadline, got) != Io::Ok) {
    return false;
  }
  const usbip::OpHeader op = usbip::decodeOp(raw);
  char busIdBytes[usbip::kBusIdSize];
  if (op.code == usbip::kReqImport &&
      link.receive(busIdBytes, sizeof busIdBytes, sizeof busIdBytes, deadline, got) != Io::Ok) {
    return false;
  }
  if (!firstRequestArrived(c.fd)) {
    return false;
  }
  if (op.code == usbip::kReqDevlist) {
    listDevices(link, deadline);
    return false;
  }
  if (op.code != usbip::kReqImport) {
    log("unknown request; closing the connection");
    return false;
  }
  const std::string wanted(busIdBytes, strnlen(busIdBytes, sizeof busIdBytes));
  std::uint32_t status = usbip::kStatusNoDevice;
  std::vector<std::uint8_t> record;
  {
    std::lock_guard lock(mutex_);
    for (auto& [letter, o] : offers_) {
      if (!o.plugged || busId(letter) != wanted) {
        continue;
      }
      status = usbip::kStatusBusy;
      if (o.userFd >= 0) {
        break;
      }
      status = usbip::kStatusOk;
      o.userFd = c.fd;
      c.letter = letter;
      c.device = o.device;
      c.serial = o.serial;
      record = exportRecord(letter, *o.device, false);
    }
  }
  const auto head = usbip::encodeOp({usbip::kVersion, usbip::kRepImport, status});
  std::vector<std::uint8_t> reply(head.begin(), head.end());
  reply.insert(reply.end(), record.begin(), record.end());
  return link.send(reply.data(), reply.size(), deadline) == Io::Ok && status == usbip::kStatusOk;
}

void UsbipServer::serve(Connection& c) {
  TimedSocket link(c.fd);
  if (c.letter == 0 && !import(c, link)) {
    return;
  }
  usb::UsbDevice device(c.device, c.serial);
  std::vector<std::uint32_t> held;  // seqnums of URBs left unanswered
  std::vector<std::uint8_t> dataOut;
  while (true) {
    // Between URBs the link may idle; once one has begun, the rest of it
    // and its answer move within the request time-out.
    std::uint8_t raw[usbip::kUrbHeaderSize];
    std::size_t got = 0;
    if (link.receive(raw, sizeof raw, 1, Deadline::never(), got) != Io::Ok) {
      return;
    }
    const Deadline deadline = Deadline::after(requestTimeout_);
    std::size_t more = 0;
    if (got < sizeof raw && link.receive(raw + got, sizeof raw - got, sizeof raw - got, deadline, more) != Io::Ok) {
      return;
    }
    if (usbip::decodeUrbBasic(raw).command == usbip::kCmdUnlink) {
      const usbip::CmdUnlink unlink = usbip::decodeCmdUnlink(raw);
      usbip::RetUnlink ret;
      ret.basic.command = usbip::kRetUnlink;
      ret.basic.seqnum = unlink.basic.seqnum;
      const auto it = std::find(held.begin(), held.end(), unlink.unlinkSeqnum);
      if (it != held.end()) {
        held.erase(it);
        ret.status = usbip::kErrConnReset;
      }
      const auto bytes = usbip::encodeUrb(ret);
      if (link.send(bytes.data(), bytes.size(), deadline) != Io::Ok) {
        return;
      }
      continue;
    }
    const usbip::CmdSubmit h = usbip::decodeCmdSubmit(raw);
    const std::uint32_t length = h.transferBufferLength;
    if (h.basic.command != usbip::kCmdSubmit || h.basic.direction > usbip::kDirIn || h.basic.ep > 15 ||
        length > usbip::kMaxUrbLength || (h.numberOfPackets != 0 && h.numberOfPackets != 0xFFFFFFFFU)) {
      log("malformed URB header; closing the connection");
      return;
    }
    usb::Urb urb;
    urb.endpoint = static_cast<std::uint8_t>(h.basic.ep);
    urb.in = h.basic.direction == usbip::kDirIn;
    urb.setup = h.setup;
    urb.length = length;
    dataOut.clear();
    if (!urb.in && link.receiveAppending(dataOut, length, deadline) != Io::Ok) {
      return;
    }
    urb.dataOut = &dataOut;
    const usb::UrbReply reply = device.submit(urb);
    if (dataOut.capacity() > kKeptDataOut) {
      std::vector<std::uint8_t>().swap(dataOut);
    }
    if (reply.kind == usb::UrbReply::Kind::Held) {
      held.push_back(h.basic.seqnum);
      if (held.size() > kMaxHeldUrbs) {
        log("too many URBs waiting; closing the connection");
        return;
      }
      continue;
    }
    usbip::RetSubmit ret;
    ret.basic.command = usbip::kRetSubmit;
    ret.basic.seqnum = h.basic.seqnum;
    if (reply.kind == usb::UrbReply::Kind::Stall) {
      ret.status = usbip::kErrPipe;
    } else {
      ret.actualLength = urb.in ? static_cast<std::uint32_t>(reply.data.size()) : reply.taken;
    }
    auto head = usbip::encodeUrb(ret);
    iovec pieces[2] = {{head.data(), head.size()},
                       {const_cast<std::uint8_t*>(reply.data.data()), urb.in ? reply.data.size() : 0}};
    if (reply.kind == usb::UrbReply::Kind::Close) {
      if (!reply.data.empty()) {  // the answer breaks off half-way
        const std::size_t half = (pieces[0].iov_len + pieces[1].iov_len) / 2;
        pieces[0].iov_len = std::min(half, head.size());
        pieces[1].iov_len = half - pieces[0].iov_len;
        link.send(pieces, 2, deadline);
      }
      return;
    }
    if (link.send(pieces, 2, deadline) != Io::Ok) {
      return;
    }
  }
}

}  // namespace flashsim
