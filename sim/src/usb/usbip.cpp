#include "flashsim/usbip.hpp"

#include <algorithm>

#include "flashsim/big_endian.hpp"

namespace flashsim::usbip {

std::array<std::uint8_t, kOpHeaderSize> encodeOp(const OpHeader& h) {
  std::array<std::uint8_t, kOpHeaderSize> out{};
  be::put16(out.data(), h.version);
  be::put16(out.data() + 2, h.code);
  be::put32(out.data() + 4, h.status);
  return out;
}

OpHeader decodeOp(const std::uint8_t* bytes) {
  return OpHeader{be::get16(bytes), be::get16(bytes + 2), be::get32(bytes + 4)};
}

std::vector<std::uint8_t> encodeDevice(const ExportedDevice& d, bool interfaces) {
  std::vector<std::uint8_t> out(kDeviceRecordSize + (interfaces ? 4 : 0), 0);
  std::copy_n(d.path.begin(), std::min(d.path.size(), kPathSize - 1), out.begin());
  std::copy_n(d.busId.begin(), std::min(d.busId.size(), kBusIdSize - 1), out.begin() + kPathSize);
  std::uint8_t* p = out.data() + kPathSize + kBusIdSize;
  be::put32(p, d.busNum);
  be::put32(p + 4, d.devNum);
  be::put32(p + 8, d.speed);
  be::put16(p + 12, d.vendorId);
  be::put16(p + 14, d.productId);
  be::put16(p + 16, d.release);
  // Device class, subclass, protocol 0 (named by the interface), the current
  // configuration, one configuration, one interface.
  p[21] = d.configurationValue;
  p[22] = 1;
  p[23] = 1;
  if (interfaces) {  // then the interface's class, subclass, protocol and a pad byte
    std::copy(d.interfaceClass.begin(), d.interfaceClass.end(), out.begin() + kDeviceRecordSize);
  }
  return out;
}

std::array<std::uint8_t, kUrbHeaderSize> encodeUrb(const UrbHeader& h) {
  std::array<std::uint8_t, kUrbHeaderSize> out{};
  for (std::size_t i = 0; i < h.w.size(); ++i) {
    be::put32(out.data() + 4 * i, h.w[i]);
  }
  std::copy(h.setup.begin(), h.setup.end(), out.begin() + 40);
  return out;
}

UrbHeader decodeUrb(const std::uint8_t* bytes) {
  UrbHeader h;
  for (std::size_t i = 0; i < h.w.size(); ++i) {
    h.w[i] = be::get32(bytes + 4 * i);
  }
  std::copy(bytes + 40, bytes + 48, h.setup.begin());
  return h;
}

}  // namespace flashsim::usbip
