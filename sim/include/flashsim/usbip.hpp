// The USB/IP wire format, as the Linux client (the usbip tool and the
// vhci-hcd driver) speaks it. Every field is big-endian; control setup bytes
// travel as they are on the bus.
//
// Before import, one operation per connection:
//   OP_REQ_DEVLIST  version, code 0x8005, status        -> OP_REP_DEVLIST:
//                   version, 0x0005, status, device count, then per device a
//                   312-byte record followed by 4 bytes per interface
//   OP_REQ_IMPORT   version, 0x8003, status, bus ID[32] -> OP_REP_IMPORT:
//                   version, 0x0003, status, and on success the record
// After a successful import the connection carries 48-byte URB headers:
//   CMD_SUBMIT (then the out data), RET_SUBMIT (then the in data),
//   CMD_UNLINK and RET_UNLINK; their fields carry the names the Linux
//   kernel's USB/IP protocol document gives them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace flashsim::usbip {

inline constexpr std::uint16_t kVersion = 0x0111;
inline constexpr std::uint16_t kReqDevlist = 0x8005;
inline constexpr std::uint16_t kRepDevlist = 0x0005;
inline constexpr std::uint16_t kReqImport = 0x8003;
inline constexpr std::uint16_t kRepImport = 0x0003;
inline constexpr std::uint32_t kStatusOk = 0;
inline constexpr std::uint32_t kStatusBusy = 2;
inline constexpr std::uint32_t kStatusNoDevice = 4;

inline constexpr std::uint32_t kCmdSubmit = 1;
inline constexpr std::uint32_t kCmdUnlink = 2;
inline constexpr std::uint32_t kRetSubmit = 3;
inline constexpr std::uint32_t kRetUnlink = 4;
inline constexpr std::uint32_t kDirOut = 0;
inline constexpr std::uint32_t kDirIn = 1;

inline constexpr std::size_t kOpHeaderSize = 8;
inline constexpr std::size_t kBusIdSize = 32;
inline constexpr std::size_t kPathSize = 256;
inline constexpr std::size_t kDeviceRecordSize = 312;
inline constexpr std::size_t kUrbHeaderSize = 48;
inline constexpr std::uint32_t kSpeedHigh = 3;

inline constexpr std::int32_t kErrPipe = -32;        // the endpoint stalled
inline constexpr std::int32_t kErrConnReset = -104;  // the URB was unlinked

// The largest URB a peer may send or ask for; a larger one ends the connection.
inline constexpr std::uint32_t kMaxUrbLength = 4U << 20;

struct OpHeader {
  std::uint16_t version = kVersion;
  std::uint16_t code = 0;
  std::uint32_t status = 0;
};
std::array<std::uint8_t, kOpHeaderSize> encodeOp(const OpHeader& h);
OpHeader decodeOp(const std::uint8_t* bytes);

struct ExportedDevice {
  std::string path;
  std::string busId;
  std::uint32_t busNum = 0;
  std::uint32_t devNum = 0;
  std::uint32_t speed = kSpeedHigh;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
  std::uint8_t configurationValue = 0;
  std::array<std::uint8_t, 3> interfaceClass{};  // class, subclass, protocol of the one interface
};
// The 312-byte record, and with `interfaces` the interface entries after it.
std::vector<std::uint8_t> encodeDevice(const ExportedDevice& d, bool interfaces);

// The URB headers, 48 bytes each: five words every one starts with, then
// the words of its command (the rest zero).
struct UrbBasic {
  std::uint32_t command = 0;    // kCmdSubmit, kCmdUnlink, kRetSubmit, kRetUnlink
  std::uint32_t seqnum = 0;     // numbers the client's commands; an answer carries its command's
  std::uint32_t devid = 0;      // bus number << 16 | device number; 0 in answers
  std::uint32_t direction = 0;  // kDirOut or kDirIn; 0 in answers
  std::uint32_t ep = 0;         // endpoint number; 0 in answers
};

struct CmdSubmit {
  UrbBasic basic;
  std::uint32_t transferFlags = 0;
  std::uint32_t transferBufferLength = 0;  // bytes the host sends (out) or takes (in)
  std::uint32_t startFrame = 0;
  std::uint32_t numberOfPackets = 0;  // isochronous packets; 0 or 0xFFFFFFFF otherwise
  std::uint32_t interval = 0;
  std::array<std::uint8_t, 8> setup{};  // control transfers, as on the bus
};

struct RetSubmit {
  UrbBasic basic;
  std::int32_t status = 0;  // 0, or a negative errno (kErrPipe: the endpoint stalled)
  std::uint32_t actualLength = 0;
  std::uint32_t startFrame = 0;
  std::uint32_t numberOfPackets = 0;
  std::uint32_t errorCount = 0;
};

struct CmdUnlink {
  UrbBasic basic;
  std::uint32_t unlinkSeqnum = 0;  // the CMD_SUBMIT to unlink
};

struct RetUnlink {
  UrbBasic basic;
  std::int32_t status = 0;  // kErrConnReset: unlinked before it was answered; 0: answered already
};

using UrbBytes = std::array<std::uint8_t, kUrbHeaderSize>;
UrbBytes encodeUrb(const CmdSubmit& h);
UrbBytes encodeUrb(const RetSubmit& h);
UrbBytes encodeUrb(const CmdUnlink& h);
UrbBytes encodeUrb(const RetUnlink& h);
// Any header's first words; then the one its command names.
UrbBasic decodeUrbBasic(const std::uint8_t* bytes);
CmdSubmit decodeCmdSubmit(const std::uint8_t* bytes);
RetSubmit decodeRetSubmit(const std::uint8_t* bytes);
CmdUnlink decodeCmdUnlink(const std::uint8_t* bytes);
RetUnlink decodeRetUnlink(const std::uint8_t* bytes);

}  // namespace flashsim::usbip
