#include "usbip_server_linux.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/sim_wire.hpp"
#include "flashsim/usb_device.hpp"
#include "flashsim/usbip.hpp"

namespace flashsim {
namespace {

constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxHeldUrbs = 64;
constexpr std::uint32_t kBusNum = 1;
constexpr const char* kVhci = "/sys/devices/platform/vhci_hcd.0";

void log(const std::string& text) {
  const std::string line = "flashsim: usbip: " + text + "\n";
  [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
}

std::uint32_t devNum(char letter) { return static_cast<std::uint32_t>(letter - 'a' + 1); }

// Before import a peer must name what it wants within this time.
constexpr std::chrono::seconds kRequestTimeout{10};

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

UsbipServer::UsbipServer()
    : connections_(kMaxConnections, [](ConnectionThreads::Event why, const char* what) {
        log(ConnectionThreads::describe(why, what));
      }) {}

UsbipServer::~UsbipServer() { stop(); }

std::string UsbipServer::busId(char letter) { return std::to_string(kBusNum) + "-" + std::to_string(devNum(letter)); }

std::string UsbipServer::listen(const std::string& where) {
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
    return "the USB/IP port must be a number from 0 to 65535: '" + where + "'";
  }
  addr.sin_port = htons(static_cast<std::uint16_t>(std::stoul(portText)));
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    return "the USB/IP address must be an IPv4 address: '" + host + "'";
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return std::string("socket: ") + std::strerror(errno);
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    const std::string error = "USB/IP on " + host + ":" + portText + ": " + std::strerror(errno);
    ::close(fd);
    return error;
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
    ++o.generation;
    // Unique per device: the daemon's process, the letter and how many
    // devices that letter has had.
    char serial[32];
    std::snprintf(serial, sizeof serial, "%06X%02X%04X", static_cast<unsigned>(::getpid()) & 0xFFFFFFU,
                  static_cast<unsigned>(devNum(letter)), o.generation & 0xFFFFU);
    o.serial = o.device->profile().usbSerial.empty() ? serial : o.device->profile().usbSerial;
  }
  o.plugged = true;
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

bool UsbipServer::offers(char letter) {
  std::lock_guard lock(mutex_);
  const auto it = offers_.find(letter);
  return it != offers_.end() && it->second.plugged;
}

void UsbipServer::stop() {
  if (listenFd_ >= 0) {
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
  }
  connections_.endAll();  // not under mutex_: the ending connections take it
}

void UsbipServer::acceptLoop() {
  while (true) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;  // one answer per request: no waiting for more bytes to send
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      startConnection(fd, 0);
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

std::string UsbipServer::startConnection(int fd, char importedLetter) {
  std::lock_guard lock(mutex_);
  Connection c;
  c.fd = fd;
  if (importedLetter != 0) {
    Offer& o = offers_[importedLetter];
    if (o.userFd >= 0) {  // imported over the network meanwhile
      ::close(fd);
      return std::string("device ") + importedLetter + " is attached already";
    }
    c.letter = importedLetter;
    c.device = o.device;
    c.serial = o.serial;
  }
  if (!connections_.start(fd, [this, c = std::move(c)](int) mutable { serveAndRelease(c); })) {
    return "too many USB/IP connections, or no thread for another";
  }
  if (importedLetter != 0) {
    offers_[importedLetter].userFd = fd;
  }
  return {};
}

void UsbipServer::serveAndRelease(Connection& c) {
  const auto release = [&] {
    std::lock_guard lock(mutex_);
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

void UsbipServer::listDevices(int fd) {
  std::vector<std::uint8_t> out;
  std::uint32_t count = 0;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [letter, o] : offers_) {
      if (!o.plugged) {
        continue;
      }
      ++count;
      usbip::ExportedDevice d;
      d.path = std::string("/sys/devices/flashsim/usb1/") + busId(letter);
      d.busId = busId(letter);
      d.busNum = kBusNum;
      d.devNum = devNum(letter);
      d.vendorId = o.device->profile().usbVendorId;
      d.productId = o.device->profile().usbProductId;
      d.release = usb::kDeviceRelease;
      d.interfaceClass = {0x08, 0x06, 0x50};
      const auto record = usbip::encodeDevice(d, true);
      out.insert(out.end(), record.begin(), record.end());
    }
  }
  const auto head = usbip::encodeOp({usbip::kVersion, usbip::kRepDevlist, usbip::kStatusOk});
  std::vector<std::uint8_t> reply(head.begin(), head.end());
  reply.resize(reply.size() + 4);
  reply[8] = static_cast<std::uint8_t>(count >> 24);
  reply[9] = static_cast<std::uint8_t>(count >> 16);
  reply[10] = static_cast<std::uint8_t>(count >> 8);
  reply[11] = static_cast<std::uint8_t>(count);
  reply.insert(reply.end(), out.begin(), out.end());
  wire::writeAll(fd, reply.data(), reply.size());
}

// The operation before import. True when a device was imported.
bool UsbipServer::import(Connection& c) {
  const auto deadline = std::chrono::steady_clock::now() + kRequestTimeout;
  std::uint8_t raw[usbip::kOpHeaderSize];
  if (wire::readAllBy(c.fd, raw, sizeof raw, deadline) != wire::ReadResult::Ok) {
    return false;
  }
  const usbip::OpHeader op = usbip::decodeOp(raw);
  if (op.code == usbip::kReqDevlist) {
    listDevices(c.fd);
    return false;
  }
  if (op.code != usbip::kReqImport) {
    log("unknown request; closing the connection");
    return false;
  }
  char busIdBytes[usbip::kBusIdSize];
  if (wire::readAllBy(c.fd, busIdBytes, sizeof busIdBytes, deadline) != wire::ReadResult::Ok) {
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
      usbip::ExportedDevice d;
      d.path = std::string("/sys/devices/flashsim/usb1/") + busId(letter);
      d.busId = wanted;
      d.busNum = kBusNum;
      d.devNum = devNum(letter);
      d.vendorId = o.device->profile().usbVendorId;
      d.productId = o.device->profile().usbProductId;
      d.release = usb::kDeviceRelease;
      record = usbip::encodeDevice(d, false);
    }
  }
  const auto head = usbip::encodeOp({usbip::kVersion, usbip::kRepImport, status});
  std::vector<std::uint8_t> reply(head.begin(), head.end());
  reply.insert(reply.end(), record.begin(), record.end());
  return wire::writeAll(c.fd, reply.data(), reply.size()) && status == usbip::kStatusOk;
}

void UsbipServer::serve(Connection& c) {
  if (c.letter == 0 && !import(c)) {
    return;
  }
  usb::UsbDevice device(c.device, c.serial);
  std::vector<std::uint32_t> held;  // seqnums of URBs left unanswered
  std::vector<std::uint8_t> dataOut;
  while (true) {
    std::uint8_t raw[usbip::kUrbHeaderSize];
    if (!wire::readAll(c.fd, raw, sizeof raw)) {
      return;
    }
    const usbip::UrbHeader h = usbip::decodeUrb(raw);
    usbip::UrbHeader ret;
    ret.w[usbip::UrbHeader::Seqnum] = h.w[usbip::UrbHeader::Seqnum];
    if (h.w[usbip::UrbHeader::Command] == usbip::kCmdUnlink) {
      const auto it = std::find(held.begin(), held.end(), h.w[usbip::UrbHeader::Arg0]);
      ret.w[usbip::UrbHeader::Command] = usbip::kRetUnlink;
      if (it != held.end()) {
        held.erase(it);
        ret.w[usbip::UrbHeader::Arg0] = static_cast<std::uint32_t>(usbip::kErrConnReset);
      }
      const auto bytes = usbip::encodeUrb(ret);
      if (!wire::writeAll(c.fd, bytes.data(), bytes.size())) {
        return;
      }
      continue;
    }
    const std::uint32_t direction = h.w[usbip::UrbHeader::Direction];
    const std::uint32_t length = h.w[usbip::UrbHeader::Arg1];
    const std::uint32_t packets = h.w[usbip::UrbHeader::Arg3];
    if (h.w[usbip::UrbHeader::Command] != usbip::kCmdSubmit || direction > usbip::kDirIn ||
        h.w[usbip::UrbHeader::Endpoint] > 15 || length > usbip::kMaxUrbLength ||
        (packets != 0 && packets != 0xFFFFFFFFU)) {
      log("malformed URB header; closing the connection");
      return;
    }
    usb::Urb urb;
    urb.endpoint = static_cast<std::uint8_t>(h.w[usbip::UrbHeader::Endpoint]);
    urb.in = direction == usbip::kDirIn;
    urb.setup = h.setup;
    urb.length = length;
    dataOut.clear();
    if (!urb.in) {
      dataOut.resize(length);
      if (!wire::readAll(c.fd, dataOut.data(), dataOut.size())) {
        return;
      }
    }
    urb.dataOut = &dataOut;
    const usb::UrbReply reply = device.submit(urb);
    if (reply.kind == usb::UrbReply::Kind::Held) {
      held.push_back(h.w[usbip::UrbHeader::Seqnum]);
      if (held.size() > kMaxHeldUrbs) {
        log("too many URBs waiting; closing the connection");
        return;
      }
      continue;
    }
    ret.w[usbip::UrbHeader::Command] = usbip::kRetSubmit;
    if (reply.kind == usb::UrbReply::Kind::Stall) {
      ret.w[usbip::UrbHeader::Arg0] = static_cast<std::uint32_t>(usbip::kErrPipe);
    } else {
      ret.w[usbip::UrbHeader::Arg1] = urb.in ? static_cast<std::uint32_t>(reply.data.size()) : reply.taken;
    }
    const auto head = usbip::encodeUrb(ret);
    std::vector<std::uint8_t> out(head.begin(), head.end());
    if (urb.in) {
      out.insert(out.end(), reply.data.begin(), reply.data.end());
    }
    if (reply.kind == usb::UrbReply::Kind::Close) {
      if (!reply.data.empty()) {  // the answer breaks off half-way
        wire::writeAll(c.fd, out.data(), out.size() / 2);
      }
      return;
    }
    if (!wire::writeAll(c.fd, out.data(), out.size())) {
      return;
    }
  }
}

std::string UsbipServer::attachLocal(char letter) {
  {
    std::lock_guard lock(mutex_);
    auto it = offers_.find(letter);
    if (it == offers_.end() || !it->second.plugged) {
      return std::string("device ") + letter + " is not plugged";
    }
    if (it->second.userFd >= 0) {
      return std::string("device ") + letter + " is attached already";
    }
  }
  std::ifstream statusFile(std::string(kVhci) + "/status");
  if (!statusFile) {
    return std::string("the vhci-hcd driver is not loaded (no ") + kVhci + "); load it with modprobe vhci-hcd";
  }
  // Lines: hub port sta spd dev sockfd local_busid; a free port has state 4.
  int port = -1;
  std::string line;
  while (std::getline(statusFile, line) && port < 0) {
    std::istringstream words(line);
    std::string hub;
    int number = -1;
    int state = -1;
    if (words >> hub >> number >> state && hub == "hs" && state == 4) {
      port = number;
    }
  }
  if (port < 0) {
    return "no free high-speed port on the vhci-hcd driver";
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return std::string("socketpair: ") + std::strerror(errno);
  }
  const std::string request = std::to_string(port) + " " + std::to_string(pair[0]) + " " +
                              std::to_string(kBusNum << 16 | devNum(letter)) + " " +
                              std::to_string(usbip::kSpeedHigh);
  const int attach = ::open((std::string(kVhci) + "/attach").c_str(), O_WRONLY | O_CLOEXEC);
  const bool written = attach >= 0 && ::write(attach, request.data(), request.size()) ==
                                          static_cast<ssize_t>(request.size());
  const int error = errno;
  if (attach >= 0) {
    ::close(attach);
  }
  ::close(pair[0]);  // the driver holds its own reference
  if (!written) {
    ::close(pair[1]);
    return std::string("attaching to vhci-hcd: ") + std::strerror(error) +
           (error == EACCES || error == EPERM ? " (the local attach needs root)" : "");
  }
  return startConnection(pair[1], letter);
}

}  // namespace flashsim
