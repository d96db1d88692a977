#include "flashsim/usbip.hpp"

#include <algorithm>

#include "common/byte_order.hpp"

namespace flashsim::usbip {

std::array<std::uint8_t, kOpHeaderSize> encodeOp(const OpHeader& h) {
  std::array<std::uint8_t, kOpHeaderSize> out{};
  byteorder::putBe16(out.data(), h.version);
  byteorder::putBe16(out.data() + 2, h.code);
  byteorder::putBe32(out.data() + 4, h.status);
  return out;
}

OpHeader decodeOp(const std::uint8_t* bytes) {
  return OpHeader{byteorder::getBe16(bytes), byteorder::getBe16(bytes + 2), byteorder::getBe32(bytes + 4)};
}

std::vector<std::uint8_t> encodeDevice(const ExportedDevice& d, bool interfaces) {
  std::vector<std::uint8_t> out(kDeviceRecordSize + (interfaces ? 4 : 0), 0);
  std::copy_n(d.path.begin(), std::min(d.path.size(), kPathSize - 1), out.begin());
  std::copy_n(d.busId.begin(), std::min(d.busId.size(), kBusIdSize - 1), out.begin() + kPathSize);
  std::uint8_t* p = out.data() + kPathSize + kBusIdSize;
  byteorder::putBe32(p, d.busNum);
  byteorder::putBe32(p + 4, d.devNum);
  byteorder::putBe32(p + 8, d.speed);
  byteorder::putBe16(p + 12, d.vendorId);
  byteorder::putBe16(p + 14, d.productId);
  byteorder::putBe16(p + 16, d.release);
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
    byteorder::putBe32(out.data() + 4 * i, h.w[i]);
  }
  std::copy(h.setup.begin(), h.setup.end(), out.begin() + 40);
  return out;
}

UrbHeader decodeUrb(const std::uint8_t* bytes) {
  UrbHeader h;
  for (std::size_t i = 0; i < h.w.size(); ++i) {
    h.w[i] = byteorder::getBe32(bytes + 4 * i);
  }
  std::copy(bytes + 40, bytes + 48, h.setup.begin());
  return h;
}

}  // namespace flashsim::usbip
