#include "flashsim/usbip.hpp"

#include <algorithm>

#include "common/byte_order.hpp"

namespace flashsim::usbip {

std::array<std::uint8_t, kOpHeaderSize> encodeOp(const OpHeader& h) {
  std::array<std::uint8_t, kOpHeaderSize> out{};
  common::byte_order::putBe16(out.data(), h.version);
  common::byte_order::putBe16(out.data() + 2, h.code);
  common::byte_order::putBe32(out.data() + 4, h.status);
  return out;
}

OpHeader decodeOp(const std::uint8_t* bytes) {
  return OpHeader{common::byte_order::getBe16(bytes), common::byte_order::getBe16(bytes + 2),
                  common::byte_order::getBe32(bytes + 4)};
}

std::vector<std::uint8_t> encodeDevice(const ExportedDevice& d, bool interfaces) {
  std::vector<std::uint8_t> out(kDeviceRecordSize + (interfaces ? 4 : 0), 0);
  std::copy_n(d.path.begin(), std::min(d.path.size(), kPathSize - 1), out.begin());
  std::copy_n(d.busId.begin(), std::min(d.busId.size(), kBusIdSize - 1), out.begin() + kPathSize);
  std::uint8_t* p = out.data() + kPathSize + kBusIdSize;
  common::byte_order::putBe32(p, d.busNum);
  common::byte_order::putBe32(p + 4, d.devNum);
  common::byte_order::putBe32(p + 8, d.speed);
  common::byte_order::putBe16(p + 12, d.vendorId);
  common::byte_order::putBe16(p + 14, d.productId);
  common::byte_order::putBe16(p + 16, d.release);
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

namespace {

// The five basic words, five words of the command, then eight bytes.
UrbBytes encodeWords(const UrbBasic& b, const std::array<std::uint32_t, 5>& words,
                     const std::array<std::uint8_t, 8>& tail = {}) {
  UrbBytes out{};
  const std::uint32_t basic[5] = {b.command, b.seqnum, b.devid, b.direction, b.ep};
  for (std::size_t i = 0; i < 5; ++i) {
    common::byte_order::putBe32(out.data() + 4 * i, basic[i]);
    common::byte_order::putBe32(out.data() + 20 + 4 * i, words[i]);
  }
  std::copy(tail.begin(), tail.end(), out.begin() + 40);
  return out;
}

std::uint32_t word(const std::uint8_t* bytes, std::size_t index) {
  return common::byte_order::getBe32(bytes + 4 * index);
}

}  // namespace

UrbBytes encodeUrb(const CmdSubmit& h) {
  return encodeWords(h.basic, {h.transferFlags, h.transferBufferLength, h.startFrame, h.numberOfPackets, h.interval},
                     h.setup);
}

UrbBytes encodeUrb(const RetSubmit& h) {
  return encodeWords(
      h.basic, {static_cast<std::uint32_t>(h.status), h.actualLength, h.startFrame, h.numberOfPackets, h.errorCount});
}

UrbBytes encodeUrb(const CmdUnlink& h) { return encodeWords(h.basic, {h.unlinkSeqnum, 0, 0, 0, 0}); }

UrbBytes encodeUrb(const RetUnlink& h) {
  return encodeWords(h.basic, {static_cast<std::uint32_t>(h.status), 0, 0, 0, 0});
}

UrbBasic decodeUrbBasic(const std::uint8_t* bytes) {
  return UrbBasic{word(bytes, 0), word(bytes, 1), word(bytes, 2), word(bytes, 3), word(bytes, 4)};
}

CmdSubmit decodeCmdSubmit(const std::uint8_t* bytes) {
  CmdSubmit h;
  h.basic = decodeUrbBasic(bytes);
  h.transferFlags = word(bytes, 5);
  h.transferBufferLength = word(bytes, 6);
  h.startFrame = word(bytes, 7);
  h.numberOfPackets = word(bytes, 8);
  h.interval = word(bytes, 9);
  std::copy(bytes + 40, bytes + 48, h.setup.begin());
  return h;
}

RetSubmit decodeRetSubmit(const std::uint8_t* bytes) {
  RetSubmit h;
  h.basic = decodeUrbBasic(bytes);
  h.status = static_cast<std::int32_t>(word(bytes, 5));
  h.actualLength = word(bytes, 6);
  h.startFrame = word(bytes, 7);
  h.numberOfPackets = word(bytes, 8);
  h.errorCount = word(bytes, 9);
  return h;
}

CmdUnlink decodeCmdUnlink(const std::uint8_t* bytes) { return CmdUnlink{decodeUrbBasic(bytes), word(bytes, 5)}; }

RetUnlink decodeRetUnlink(const std::uint8_t* bytes) {
  return RetUnlink{decodeUrbBasic(bytes), static_cast<std::int32_t>(word(bytes, 5))};
}

}  // namespace flashsim::usbip
