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
//   CMD_UNLINK and RET_UNLINK.
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

// One URB header as ten 32-bit words and the setup bytes.
struct UrbHeader {
  enum Word { Command, Seqnum, DevId, Direction, Endpoint,
              // CMD_SUBMIT: flags, buffer length, start frame, packets, interval.
              // RET_SUBMIT: status, actual length, start frame, packets, error count.
              // CMD_UNLINK: the seqnum to unlink. RET_UNLINK: status.
              Arg0, Arg1, Arg2, Arg3, Arg4 };
  std::array<std::uint32_t, 10> w{};
  std::array<std::uint8_t, 8> setup{};
};
std::array<std::uint8_t, kUrbHeaderSize> encodeUrb(const UrbHeader& h);
UrbHeader decodeUrb(const std::uint8_t* bytes);

}  // namespace flashsim::usbip
