// The emulator link: how one SCSI request and its answer travel over a
// Unix-domain stream socket between the command tool and flashsim.
//
// Request, 32-byte header, all fields little-endian, then the data-out bytes:
//   0  u32  magic kRequestMagic
//   4  u8   CDB length (1 to 16)
//   5  u8   direction (Direction)
//   6  u16  reserved, 0
//   8  u32  transfer length in bytes
//   12 u32  time-out in milliseconds (what the host will wait)
//   16 u8[16] CDB, unused bytes 0
//   32 ...  transfer-length bytes when the direction is Out
//
// Answer, 12-byte header, then the data-in bytes:
//   0  u32  magic kAnswerMagic
//   4  u8   SCSI status (0 good, 2 check condition)
//   5  u8[3] reserved, 0
//   8  u32  number of data-in bytes that follow (at most the transfer length)
//
// One request is answered before the next is sent. A link that closes, or an
// answer that does not arrive within the time-out, means the request did not
// complete; the host then drops the link.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/deadline_io.hpp"

namespace common::sim_wire {

inline constexpr std::uint32_t kRequestMagic = 0x5152534BU;  // "KSRQ" in memory order
inline constexpr std::uint32_t kAnswerMagic = 0x5352534BU;   // "KSRS"
inline constexpr std::size_t kRequestHeaderSize = 32;
inline constexpr std::size_t kAnswerHeaderSize = 12;
inline constexpr std::uint32_t kMaxTransfer = 1U << 20;  // sanity bound on either side

enum class Direction : std::uint8_t { None = 0, In = 1, Out = 2 };

struct RequestHeader {
  std::uint8_t cdbLength = 0;
  Direction direction = Direction::None;
  std::uint32_t transferLength = 0;
  std::uint32_t timeoutMs = 0;
  std::array<std::uint8_t, 16> cdb{};
};

struct AnswerHeader {
  std::uint8_t scsiStatus = 0;
  std::uint32_t dataLength = 0;
};

std::array<std::uint8_t, kRequestHeaderSize> encodeRequestHeader(const RequestHeader& h);
// Nothing when the magic, CDB length, direction or transfer length is out of range.
std::optional<RequestHeader> decodeRequestHeader(const std::uint8_t* bytes);

std::array<std::uint8_t, kAnswerHeaderSize> encodeAnswerHeader(const AnswerHeader& h);
std::optional<AnswerHeader> decodeAnswerHeader(const std::uint8_t* bytes);

// Helpers on a blocking stream socket, built on common/deadline_io.hpp
// (EINTR retried, SIGPIPE suppressed). writeAll and readAll wait as long as
// it takes and return false when the peer closed the link or an error occurred.
bool writeAll(int fd, const void* data, std::size_t size);
bool readAll(int fd, void* data, std::size_t size);

using ReadResult = common::deadline_io::Io;
// readAll with a deadline, for the host side that must not wait for ever.
ReadResult readAllBy(int fd, void* data, std::size_t size, std::chrono::steady_clock::time_point deadline);

}  // namespace common::sim_wire
